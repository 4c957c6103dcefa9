"""Argument binding and conversion at the call boundary."""

import math

import numpy as np
import pytest

import corvane
from support import ACO, PROB, Index, Real


def message(exc_info):
    return str(exc_info.value)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: corvane.Task(), "Task.__new__() missing 6 required positional arguments: "
         "'m', 'n', 'c', 'b_ij', 'b_total', and 'omega'"),
        (lambda: corvane.Task(1, 2, 3, 4, 5), "Task.__new__() missing 1 required positional argument: 'omega'"),
        (lambda: corvane.Task(1, 2, 3, 4), "Task.__new__() missing 2 required positional arguments: "
         "'b_total' and 'omega'"),
        (lambda: corvane.Task(1, 2, 3, 4, 5, 6, 7), "Task.__new__() takes 6 positional arguments but 7 were given"),
        (lambda: corvane.Task(1, m=2), "Task.__new__() got multiple values for argument 'm'"),
        (lambda: corvane.Task(x=1), "Task.__new__() got an unexpected keyword argument 'x'"),
        (lambda: PROB(1, 2), "ProbabilisticAssignmentSolver.__new__() takes from 0 to 1 positional arguments "
         "but 2 were given"),
        (lambda: PROB(k=1), "ProbabilisticAssignmentSolver.__new__() got an unexpected keyword argument 'k'"),
        (lambda: ACO(1, 2, 3, 4, 5, 6, 7), "AntColonyAssignmentSolver.__new__() takes from 0 to 6 positional "
         "arguments but 7 were given"),
        (lambda: ACO(20, num_ants=20), "AntColonyAssignmentSolver.__new__() got multiple values for argument "
         "'num_ants'"),
        (lambda: ACO().solve(), "AntColonyAssignmentSolver.solve() missing 1 required positional argument: 'task'"),
        (lambda: ACO().solve(1, 2), "AntColonyAssignmentSolver.solve() takes 1 positional arguments but 2 were given"),
        (lambda: PROB().solve(tsk=1), "ProbabilisticAssignmentSolver.solve() got an unexpected keyword argument 'tsk'"),
        (lambda: PROB().solve(1, task=1), "ProbabilisticAssignmentSolver.solve() got multiple values for argument "
         "'task'"),
    ],
)
def test_binding_messages(call, expected):
    with pytest.raises(TypeError) as info:
        call()
    assert message(info) == expected


def test_binding_checks_run_in_order():
    # Too many positional arguments is reported before a bad keyword.
    with pytest.raises(TypeError, match="takes from 0 to 1"):
        PROB(1, 2, bogus=3)
    # Keywords are checked in the order given, before missing parameters.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        corvane.Task(zz=1, m=2)
    with pytest.raises(TypeError, match="multiple values for argument 'n'"):
        corvane.Task(1, 2, n=3, zz=1)
    # Binding errors come before any conversion.
    with pytest.raises(TypeError, match="missing 1 required"):
        corvane.Task(None, None, None, None, None)
    # Every callable takes a parameter, so too many arguments are two or more: "were given".
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        ACO().solve(1, 2)


ONE = np.ones((1, 1), dtype=np.int64)
NO_DISCOUNT = np.zeros((1, 1))


@pytest.mark.parametrize("call", [
    lambda: PROB(True),
    lambda: PROB(Index(5)),
    lambda: PROB(np.uint64(2**64 - 1)),
    lambda: ACO(num_ants=np.int16(3), kmax=0),
    lambda: corvane.Task(1, 1, ONE, ONE, Index(3), NO_DISCOUNT),
    lambda: ACO(alpha=1, beta=True, rho=np.float32(0.5), initial_pheromone=Real(0.25)),
    lambda: ACO(alpha=math.nan, beta=math.inf, rho=-1e308),
], ids=["bool", "__index__", "uint64 max", "int16", "budget __index__", "float likes", "non-finite floats"])
def test_conversions_accept_what_converts(call):
    call()


# (call, exception, the start of its message; None: the interpreter's own
# message, without the parameter's name)
CONVERSION_FAILURES = {
    "kmax float": (lambda: PROB(kmax=2.0), TypeError, "argument 'kmax': "),
    "kmax None": (lambda: PROB(kmax=None), TypeError, "argument 'kmax': "),
    "kmax str": (lambda: PROB(kmax="3"), TypeError, "argument 'kmax': "),
    "kmax list": (lambda: PROB(kmax=[1]), TypeError, "argument 'kmax': "),
    "kmax negative": (lambda: PROB(-1), OverflowError, None),
    "kmax 2**64": (lambda: PROB(2**64), OverflowError, None),
    "kmax __index__ negative": (lambda: PROB(Index(-3)), OverflowError, None),
    "b_total 2**63": (lambda: corvane.Task(1, 1, ONE, ONE, 2**63, NO_DISCOUNT), OverflowError, None),
    "b_total float": (lambda: corvane.Task(1, 1, ONE, ONE, 1.0, NO_DISCOUNT), TypeError, "argument 'b_total': "),
    "m None": (lambda: corvane.Task(None, 1, ONE, ONE, 1, NO_DISCOUNT), TypeError, "argument 'm': "),
    "m negative": (lambda: corvane.Task(-1, 1, ONE, ONE, 1, NO_DISCOUNT), OverflowError, None),
    "rho None": (lambda: ACO(rho=None), TypeError, "argument 'rho': must be real number, not NoneType"),
    "alpha str": (lambda: ACO(alpha="1.0"), TypeError, "argument 'alpha': "),
    "beta too large for a float": (lambda: ACO(beta=10**400), OverflowError, None),
}


@pytest.mark.parametrize("call, expected, start", CONVERSION_FAILURES.values(), ids=CONVERSION_FAILURES)
def test_conversion_failures(call, expected, start):
    with pytest.raises(expected) as info:
        call()
    assert type(info.value) is expected
    if start is None:
        assert not message(info).startswith("argument "), message(info)
    else:
        assert message(info).startswith(start), message(info)


def test_conversion_stops_at_first_failure():
    class Exploding:
        def __index__(self):
            raise AssertionError("must not be converted")

    # num_ants fails first; kmax is never looked at.
    with pytest.raises(TypeError, match=r"^argument 'num_ants': "):
        ACO(num_ants="x", kmax=Exploding())


def test_only_exact_type_errors_are_wrapped():
    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    class MyTypeError(TypeError):
        pass

    with pytest.raises(ValueError, match="^plain$"):
        PROB(Raises(ValueError("plain")))
    with pytest.raises(MyTypeError, match="^sub$"):
        PROB(Raises(MyTypeError("sub")))

    cause = KeyError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        PROB(Raises(err))
    assert message(info) == "argument 'kmax': inner"
    assert info.value is not err
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("solver", [ACO(kmax=0), PROB(0)], ids=["ant colony", "probabilistic"])
@pytest.mark.parametrize("bad", [[], None, "the solver", np.zeros((2, 2))], ids=["list", "None", "solver", "array"])
def test_task_argument_is_type_checked(small_task, solver, bad):
    bad = solver if isinstance(bad, str) else bad
    with pytest.raises(TypeError) as info:
        solver.solve(bad)
    assert message(info) == f"argument 'task': '{type(bad).__qualname__}' object cannot be converted to 'Task'"
    x, value = solver.solve(task=small_task)
    assert x.shape == (2, 3) and value == 0.0


def test_validate_takes_no_arguments(small_task):
    assert small_task.validate() is True
    with pytest.raises(TypeError):
        small_task.validate(1)
