"""Tasks and parameters at the limits of 64-bit integers and doubles: a correct
result or a clear documented error, never a wrapped sum, a hang or a crash."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import (
    ACO,
    HUGE_BATCH,
    NONFINITE,
    PROB,
    SHAPE_MESSAGES,
    UNALLOCATED_BATCH,
    UNDER_ASAN,
    Task,
    check_result,
    is_panic,
    run_python,
    task_and_data,
)

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


SOLVERS = [PROB(kmax=30), ACO(num_ants=6, kmax=5), ACO(num_ants=1, kmax=8)]


def solve_all(task, data, rounds=3, zero_deposit_scale=False):
    """Valid results of every solver. With a deposit scale of 0 (no positive
    cost) a deposit is infinite, and the ant colony's next weights may be."""
    results = []
    for solver in SOLVERS:
        for _ in range(rounds):
            try:
                result = solver.solve(task)
            except BaseException as exc:  # noqa: BLE001
                assert zero_deposit_scale and isinstance(solver, ACO), repr(exc)
                assert is_panic(exc) and str(exc) == NONFINITE, repr(exc)
                continue
            check_result(result, data)
            results.append(result)
    return results


def test_resources_whose_sum_passes_the_64_bit_range_are_added_exactly():
    # Two cells of 2^63 - 1 overflow a 64-bit sum to -2: a wrapping budget test
    # would let every cell in. Exactly one fits.
    task, data = task_and_data(np.full((3, 3), 7), np.full((3, 3), I64_MAX), I64_MAX)
    for x, value in solve_all(task, data):
        assert x.sum() == 1 and value == 7.0
    # A cell of -2^63 frees what two such cells use; sums cross both limits.
    c = [[5, 5, -1], [5, -1, 5]]
    b = [[I64_MAX, I64_MAX, I64_MIN], [I64_MAX, I64_MIN, I64_MAX]]
    task, data = task_and_data(c, b, I64_MAX)
    solve_all(task, data, rounds=10)


def test_costs_at_both_ends_of_the_64_bit_range():
    # 2^63 - 1 rounds to 2^63 as a double; every cell fits and is taken.
    task, data = task_and_data(np.full((4, 5), I64_MAX), np.ones((4, 5)), I64_MAX)
    for x, value in solve_all(task, data):
        assert x.all() and value == 20 * 2.0**63
    # -2^63 with resource -1 has a positive heuristic, is always admissible,
    # and scores below zero: the all-zero start is never beaten.
    task, data = task_and_data(np.full((3, 3), I64_MIN), np.full((3, 3), -1), 1)
    for x, value in solve_all(task, data, zero_deposit_scale=True):
        assert not x.any() and value == 0.0
    # Mixed extremes, with discounts that leave only part of each cost.
    c = [[I64_MAX, I64_MIN, 1], [I64_MIN + 1, I64_MAX - 1, 0]]
    b = [[1, -1, I64_MAX], [I64_MIN, 2, 1]]
    task, data = task_and_data(c, b, I64_MAX, omega=[[0.5, 0.0, 1.0], [-0.0, 0.25, math.nan]])
    solve_all(task, data, rounds=5)


def test_discounts_at_zero_one_minus_zero_and_nan():
    c = np.full((2, 4), 10)
    omega = [[0.0, 1.0, -0.0, math.nan], [1.0, math.nan, 0.0, -0.0]]
    task, data = task_and_data(c, np.ones((2, 4)), 100, omega)
    for x, value in solve_all(task, data):
        # A discount of 1 or NaN makes the heuristic 0 or NaN: never chosen.
        assert x.tolist() == [[1, 0, 1, 0], [0, 0, 1, 1]] and value == 40.0
    # With beta = 0 the heuristic does not matter: NaN discounts make a NaN
    # value, which never becomes the best.
    solver = ACO(num_ants=4, kmax=3, beta=0.0)
    for _ in range(5):
        x, value = solver.solve(task)
        check_result((x, value), data)
        assert not x[np.isnan(data.omega)].any()


