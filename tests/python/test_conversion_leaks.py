"""No conversion at the call boundary keeps an object alive, whichever way it
ends. Every integer and float parameter of the three constructors, and the
task of solve, is given a new object on each call: an int or float, a hook
that returns a new value, an out-of-range value, an object without a
conversion, a hook raising a new exception of another type, and a hook raising
a TypeError with a cause. A reference kept to any of these stays allocated, so
the number of allocated blocks grows by about one per call. (The reference
count tests in test_hygiene.py use fixed objects, whose hooks return cached
small ints or the same large int on every call: a leaked reference to such a
value frees nothing and adds no block.)

Blocks are counted by support.block_counter: pymalloc's count, or the blocks
tracemalloc traces where pymalloc is not in use (under AddressSanitizer)."""

import gc
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import pytest

from support import ACO, PROB, Task, block_counter

# Calls measured per case, after WARM_UP calls that let caches and free lists
# settle. A leak of one object per call adds about CALLS blocks; a clean case
# grows by a block or two. LIMIT sits far from both.
WARM_UP = 100
CALLS = 1000
LIMIT = 100

# Each call below makes its values from the call's number k, so none is a
# cached small int or a constant: `BASE + k` is a new int on every call.
BASE = 10**6
# Rows of a task whose columns are given, and columns whose rows are: an empty
# grid, so a Task of that size is cheap to build.
SIDE = 1000


def new_int(value, k):
    """An int equal to `value`, made anew (k - k keeps it from being a constant)."""
    return value + k - k


class FreshIndex:
    """__index__ returns a new int each time (support.Index returns the same
    one, to which a leaked reference would add no block)."""

    def __init__(self, value, k):
        self.value, self.k = value, k

    def __index__(self):
        return new_int(self.value, self.k)


