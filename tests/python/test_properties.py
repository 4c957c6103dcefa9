"""Invariants of every result, over random tasks."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import ACO, NONFINITE, PROB, check_result, is_panic, task_and_data


@st.composite
def tasks(draw):
    m = draw(st.integers(0, 6))
    n = draw(st.integers(0, 6))
    ints = st.integers(-(2**63), 2**63 - 1)
    small = st.integers(-20, 40)
    values = draw(st.sampled_from([small, ints]))
    c = np.array(draw(st.lists(values, min_size=m * n, max_size=m * n)), dtype=np.int64).reshape(m, n)
    b = np.array(draw(st.lists(draw(st.sampled_from([small, ints])), min_size=m * n, max_size=m * n)),
                 dtype=np.int64).reshape(m, n)
    discounts = st.one_of(st.floats(0.0, 1.0), st.just(float("nan")), st.just(1.0), st.just(0.0))
    omega = np.array(draw(st.lists(discounts, min_size=m * n, max_size=m * n)), dtype=np.float64).reshape(m, n)
    b_total = draw(st.one_of(st.integers(1, 100), st.integers(1, 2**63 - 1)))
    if draw(st.booleans()):
        c, b, omega = np.asfortranarray(c), np.asfortranarray(b), np.asfortranarray(omega)
    return task_and_data(c, b, b_total, omega)


solvers = st.one_of(
    st.builds(PROB, st.integers(0, 6)),
    st.builds(
        ACO,
        num_ants=st.integers(0, 4),
        kmax=st.integers(0, 3),
        alpha=st.sampled_from([0.0, 0.5, 1.0, 2.0]),
        beta=st.sampled_from([0.0, 1.0, 2.0, 2.5]),
        rho=st.sampled_from([0.0, 0.1, 1.0]),
        initial_pheromone=st.sampled_from([0.5, 1.0, 3.0]),
    ),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tasks(), solvers)
def test_results_are_valid_assignments(generated, solver):
    task, data = generated
    try:
        result = solver.solve(task)
    except BaseException as exc:  # noqa: BLE001
        # Deposits of +/-inf (a deposit scale of 0) can make a pheromone value
        # infinite; the next iteration's total weight is then +inf.
        assert is_panic(exc) and str(exc) == NONFINITE, exc
        assert isinstance(solver, ACO)
        return
    check_result(result, data)