@pytest.mark.parametrize("parameter", ["alpha", "beta", "rho", "initial_pheromone"])
@pytest.mark.parametrize("number", [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308])
def test_ant_colony_parameters_that_are_not_finite_or_extreme(parameter, number):
    rng = np.random.default_rng()
    task, data = task_and_data(rng.integers(1, 50, (5, 6)), rng.integers(1, 9, (5, 6)), 60,
                           rng.uniform(0.0, 0.9, (5, 6)))
    solver = ACO(num_ants=5, kmax=4, **{parameter: number})
    for _ in range(3):
        try:
            result = solver.solve(task)
        except BaseException as exc:  # noqa: BLE001
            assert is_panic(exc) and str(exc) == NONFINITE, repr(exc)
            continue
        check_result(result, data)


@pytest.mark.parametrize("parameters", [
    {"initial_pheromone": math.inf},
    {"initial_pheromone": 0.0, "alpha": -1.0},
    {"initial_pheromone": 1.7976931348623157e308, "alpha": 2.0},
    {"beta": -math.inf},
])
def test_infinite_weights_panic_every_time(parameters):
    # Heuristic values 2.5 (c 5, b 2): pow(2.5, -inf) is 0, but cells with
    # heuristic 0.5 (c 1, b 2) weigh pow(0.5, -inf) = inf.
    task, data = task_and_data([[5, 1], [1, 5]], np.full((2, 2), 2), 100)
    solver = ACO(num_ants=3, kmax=2, **parameters)
    for _ in range(3):
        with pytest.raises(BaseException) as caught:
            solver.solve(task)
        assert is_panic(caught.value) and str(caught.value) == NONFINITE
    check_result(PROB(kmax=4).solve(task), data)


@pytest.mark.parametrize("m, n, expected", [
    (2**32, 2**32, ValueError), (2**63, 4, ValueError), (2**64 - 1, 2**64 - 1, ValueError), (2, 2**63, ValueError),
    (2**64, 2, OverflowError),
], ids=["2^32 x 2^32", "2^63 x 4", "2^64-1 x 2^64-1", "2 x 2^63", "2^64 rows"])
def test_dimensions_whose_product_does_not_fit_in_64_bits(m, n, expected):
    small = np.zeros((2, 2), np.int64)
    with pytest.raises(expected) as refused:
        Task(m, n, small, small, 1, small.astype(float))
    if expected is ValueError:
        assert str(refused.value) == SHAPE_MESSAGES["c"]


def enormous(dtype, shape=(2**30, 2**29)):
    """A read-only view of 2^59 elements over a single one: 4 EiB if copied."""
    return np.broadcast_to(np.zeros((), dtype=dtype), shape)


def test_enormous_broadcast_arrays():
    c, b, w = enormous(np.int64), enormous(np.int64), enormous(np.float64)
    small, small_w = np.zeros((1, 1), np.int64), np.zeros((1, 1))
    # A shape mismatch is found before any copy is attempted.
    with pytest.raises(ValueError, match=f"^{SHAPE_MESSAGES['c']}$"):
        Task(1, 1, c, b, 1, w)
    with pytest.raises(ValueError, match=f"^{SHAPE_MESSAGES['b_ij']}$"):
        Task(1, 1, small, b, 1, small_w)
    with pytest.raises(ValueError, match=f"^{SHAPE_MESSAGES['omega']}$"):
        Task(2**30, 2**29, c, b, 1, small_w)
    if UNDER_ASAN:
        return  # its operator new ends the process instead of throwing (boundary_model.UNDER_ASAN)
    # Matching shapes: the copies cannot be made.
    with pytest.raises(MemoryError):
        Task(2**30, 2**29, c, b, 1, w)
    with pytest.raises(MemoryError):
        Task(2**30, 2**29, c, b, 0, w)


def test_empty_tasks_with_an_enormous_other_side():
    side = 2**59  # the longest side NumPy allows for 8-byte elements
    task = Task(0, side, np.zeros((0, side), np.int64), np.zeros((0, side), np.int64), 1,
                np.zeros((0, side)))
    assert task.validate() is True
    for solver in [PROB(kmax=5), ACO(num_ants=3, kmax=2)]:
        x, value = solver.solve(task)
        assert x.shape == (0, side) and x.dtype == np.int64 and value == 0.0
    tall = Task(side, 0, np.zeros((side, 0), np.int64), np.zeros((side, 0), np.int64), 1,
                np.zeros((side, 0)))
    assert tall.validate() is True


