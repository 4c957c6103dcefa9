"""Invariants of every result, over random tasks."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane


def column_major_objective(x, c, omega):
    value = 0.0
    for j in range(x.shape[1]):
        for i in range(x.shape[0]):
            if x[i, j] == 1:
                value += float(c[i, j]) * (1.0 - float(omega[i, j]))
    return value


def row_major_objective(x, c, omega):
    return column_major_objective(x.T, c.T, omega.T)


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
    fortran = draw(st.booleans())
    if fortran:
        c, b, omega = np.asfortranarray(c), np.asfortranarray(b), np.asfortranarray(omega)
    return corvane.Task(m, n, c, b, b_total, omega), c, b, b_total, omega, fortran


solvers = st.one_of(
    st.builds(corvane.ProbabilisticAssignmentSolver, st.integers(0, 6)),
    st.builds(
        corvane.AntColonyAssignmentSolver,
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
    task, c, b, b_total, omega, fortran = generated
    try:
        x, value = solver.solve(task)
    except BaseException as exc:  # noqa: BLE001
        # Deposits of +/-inf (a deposit scale of 0) can make a pheromone value
        # infinite; the next iteration's total weight is then +inf.
        assert type(exc).__name__ == "PanicException", exc
        assert str(exc) == "called `Result::unwrap()` on an `Err` value: NonFinite"
        assert isinstance(solver, corvane.AntColonyAssignmentSolver)
        return
    assert x.dtype == np.int64 and x.shape == c.shape and x.flags.c_contiguous
    assert set(np.unique(x)) <= {0, 1}
    # Within budget, exactly (Python integers do not wrap).
    assert sum(int(v) for v in b[x == 1]) <= b_total
    if not x.any():
        assert value == 0.0
        return
    assert value > 0.0
    both_fortran = fortran and c.shape[0] > 1 and c.shape[1] > 1
    expected = column_major_objective(x, c, omega) if both_fortran else row_major_objective(x, c, omega)
    assert value == expected
