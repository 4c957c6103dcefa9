"""The references of the tuning study (examples/knapsack_classes.py): the task
classes, the exact optimum after variable fixing, the linear-relaxation bound and
greedy. Every published gap is measured against these, so they are checked
against brute force and against scipy's LP solver here, and so is the dynamic
programme of examples/exact_optimum.py."""

import itertools
import sys

import numpy as np
import pytest
from scipy.optimize import linprog

from support import require

sys.path.insert(0, str(require("examples")))
import exact_optimum  # noqa: E402
import knapsack_classes as kc  # noqa: E402

SUBSETS = np.array(list(itertools.product([0, 1], repeat=12)))  # every assignment of a 3 x 4 grid


def brute_force(instance):
    fits = SUBSETS @ instance.weights() <= instance.b_total
    return float((SUBSETS[fits] @ instance.profits()).max())


def test_classes_follow_their_definitions():
    rng = np.random.default_rng(1)
    R = kc.R
    for family in kc.CLASSES:
        inst = kc.make_instance(family, 30, 40, 0.1, 0.0, rng)
        c, b = inst.c, inst.b_ij
        assert c.shape == b.shape == (30, 40) and c.dtype == b.dtype == np.int64
        assert c.min() >= 1 and inst.b_total == int(b.sum() * 0.1) and not inst.omega.any()
        if family == "similar weights":
            assert b.min() >= 100 * R and b.max() <= 100 * R + 100 and b.max() - b.min() > 90 and c.max() <= R
            continue
        assert b.min() >= 1 and b.max() <= R
        difference = c - b
        if family == "uncorrelated":
            assert c.max() <= R and abs(np.corrcoef(c.ravel(), b.ravel())[0, 1]) < 0.1
        elif family == "weakly correlated":
            assert (np.abs(difference[c > 1]) <= R // 10).all()
        elif family in ("strongly correlated", "inverse strongly correlated"):
            assert (difference == (R // 10 if family.startswith("strongly") else -(R // 10))).all()
        elif family == "almost strongly correlated":
            assert (np.abs(difference - R // 10) <= R // 500).all()
        elif family == "profit ceiling":
            assert (c % 3 == 0).all() and (difference >= 0).all() and (difference < 3).all()
        else:
            assert (difference == 0).all()
    discounted = kc.make_instance("subset sum", 20, 20, 0.5, 0.3, rng)
    assert 0.0 <= discounted.omega.min() and discounted.omega.max() < 0.3 and discounted.omega.std() > 0.05
    with pytest.raises(ValueError):
        kc.make_instance("correlated", 2, 2, 0.1, 0.0, rng)


@pytest.mark.parametrize("first", ["milp", "dynamic programme"])
def test_exact_matches_brute_force_with_and_without_fixing(first):
    rng = np.random.default_rng(5)
    free_cells = []
    for family, share, discount in itertools.product(kc.CLASSES, (0.1, 0.3, 0.5), (0.0, 0.5)):
        instance = kc.make_instance(family, 3, 4, share, discount, rng)
        optimum = brute_force(instance)
        reference = kc.exact(instance, time_limit=10.0, first=first)
        assert reference.proven
        assert reference.value == pytest.approx(optimum, rel=1e-9) and reference.bound == reference.value
        assert reference.method in ("fixing", first)
        assert kc.greedy(instance, stop_at_first_misfit=True) <= kc.greedy(instance) <= optimum + 1e-9
        assert kc.best_single_cell(instance) <= kc.greedy_or_single(instance) <= optimum + 1e-9
        free_cells.append(reference.free_cells)
    # Both paths were taken: tasks settled by fixing alone, and tasks the exact method had to finish.
    assert min(free_cells) == 0 and max(free_cells) == 12 and any(0 < f < 12 for f in free_cells)


@pytest.mark.parametrize("table_bits", [0, kc.DP_TABLE_BITS], ids=["no room for the programme", "programme"])
def test_exact_out_of_time(table_bits, monkeypatch):
    # The MILP stops at once: the dynamic programme proves the optimum, or, with no room for its
    # table, the MILP's best value and bound bracket it.
    monkeypatch.setattr(kc, "DP_TABLE_BITS", table_bits)
    rng = np.random.default_rng(7)
    methods = []
    for family in kc.CLASSES:
        instance = kc.make_instance(family, 3, 4, 0.3, 0.5, rng)
        reference = kc.exact(instance, time_limit=0.0)
        optimum = brute_force(instance)
        assert reference.value <= optimum * (1 + 1e-12) and optimum <= reference.bound * (1 + 1e-12)
        if reference.method == "dynamic programme":
            assert reference.value == pytest.approx(optimum, rel=1e-12)
        methods.append(reference.method)
    proven_by, not_proven = "dynamic programme" in methods, "" in methods
    assert (not_proven and not proven_by) if table_bits == 0 else (proven_by and not not_proven)


@pytest.mark.parametrize("seed", range(20))
def test_dynamic_programme_matches_brute_force(seed):
    # Small integer weights, zeros included, and profits of any sign; every budget from 0 up.
    rng = np.random.default_rng(seed)
    weights = rng.integers(0, 6, size=12)
    profits = rng.uniform(-2.0, 10.0, size=12).round(1)
    for budget in range(int(weights.sum()) + 2):
        taken = exact_optimum.dynamic_programme(profits, weights, budget)
        fits = SUBSETS @ weights <= budget
        assert int(weights[taken].sum()) <= budget
        assert profits[taken].sum() == pytest.approx((SUBSETS[fits] @ profits).max(), abs=1e-9)


def test_greedy_blind_spot_and_its_fix():
    # The cheap cell has the better ratio and blocks the one that fills the budget.
    instance = kc.Instance("blind spot", 0.0, 1.0, np.array([[2, 1000]]), np.array([[1, 1000]]), 1000, np.zeros((1, 2)))
    assert kc.greedy(instance) == kc.greedy(instance, stop_at_first_misfit=True) == 2.0
    # The two cells do not fit together, so the optimum is the larger alone.
    assert kc.best_single_cell(instance) == kc.greedy_or_single(instance) == 1000.0


def test_relaxation_bound_agrees_with_linprog():
    rng = np.random.default_rng(3)
    profits = rng.uniform(1.0, 100.0, size=25)
    weights = rng.integers(1, 50, size=25)
    relaxation = kc.LinearRelaxation(profits, weights)
    rooms = [0, 1, 17, int(weights.sum()) // 2, int(weights.sum()) - 1]
    for room, bound in zip(rooms, relaxation.bound(rooms)):
        lp = linprog(-profits, A_ub=weights.reshape(1, -1), b_ub=[room], bounds=(0, 1))
        assert bound == pytest.approx(-lp.fun, rel=1e-9, abs=1e-9)
    assert relaxation.bound(int(weights.sum()) + 5) == pytest.approx(profits.sum())
    assert relaxation.bound(-1) == -np.inf
    taken = relaxation.fully_taken(int(weights.sum()) // 2)
    assert weights[taken].sum() <= weights.sum() // 2 < weights[taken].sum() + weights[~taken].max()


def test_greedy_skips_what_no_longer_fits_and_goes_on():
    # Per unit of resource 10, 4, 3, 1: after the first cell the second no longer fits; the others do.
    c = np.array([[100, 60], [15, 3]], dtype=np.int64)
    b = np.array([[10, 15], [5, 3]], dtype=np.int64)
    instance = kc.Instance("uncorrelated", 0.0, 0.5, c, b, 20, np.zeros((2, 2)))
    assert kc.greedy(instance) == pytest.approx(100 + 15 + 3)
    # Discounted, the first cell is worth 5 (0.5 per unit) and comes last, when it no longer fits.
    discounted = kc.Instance("uncorrelated", 0.95, 0.5, c, b, 20, np.array([[0.95, 0.0], [0.0, 0.0]]))
    assert kc.greedy(discounted) == pytest.approx(60 + 15)
