"""Reference and memory hygiene: every call leaves the reference counts of its
arguments as they were, whichever way it ends; long loops of calls keep the
resident memory flat; a PanicException leaks nothing and leaves the solver and
the task usable; arrays changed by a conversion hook are read safely."""

import gc
import os
import sys
import warnings

import numpy as np
import pytest

import corvane
from boundary_model import NONFINITE, UNDER_ASAN, TaskData, check_result, is_panic, task_outcome

Task = corvane.Task
ACO = corvane.AntColonyAssignmentSolver
PROB = corvane.ProbabilisticAssignmentSolver


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Failing:
    """Each conversion raises a new exception, so none outlives the call."""

    def __index__(self):
        raise ZeroDivisionError("index hook")

    def __float__(self):
        raise ZeroDivisionError("float hook")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def outcome_of(function, *args, **kwargs):
    """The type of what the call returned or raised; nothing of it is kept."""
    try:
        return type(function(*args, **kwargs)).__name__
    except BaseException as exc:  # noqa: BLE001
        return type(exc).__name__


def arrays(m, n, cost=5, resource=1, discount=0.25):
    return (np.full((m, n), cost, np.int64), np.full((m, n), resource, np.int64), np.full((m, n), discount))


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
    objects = [function, *positional, *keywords.values()]
    owner = getattr(function, "__self__", None)
    if owner is not None:
        objects.append(owner)
    for _ in range(2):  # the first call may create lasting state (NumPy's API table, the pool)
        assert outcome_of(function, *positional, **keywords) == expected
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(5):
        assert outcome_of(function, *positional, **keywords) == expected
    gc.collect()
    assert [sys.getrefcount(obj) for obj in objects] == before


@pytest.mark.skipif(UNDER_ASAN, reason="with PYTHONMALLOC=malloc the interpreter counts no blocks")
def test_calls_leave_no_python_object_behind():
    # Every path above, a hundred times: a result, message, exception or
    # argument kept by any of them would leave at least a hundred blocks.
    paths = [(function, positional, keywords) for _, _, function, positional, keywords in
             [*task_paths(), *solver_paths(), *solve_paths()]]

    def run(rounds):
        for _ in range(rounds):
            for function, positional, keywords in paths:
                outcome_of(function, *positional, **keywords)

    run(10)
    gc.collect()
    before = sys.getallocatedblocks()
    run(100)
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


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
    data = task_outcome(6, 6, c, b, 12, w)
    assert isinstance(data, TaskData)
    solver = ACO(num_ants=8, kmax=3, alpha=-1.0, initial_pheromone=0.0)
    before = [sys.getrefcount(task), sys.getrefcount(solver)]
    for _ in range(200):
        with pytest.raises(BaseException) as caught:
            solver.solve(task)
        assert is_panic(caught.value) and str(caught.value) == NONFINITE
        del caught
    assert [sys.getrefcount(task), sys.getrefcount(solver)] == before
    assert task.validate() is True
    check_result(ACO(num_ants=8, kmax=3).solve(task), data)
    check_result(PROB(kmax=8).solve(task), data)


def test_panics_keep_resident_memory_flat():
    if UNDER_ASAN:
        pytest.skip("AddressSanitizer's quarantine holds freed memory on purpose")
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


class ChangesArrays:
    """A b_total whose __index__ changes the other arguments in place."""

    def __init__(self, change, value=12):
        self.change = change
        self.value = value

    def __index__(self):
        self.change()
        return self.value


def test_arrays_changed_while_the_budget_converts_are_read_as_they_are_then():
    # resize(refcheck=False) frees the old buffer: the task must read the new one.
    c = np.full((2, 2), 5, np.int64)

    def grow():
        c.resize((3, 4), refcheck=False)
        c[...] = 7

    b = np.ones((3, 4), np.int64)
    w = np.zeros((3, 4))
    task = Task(3, 4, c, b, ChangesArrays(grow), w)
    # Every cell fits and has a positive weight, so every sample takes all twelve.
    x, value = PROB(kmax=2).solve(task)
    assert x.tolist() == [[1] * 4] * 3 and value == 7.0 * 12

    # A resize to another shape is seen as such.
    c = np.ones((3, 4), np.int64)
    with pytest.raises(ValueError, match="^Некоректні розміри матриці вартості$"):
        Task(3, 4, c, b, ChangesArrays(lambda: c.resize((5, 5), refcheck=False)), w)


def set_in_place(array, attribute, value):
    """Sets the shape or dtype of `array` itself, which NumPy 2.5 deprecates."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        setattr(array, attribute, value)


def test_shape_and_dtype_changed_in_place_while_the_budget_converts_are_seen():
    try:
        set_in_place(np.ones((2, 2), np.int64), "shape", (4, 1))
        set_in_place(np.ones((2, 2), np.int64), "dtype", np.float64)
    except (AttributeError, TypeError):
        pytest.skip("this NumPy no longer changes an array's shape or dtype in place")
    b = np.ones((3, 4), np.int64)
    w = np.zeros((3, 4))
    c = np.ones((3, 4), np.int64)
    with pytest.raises(ValueError, match="^Некоректні розміри матриці витрат ресурсу$"):
        Task(3, 4, c, b, ChangesArrays(lambda: set_in_place(b, "shape", (4, 3))), w)
    with pytest.raises(TypeError, match=r"^argument 'c': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        Task(3, 4, c, np.ones((3, 4), np.int64), ChangesArrays(lambda: set_in_place(c, "dtype", np.float64)), w)