class FreshReal:
    """__float__ returns a new float each time."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value + 0.25


class ReturnsText:
    """Both hooks return a new str, which the interpreter refuses with a TypeError."""

    def __init__(self, k):
        self.k = k

    def __index__(self):
        return f"index {self.k}"

    def __float__(self):
        return f"float {self.k}"


class Raises:
    """Both hooks raise a new exception made by `make(message)`."""

    def __init__(self, make, k):
        self.make, self.k = make, k

    def __index__(self):
        raise self.make(f"index hook {self.k}")

    def __float__(self):
        raise self.make(f"float hook {self.k}")


class NarrowTypeError(TypeError):
    """Not exactly a TypeError: passes through unwrapped."""


def type_error_with_cause(message):
    error = TypeError(message)
    error.__cause__ = KeyError(f"cause of {message}")
    return error


# (path, expected exception or None, make(k) -> the argument); `value` is a
# fresh in-range value of the parameter, made from k.
def integer_paths(value, low, high):
    """Paths of an integer parameter whose accepted range is [low, high]."""
    return [
        ("int", None, value),
        ("__index__", None, lambda k: FreshIndex(value(k), k)),
        ("int below the range", OverflowError, lambda k: low - BASE - k),
        ("__index__ below the range", OverflowError, lambda k: FreshIndex(low - BASE, k)),
        ("int above the range", OverflowError, lambda k: high + 1 + k),
        ("__index__ above the range", OverflowError, lambda k: FreshIndex(high + 1, k)),
        ("no conversion", TypeError, lambda k: object()),
        ("__index__ returns a str", TypeError, ReturnsText),
        ("hook raises ZeroDivisionError", ZeroDivisionError, lambda k: Raises(ZeroDivisionError, k)),
        ("hook raises a TypeError subclass", NarrowTypeError, lambda k: Raises(NarrowTypeError, k)),
        ("hook raises a TypeError with a cause", TypeError, lambda k: Raises(type_error_with_cause, k)),
    ]


FLOAT_PATHS = [
    ("float", None, lambda k: 0.5 + k),
    ("int", None, lambda k: BASE + k),
    ("__float__", None, lambda k: FreshReal(0.5 + k)),
    ("__index__", None, lambda k: FreshIndex(BASE, k)),
    ("int too large for a float", OverflowError, lambda k: 10**400 + k),
    ("__index__ too large for a float", OverflowError, lambda k: FreshIndex(10**400, k)),
    ("no conversion", TypeError, lambda k: object()),
    ("__float__ returns a str", TypeError, ReturnsText),
    ("hook raises ValueError", ValueError, lambda k: Raises(ValueError, k)),
    ("hook raises a TypeError subclass", NarrowTypeError, lambda k: Raises(NarrowTypeError, k)),
    ("hook raises a TypeError with a cause", TypeError, lambda k: Raises(type_error_with_cause, k)),
]

U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1

TALL = (np.zeros((SIDE, 0), np.int64), np.zeros((SIDE, 0), np.int64), np.zeros((SIDE, 0)))
WIDE = (np.zeros((0, SIDE), np.int64), np.zeros((0, SIDE), np.int64), np.zeros((0, SIDE)))


def task_with_m(m):
    c, b, w = TALL
    return Task(m=m, n=0, c=c, b_ij=b, b_total=1, omega=w)


def task_with_n(n):
    c, b, w = WIDE
    return Task(m=0, n=n, c=c, b_ij=b, b_total=1, omega=w)


def task_with_budget(b_total):
    c, b, w = TALL
    return Task(SIDE, 0, c, b, b_total, w)


def counts(k):
    return BASE + k


# (constructor.parameter, the constructor given only that argument, its paths)
PARAMETERS = [
    ("Task.m", task_with_m, integer_paths(lambda k: new_int(SIDE, k), 0, U64_MAX)),
    ("Task.n", task_with_n, integer_paths(lambda k: new_int(SIDE, k), 0, U64_MAX)),
    ("Task.b_total", task_with_budget, integer_paths(counts, I64_MIN, I64_MAX)),
    ("AntColonyAssignmentSolver.num_ants", lambda v: ACO(num_ants=v), integer_paths(counts, 0, U64_MAX)),
    ("AntColonyAssignmentSolver.kmax", lambda v: ACO(kmax=v), integer_paths(counts, 0, U64_MAX)),
    ("ProbabilisticAssignmentSolver.kmax", lambda v: PROB(kmax=v), integer_paths(counts, 0, U64_MAX)),
    *[(f"AntColonyAssignmentSolver.{name}", lambda v, name=name: ACO(**{name: v}), FLOAT_PATHS)
      for name in ("alpha", "beta", "rho", "initial_pheromone")],
]


@dataclass
class Case:
    parameter: str
    expected: Any  # the exception type, or None for a success
    call: Callable[[int], Any]  # call(k) makes its arguments anew and makes the call
    argument: Callable[[int], Any]  # the new argument of call k


def parameter_cases():
    for parameter, construct, paths in PARAMETERS:
        for path, expected, make in paths:
            case = Case(parameter.rsplit(".", 1)[1], expected, lambda k, c=construct, m=make: c(m(k)), make)
            yield pytest.param(case, id=f"{parameter}-{path}")


SMALL = (np.array([[5, 3]], np.int64), np.array([[1, 2]], np.int64), np.array([[0.0, 0.5]]))


def new_task(k):
    c, b, w = SMALL
    return Task(1, 2, c, b, 2, w)


def solve_cases():
    for name, solver in [("AntColonyAssignmentSolver", ACO(num_ants=1, kmax=1)),
                         ("ProbabilisticAssignmentSolver", PROB(kmax=1))]:
        for path, expected, make in [
            ("a new task", None, new_task),
            ("no task", TypeError, lambda k: object()),
            ("a list", TypeError, lambda k: [k]),
            ("a new solver", TypeError, lambda k: PROB(kmax=counts(k))),
        ]:
            case = Case("task", expected, lambda k, s=solver, m=make: s.solve(m(k)), make)
            yield pytest.param(case, id=f"{name}.solve-{path}")
            case = Case("task", expected, lambda k, s=solver, m=make: s.solve(task=m(k)), make)
            yield pytest.param(case, id=f"{name}.solve-{path} by keyword")


def outcome(call, k):
    """The type of the exception call(k) raised, or None; nothing of it is kept."""
    try:
        call(k)
    except BaseException as exc:  # noqa: BLE001 - the outcome is checked by the caller
        return type(exc)
    return None


def check_path(case):
    """One call, looked at closely: the argument is new on each call, and the
    call fails as the case says (an exact TypeError wrapped with the parameter
    name, keeping the hook's cause)."""
    first, second = case.argument(0), case.argument(0)
    assert first is not second
    if isinstance(first, FreshIndex):
        assert first.__index__() is not first.__index__()
    if isinstance(first, FreshReal):
        assert first.__float__() is not first.__float__()
    try:
        case.call(0)
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is case.expected, repr(exc)
        if type(exc) is TypeError:
            assert str(exc).startswith(f"argument '{case.parameter}': "), str(exc)
            if isinstance(first, Raises) and first.make is type_error_with_cause:
                assert type(exc.__cause__) is KeyError and exc.__cause__.args[0].startswith("cause of ")
    else:
        assert case.expected is None


@pytest.mark.parametrize("case", [*parameter_cases(), *solve_cases()])
def test_no_object_outlives_a_call(case):
    check_path(case)
    call, expected = case.call, case.expected
    with block_counter() as allocated:
        for k in range(WARM_UP):
            assert outcome(call, k) is expected
        gc.collect()
        before = allocated()
        for k in range(CALLS):
            assert outcome(call, k) is expected
        gc.collect()
        grown = allocated() - before
    assert grown < LIMIT, f"{grown} blocks more after {CALLS} calls"
