"""Argument binding and conversion at the call boundary."""

import numpy as np
import pytest

import corvane

ACO = corvane.AntColonyAssignmentSolver
PROB = corvane.ProbabilisticAssignmentSolver


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


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


def test_unsigned_conversion():
    # bool and __index__ objects convert; None, floats and strings do not.
    PROB(True)
    PROB(Index(5))
    PROB(np.uint64(2**64 - 1))
    ACO(num_ants=np.int16(3), kmax=0)
    for bad in [2.0, None, "3", [1]]:
        with pytest.raises(TypeError) as info:
            PROB(kmax=bad)
        assert message(info).startswith("argument 'kmax': ")
    for bad in [-1, 2**64, Index(-3)]:
        with pytest.raises(OverflowError) as info:
            PROB(bad)
        assert "kmax" not in message(info)


def test_signed_and_float_conversions(small_task):
    c = np.ones((1, 1), dtype=np.int64)
    om = np.zeros((1, 1))
    corvane.Task(1, 1, c, c, Index(3), om)
    with pytest.raises(OverflowError):
        corvane.Task(1, 1, c, c, 2**63, om)
    with pytest.raises(TypeError, match=r"^argument 'b_total': "):
        corvane.Task(1, 1, c, c, 1.0, om)
    with pytest.raises(TypeError, match=r"^argument 'm': "):
        corvane.Task(None, 1, c, c, 1, om)
    with pytest.raises(OverflowError):
        corvane.Task(-1, 1, c, c, 1, om)

    ACO(alpha=1, beta=True, rho=np.float32(0.5), initial_pheromone=Floaty())
    ACO(alpha=float("nan"), beta=float("inf"), rho=-1e308)
    with pytest.raises(TypeError, match=r"^argument 'rho': must be real number, not NoneType$"):
        ACO(rho=None)
    with pytest.raises(TypeError, match=r"^argument 'alpha': "):
        ACO(alpha="1.0")
    with pytest.raises(OverflowError):
        ACO(beta=10**400)


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


def test_task_argument_is_type_checked(small_task):
    for solver in [ACO(kmax=0), PROB(0)]:
        for bad in [[], None, solver, np.zeros((2, 2))]:
            with pytest.raises(TypeError) as info:
                solver.solve(bad)
            assert message(info) == f"argument 'task': '{type(bad).__qualname__}' object cannot be converted to 'Task'"
        x, value = solver.solve(task=small_task)
        assert x.shape == (2, 3) and value == 0.0


def test_validate_takes_no_arguments(small_task):
    assert small_task.validate() is True
    with pytest.raises(TypeError):
        small_task.validate(1)
