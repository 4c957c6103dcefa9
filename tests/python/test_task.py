"""Task construction: validation order, messages, copies and reference hygiene."""

import gc
import sys

import numpy as np
import pytest

import corvane

COST = "Некоректні розміри матриці вартості"
RESOURCE = "Некоректні розміри матриці витрат ресурсу"
DISCOUNT = "Некоректні розміри матриці знижок"
RANGE = "Знижки повинні бути в діапазоні [0, 1]"
BUDGET = "Загальний ресурс повинен бути додатнім"


def arrays(m, n):
    return np.ones((m, n), dtype=np.int64), np.ones((m, n), dtype=np.int64), np.zeros((m, n))


def value_error(*args):
    with pytest.raises(ValueError) as info:
        corvane.Task(*args)
    assert len(info.value.args) == 1
    return info.value.args[0]


def test_checks_run_in_order():
    c, b, om = arrays(2, 3)
    wrong_c, wrong_b, wrong_om = arrays(3, 2)
    assert value_error(2, 3, wrong_c, wrong_b, -1, wrong_om * 5) == COST
    assert value_error(2, 3, c, wrong_b, -1, wrong_om) == RESOURCE
    assert value_error(2, 3, c, b, -1, wrong_om) == DISCOUNT
    assert value_error(2, 3, c, b, -1, om - 0.5) == RANGE
    assert value_error(2, 3, c, b, -5, om) == BUDGET
    assert value_error(2, 3, c, b, 0, om) == BUDGET
    # Rows and columns are checked separately, with the same message.
    assert value_error(2, 3, np.ones((2, 4), dtype=np.int64), b, 1, om) == COST
    assert value_error(2, 3, c, np.ones((1, 3), dtype=np.int64), 1, om) == RESOURCE


def test_discount_range_is_closed_and_nan_passes():
    c, b, _ = arrays(1, 4)
    assert corvane.Task(1, 4, c, b, 1, np.array([[0.0, -0.0, 1.0, np.nan]])).validate() is True
    for bad in [1.0000001, -0.5, np.inf, -np.inf, -1e-300]:
        omega = np.array([[0.0, 0.5, bad, np.nan]])
        assert value_error(1, 4, c, b, 1, omega) == RANGE
        assert value_error(1, 4, c, b, 1, np.asfortranarray(omega)) == RANGE
        assert value_error(1, 4, c, b, 1, omega[:, ::-1]) == RANGE


def test_empty_and_extreme_tasks():
    for m, n in [(0, 0), (0, 3), (4, 0)]:
        c, b, om = arrays(m, n)
        assert corvane.Task(m, n, c, b, 1, om).validate() is True
        assert value_error(m, n, c, b, 0, om) == BUDGET
    c = np.array([[-(2**63), 2**63 - 1]], dtype=np.int64)
    task = corvane.Task(1, 2, c, c, 2**63 - 1, np.zeros((1, 2)))
    assert task.validate() is True
    # m and n must match the arrays exactly, whatever their size.
    c, b, om = arrays(2, 2)
    assert value_error(2**64 - 1, 2, c, b, 1, om) == COST


def test_validate_returns_the_true_object(small_task):
    assert small_task.validate() is True
    assert small_task.validate() is True


def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


def test_reference_counts_unchanged_on_every_path():
    c, b, om = arrays(2, 2)
    before = refcounts(c, b, om)
    kept = [corvane.Task(2, 2, c, b, 3, om) for _ in range(3)]
    assert refcounts(c, b, om) == before

    failures = [
        lambda: corvane.Task(2, 2, c, b, 3, [[0.0]]),            # omega refused
        lambda: corvane.Task(2, 2, c, b, 2**63, om),             # b_total overflows
        lambda: corvane.Task(2, 2, c, b, "x", om),               # b_total type
        lambda: corvane.Task(2, 2, c, c.astype(np.int32), 3, om),  # b_ij refused
        lambda: corvane.Task(3, 2, c, b, 3, om),                 # validation
        lambda: corvane.Task(2, 2, c, b, -3, om),                # validation, last check
        lambda: corvane.Task(2, 2, c, b, 3, om, 1),              # binding
    ]
    for fail in failures:
        for _ in range(3):
            with pytest.raises((TypeError, ValueError, OverflowError)):
                fail()
    gc.collect()
    assert refcounts(c, b, om) == before
    del kept


def test_solve_leaves_reference_counts_alone(small_task):
    solver = corvane.ProbabilisticAssignmentSolver(3)
    before = refcounts(small_task, solver)
    for _ in range(5):
        solver.solve(small_task)
        with pytest.raises(TypeError):
            solver.solve([])
    assert refcounts(small_task, solver) == before


def test_failing_constructions_keep_memory_flat():
    resource = pytest.importorskip("resource")
    c, b, om = arrays(200, 200)
    bad_om = om.copy()
    bad_om[-1, -1] = 2.0

    def churn(rounds):
        for _ in range(rounds):
            with pytest.raises(ValueError):
                corvane.Task(200, 200, c, b, 1, bad_om)
            with pytest.raises(TypeError):
                corvane.Task(200, 200, c, b, 1, om.astype(np.float32))
            corvane.Task(200, 200, c, b, 1, om)

    churn(200)
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    churn(2000)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
    # Each round copies ~1 MB; a leak would grow by gigabytes.
    assert grown_kib < 50_000
