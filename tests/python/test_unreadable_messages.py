"""A conversion hook whose TypeError carries a message that str() cannot read:
the TypeError still comes out, with the parameter name in front and the
interpreter's own stand-in for the text."""

import gc

import numpy as np
import pytest

import corvane

ACO = corvane.AntColonyAssignmentSolver
PROB = corvane.ProbabilisticAssignmentSolver


class Unreadable:
    """A message whose str() collects garbage, then raises."""

    def __str__(self):
        gc.collect()
        raise ValueError("str() of the message failed")


class Hostile:
    """A number whose conversions raise TypeError(Unreadable())."""

    def __init__(self, cause=None):
        self.cause = cause

    def fail(self):
        error = TypeError(Unreadable())
        error.__cause__ = self.cause
        raise error

    def __index__(self):
        self.fail()

    def __float__(self):
        self.fail()


def task_with(parameter, value):
    arguments = {"m": 1, "n": 1, "c": np.ones((1, 1), np.int64), "b_ij": np.ones((1, 1), np.int64), "b_total": 1,
                 "omega": np.zeros((1, 1))}
    arguments[parameter] = value
    return corvane.Task(**arguments)


@pytest.mark.parametrize("parameter, make", [
    ("m", lambda value: task_with("m", value)),
    ("b_total", lambda value: task_with("b_total", value)),
    ("num_ants", lambda value: ACO(num_ants=value)),
    ("alpha", lambda value: ACO(alpha=value)),
    ("kmax", lambda value: PROB(value)),
])
@pytest.mark.parametrize("cause", [None, KeyError("root")])
def test_a_type_error_whose_message_cannot_be_read_keeps_its_type(parameter, make, cause):
    with pytest.raises(TypeError) as info:
        make(Hostile(cause))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{parameter}': <exception str() failed>"
    assert info.value.__cause__ is cause