def test_solvers_on_a_tall_empty_task_return_at_once():
    done = run_python("""
        import numpy as np, corvane
        side = 2**59
        task = corvane.Task(side, 0, np.zeros((side, 0), np.int64), np.zeros((side, 0), np.int64), 1,
                            np.zeros((side, 0)))
        for solver in [corvane.ProbabilisticAssignmentSolver(kmax=5),
                       corvane.AntColonyAssignmentSolver(num_ants=3, kmax=2)]:
            x, value = solver.solve(task)
            assert x.shape == (side, 0) and value == 0.0
    """)
    assert done.returncode == 0, done.stderr


def test_huge_batches_are_refused_before_any_work():
    # In a fresh process: the refusal comes before the worker pool exists.
    sizes = [UNALLOCATED_BATCH, 2**64 - 1] + ([] if UNDER_ASAN else [HUGE_BATCH, 2**50])
    done = run_python(f"""
        import os, numpy as np, corvane
        threads = lambda: len(os.listdir("/proc/self/task"))
        task = corvane.Task(3, 3, np.ones((3, 3), np.int64), np.ones((3, 3), np.int64), 5, np.zeros((3, 3)))
        before = threads()
        solvers = [corvane.AntColonyAssignmentSolver(num_ants=size, kmax=k) for size in {sizes!r}
                   for k in (1, 2**64 - 1)]
        for solver in solvers:
            try:
                solver.solve(task)
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        print(before, threads())
    """)
    assert done.returncode == 0, done.stdout + done.stderr
    before, after = done.stdout.split()
    assert before == after


def test_any_number_of_probabilistic_samples_is_accepted():
    # An empty grid returns at once however many samples are asked for; a
    # non-empty one starts building them, with no limit of its own (here it
    # is still at work when stopped).
    code = textwrap.dedent("""
        import numpy as np, corvane
        solver = corvane.ProbabilisticAssignmentSolver(kmax=2**64 - 1)
        for rows, cols in ((0, 0), (0, 7), (7, 0)):
            empty = np.zeros((rows, cols), np.int64)
            x, value = solver.solve(corvane.Task(rows, cols, empty, empty, 1, np.zeros((rows, cols))))
            assert x.shape == (rows, cols) and value == 0.0
        task = corvane.Task(3, 3, np.ones((3, 3), np.int64), np.ones((3, 3), np.int64), 5, np.zeros((3, 3)))
        print("solving", flush=True)
        solver.solve(task)
        print("returned")
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "solving\n", child.stderr.read()
        with pytest.raises(subprocess.TimeoutExpired):
            child.wait(timeout=3)
    finally:
        child.kill()
        child.wait()


extreme_int64 = st.one_of(st.integers(I64_MIN, I64_MAX),
                          st.sampled_from([I64_MIN, I64_MIN + 1, -1, 0, 1, 2**62, I64_MAX - 1, I64_MAX]))


@settings(max_examples=int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "500")) // 2, deadline=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_extreme_tasks_always_give_valid_results(data):
    m = data.draw(st.integers(1, 4))
    n = data.draw(st.integers(1, 4))
    c = np.array(data.draw(st.lists(extreme_int64, min_size=m * n, max_size=m * n)), np.int64).reshape(m, n)
    b = np.array(data.draw(st.lists(extreme_int64, min_size=m * n, max_size=m * n)), np.int64).reshape(m, n)
    omega = np.array(data.draw(st.lists(st.sampled_from([0.0, -0.0, 1.0, math.nan, 0.5, 5e-324]),
                                        min_size=m * n, max_size=m * n))).reshape(m, n)
    budget = data.draw(st.one_of(st.sampled_from([1, I64_MAX, 2**62]), st.integers(1, I64_MAX)))
    order = data.draw(st.sampled_from(["C", "F"]))
    task, task_data = task_and_data(np.asarray(c, order=order), np.asarray(b, order=order), budget,
                                np.asarray(omega, order=order))
    check_result(PROB(kmax=6).solve(task), task_data)
    try:
        check_result(ACO(num_ants=3, kmax=3).solve(task), task_data)
    except BaseException as exc:  # noqa: BLE001
        # Deposits can reach +-inf (a deposit scale of 0), and so can a weight.
        assert is_panic(exc) and str(exc) == NONFINITE, repr(exc)
