"""Reference and memory hygiene: every call leaves the reference counts of its
arguments, of what it returned and of the dtypes NumPy hands out as they were,
whichever way it ends; long loops of calls keep the resident memory flat; a
PanicException leaks nothing and leaves the solver and the task usable."""

import gc

import numpy as np
import pytest

from support import (
    ACO,
    FLOAT64,
    INT64,
    NONFINITE,
    PROB,
    UNDER_ASAN,
    Index,
    Real,
    Task,
    TaskData,
    block_counter,
    check_result,
    filled,
    is_panic,
    refcounts,
    resident_bytes,
)


class Failing:
    """Each conversion raises a new exception, so none outlives the call."""

    def __index__(self):
        raise ZeroDivisionError("index hook")

    def __float__(self):
        raise ZeroDivisionError("float hook")


def returned(function, *args, **kwargs):
    """(the name of the type of what the call returned or raised, what it
    returned or None); nothing of an exception is kept."""
    try:
        result = function(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        return type(exc).__name__, None
    return type(result).__name__, result


def outcome_of(function, *args, **kwargs):
    return returned(function, *args, **kwargs)[0]


def arrays(m, n, discount=0.25):
    return filled(m, n, cost=5, discount=discount)


def task_paths():
    """(label, expected outcome, callable, positional, keywords) for the Task
    constructor: success and a failure at every parameter and every check."""
    c, b, w = arrays(3, 4)
    m, n, budget = Index(3), Index(4), Index(7)
    good = [m, n, c, b, budget, w]

    def replaced(position, value):
        args = list(good)
        args[position] = value
        return args

    yield "by position", "Task", Task, good, {}
    yield "by keyword", "Task", Task, [], dict(zip(("m", "n", "c", "b_ij", "b_total", "omega"), good))
    yield "m not an integer", "TypeError", Task, replaced(0, Real(3.0)), {}
    yield "m negative", "OverflowError", Task, replaced(0, Index(-1)), {}
    yield "m hook raises", "ZeroDivisionError", Task, replaced(0, Failing()), {}
    yield "n too large", "OverflowError", Task, replaced(1, Index(2**64)), {}
    yield "c a list", "TypeError", Task, replaced(2, [[1] * 4] * 3), {}
    yield "c of int32", "TypeError", Task, replaced(2, c.astype(np.int32)), {}
    yield "c big-endian", "TypeError", Task, replaced(2, c.astype(">i8")), {}
    yield "b_ij 1-D", "TypeError", Task, replaced(3, b.ravel()), {}
    yield "b_total a float", "TypeError", Task, replaced(4, Real(7.0)), {}
    yield "b_total too large", "OverflowError", Task, replaced(4, Index(2**63)), {}
    yield "b_total hook raises", "ZeroDivisionError", Task, replaced(4, Failing()), {}
    yield "omega of int64", "TypeError", Task, replaced(5, b), {}
    yield "c shape", "ValueError", Task, replaced(2, c[:2]), {}
    yield "b_ij shape", "ValueError", Task, replaced(3, b.T), {}
    yield "omega shape", "ValueError", Task, replaced(5, w[:, :1]), {}
    yield "omega range", "ValueError", Task, replaced(5, w + 1.0), {}
    yield "budget not positive", "ValueError", Task, replaced(4, Index(0)), {}
    yield "too many", "TypeError", Task, good + [c], {}
    yield "unknown keyword", "TypeError", Task, good, {"weights": w}
    yield "given twice", "TypeError", Task, good, {"c": c}
    yield "missing", "TypeError", Task, good[:4], {}


def solver_paths():
    num_ants, kmax, rate = Index(3), Index(2), Real(0.5)
    yield "ant colony", "AntColonyAssignmentSolver", ACO, [num_ants, kmax, rate, Real(2.0), rate, Real(1.0)], {}
    yield "ant colony keywords", "AntColonyAssignmentSolver", ACO, [], {"kmax": kmax, "rho": rate}
    yield "num_ants negative", "OverflowError", ACO, [Index(-5)], {}
    yield "kmax a float", "TypeError", ACO, [num_ants, Real(1.0)], {}
    yield "alpha not a number", "TypeError", ACO, [num_ants, kmax, "1.0"], {}
    yield "beta hook raises", "ZeroDivisionError", ACO, [num_ants, kmax, rate, Failing()], {}
    yield "rho too large for a float", "OverflowError", ACO, [num_ants, kmax, rate, rate, 10**400], {}
    yield "ant colony too many", "TypeError", ACO, [num_ants, kmax, rate, rate, rate, rate, rate], {}
    yield "probabilistic", "ProbabilisticAssignmentSolver", PROB, [kmax], {}
    yield "probabilistic hook raises", "ZeroDivisionError", PROB, [Failing()], {}
    yield "probabilistic unknown keyword", "TypeError", PROB, [], {"k": kmax}


def solve_paths():
    c, b, w = arrays(3, 4)
    task = Task(3, 4, c, b, 7, w)
    empty_task = Task(3, 0, *arrays(3, 0)[:2], 7, arrays(3, 0)[2])
    ant, prob = ACO(num_ants=3, kmax=2), PROB(kmax=3)
    yield "ant colony solve", "tuple", ant.solve, [task], {}
    yield "probabilistic solve by keyword", "tuple", prob.solve, [], {"task": task}
    yield "task of the wrong type", "TypeError", ant.solve, [c], {}
    yield "solver passed as the task", "TypeError", prob.solve, [ant], {}
    yield "solve without a task", "TypeError", prob.solve, [], {}
    yield "solve with two tasks", "TypeError", ant.solve, [task, task], {}
    yield "batch too large", "MemoryError", ACO(num_ants=2**62, kmax=1).solve, [task], {}
    yield "any number of samples of an empty grid", "tuple", PROB(kmax=2**63).solve, [empty_task], {}
    yield "panic", "PanicException", ACO(alpha=-1.0, initial_pheromone=0.0).solve, [task], {}
    yield "validate", "bool", task.validate, [], {}


@pytest.mark.parametrize("expected, function, positional, keywords",
                         [pytest.param(*rest, id=label) for label, *rest in [*task_paths(), *solver_paths(),
                                                                              *solve_paths()]])
def test_reference_counts_are_unchanged_on_every_path(expected, function, positional, keywords):
    arguments = [*positional, *keywords.values()]
    # The dtypes are those the module asks NumPy for, a refused array's among them.
    objects = [function, getattr(function, "__self__", function), INT64, FLOAT64, *arguments]
    for _ in range(2):  # the first call may create lasting state (NumPy's API table, the pool)
        assert outcome_of(function, *positional, **keywords) == expected
    gc.collect()
    before = refcounts(*objects)
    kept = [returned(function, *positional, **keywords) for _ in range(5)]
    assert [outcome for outcome, _ in kept] == [expected] * 5
    gc.collect()
    # What the calls returned holds none of their arguments...
    assert refcounts(*arguments) == before[4:]
    del kept
    gc.collect()
    # ...and, once it is gone, nothing is left over.
    assert refcounts(*objects) == before


def test_calls_leave_no_python_object_behind():
    # Every path above, a hundred times: a result, message, exception or
    # argument kept by any of them would leave at least a hundred blocks.
    paths = [(function, positional, keywords) for _, _, function, positional, keywords in
             [*task_paths(), *solver_paths(), *solve_paths()]]

    def run(rounds):
        for _ in range(rounds):
            for function, positional, keywords in paths:
                outcome_of(function, *positional, **keywords)

    with block_counter() as allocated:
        run(10)
        gc.collect()
        before = allocated()
        run(100)
        gc.collect()
        grown = allocated() - before
    assert grown < 50, f"{grown} blocks more after 100 rounds"


def churn(rounds):
    """Constructions, solves and failures of every kind."""
    c, b, w = arrays(30, 30, discount=0.5)
    task = Task(30, 30, c, b, 200, w)
    ant = ACO(num_ants=4, kmax=2)
    prob = PROB(kmax=4)
    panicking = ACO(num_ants=4, kmax=1, alpha=-1.0, initial_pheromone=0.0)
    huge = ACO(num_ants=2**50, kmax=1)
    for _ in range(rounds):
        assert outcome_of(Task, 30, 30, c, b, 200, w) == "Task"
        assert outcome_of(Task, 30, 30, c, b, 200, w + 2.0) == "ValueError"
        assert outcome_of(Task, 30, 31, c, b, 200, w) == "ValueError"
        assert outcome_of(Task, 30, 30, c, b, Failing(), w) == "ZeroDivisionError"
        assert outcome_of(Task, 30, 30, c, b.astype(np.int32), 200, w) == "TypeError"
        assert outcome_of(ant.solve, task) == "tuple"
        assert outcome_of(prob.solve, task) == "tuple"
        assert outcome_of(panicking.solve, task) == "PanicException"
        assert outcome_of(huge.solve, task) == "MemoryError"
        assert outcome_of(ant.solve, c) == "TypeError"
        assert outcome_of(ACO, 1, 2, "x") == "TypeError"


@pytest.mark.slow
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine holds freed memory on purpose")
def test_resident_memory_stays_flat_over_a_long_loop():
    churn(300)  # pool, generators, NumPy and allocator caches settle
    gc.collect()
    before = resident_bytes()
    churn(3000)
    gc.collect()
    grown = resident_bytes() - before
    # One lost 30 x 30 matrix per round would be 21 MB; one lost result array 21 MB too.
    assert grown < 6 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"


def test_panic_leaves_solver_and_task_usable_and_leaks_nothing():
    c, b, w = arrays(6, 6)
    task = Task(6, 6, c, b, 12, w)
    data = TaskData.of(c, b, 12, w)
    solver = ACO(num_ants=8, kmax=3, alpha=-1.0, initial_pheromone=0.0)
    before = refcounts(task, solver)
    for _ in range(200):
        with pytest.raises(BaseException) as caught:
            solver.solve(task)
        assert is_panic(caught.value) and str(caught.value) == NONFINITE
        del caught
    assert refcounts(task, solver) == before
    assert task.validate() is True
    check_result(ACO(num_ants=8, kmax=3).solve(task), data)
    check_result(PROB(kmax=8).solve(task), data)


@pytest.mark.slow
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine holds freed memory on purpose")
def test_panics_keep_resident_memory_flat():
    c, b, w = arrays(40, 40)
    task = Task(40, 40, c, b, 10**6, w)
    solver = ACO(num_ants=16, kmax=1, alpha=-1.0, initial_pheromone=0.0)
    for _ in range(200):
        assert outcome_of(solver.solve, task) == "PanicException"
    before = resident_bytes()
    for _ in range(2000):
        assert outcome_of(solver.solve, task) == "PanicException"
    grown = resident_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"
