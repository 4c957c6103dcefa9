"""Task construction: the order of the validation checks and their messages."""

import numpy as np
import pytest

from support import BUDGET_MESSAGE, RANGE_MESSAGE, SHAPE_MESSAGES, Task, filled

COST, RESOURCE, DISCOUNT = (SHAPE_MESSAGES[name] for name in ("c", "b_ij", "omega"))


def value_error(*args):
    with pytest.raises(ValueError) as info:
        Task(*args)
    assert len(info.value.args) == 1
    return info.value.args[0]


def test_checks_run_in_order():
    c, b, om = filled(2, 3)
    wrong_c, wrong_b, wrong_om = filled(3, 2)
    assert value_error(2, 3, wrong_c, wrong_b, -1, wrong_om * 5) == COST
    assert value_error(2, 3, c, wrong_b, -1, wrong_om) == RESOURCE
    assert value_error(2, 3, c, b, -1, wrong_om) == DISCOUNT
    assert value_error(2, 3, c, b, -1, om - 0.5) == RANGE_MESSAGE
    assert value_error(2, 3, c, b, -5, om) == BUDGET_MESSAGE
    assert value_error(2, 3, c, b, 0, om) == BUDGET_MESSAGE
    # Rows and columns are checked separately, with the same message.
    assert value_error(2, 3, np.ones((2, 4), dtype=np.int64), b, 1, om) == COST
    assert value_error(2, 3, c, np.ones((1, 3), dtype=np.int64), 1, om) == RESOURCE


def test_discount_range_is_closed_and_nan_passes():
    c, b, _ = filled(1, 4)
    assert Task(1, 4, c, b, 1, np.array([[0.0, -0.0, 1.0, np.nan]])).validate() is True


@pytest.mark.parametrize("bad", [1.0000001, -0.5, np.inf, -np.inf, -1e-300])
@pytest.mark.parametrize("layout", [np.asarray, np.asfortranarray, lambda a: a[:, ::-1]],
                         ids=["c-order", "fortran", "reversed"])
def test_discounts_out_of_range_are_refused_in_any_layout(bad, layout):
    c, b, _ = filled(1, 4)
    assert value_error(1, 4, c, b, 1, layout(np.array([[0.0, 0.5, bad, np.nan]]))) == RANGE_MESSAGE


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (4, 0)])
def test_empty_tasks(shape):
    c, b, om = filled(*shape)
    assert Task(*shape, c, b, 1, om).validate() is True
    assert value_error(*shape, c, b, 0, om) == BUDGET_MESSAGE


def test_extreme_tasks():
    c = np.array([[-(2**63), 2**63 - 1]], dtype=np.int64)
    assert Task(1, 2, c, c, 2**63 - 1, np.zeros((1, 2))).validate() is True
    # m and n must match the arrays exactly, whatever their size.
    c, b, om = filled(2, 2)
    assert value_error(2**64 - 1, 2, c, b, 1, om) == COST
