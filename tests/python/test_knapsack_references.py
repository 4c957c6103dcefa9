"""The references of the tuning study (examples/knapsack_classes.py): the task
classes, the exact optimum after variable fixing, the linear-relaxation bound and
greedy. Every published gap is measured against these, so they are checked
against brute force and against scipy's LP solver here."""

import itertools
import sys

import numpy as np
import pytest
from scipy.optimize import linprog

from source_tree import require

sys.path.insert(0, str(require("examples")))
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
        assert b.min() >= 1 and b.max() <= R and c.min() >= 1
        assert inst.b_total == int(b.sum() * 0.1) and not inst.omega.any()
        difference = c - b
        if family == "uncorrelated":
            assert c.max() <= R and abs(np.corrcoef(c.ravel(), b.ravel())[0, 1]) < 0.1
        elif family == "weakly correlated":
            assert (np.abs(difference[c > 1]) <= R // 10).all()
        elif family in ("strongly correlated", "inverse strongly correlated"):
            assert (difference == (R // 10 if family.startswith("strongly") else -(R // 10))).all()
        elif family == "almost strongly correlated":
            assert (np.abs(difference - R // 10) <= R // 500).all()
        else:
            assert (difference == 0).all()
    discounted = kc.make_instance("subset sum", 20, 20, 0.5, 0.3, rng)
    assert 0.0 <= discounted.omega.min() and discounted.omega.max() < 0.3 and discounted.omega.std() > 0.05
    with pytest.raises(ValueError):
        kc.make_instance("correlated", 2, 2, 0.1, 0.0, rng)


def test_exact_matches_brute_force_with_and_without_fixing():
    rng = np.random.default_rng(5)
    free_cells = []
    for family, share, discount in itertools.product(kc.CLASSES, (0.1, 0.3, 0.5), (0.0, 0.5)):
        instance = kc.make_instance(family, 3, 4, share, discount, rng)
        optimum = brute_force(instance)
        reference = kc.exact(instance, time_limit=10.0)
        assert reference.proven
        assert reference.value == pytest.approx(optimum, rel=1e-9) and reference.bound == reference.value
        assert kc.greedy(instance) <= optimum + 1e-9
        free_cells.append(reference.free_cells)
    # Both paths were taken: tasks settled by fixing alone, and tasks the MILP had to finish.
    assert min(free_cells) == 0 and max(free_cells) == 12 and any(0 < f < 12 for f in free_cells)


def test_exact_out_of_time_brackets_the_optimum():
    rng = np.random.default_rng(7)
    unproven = 0
    for family in kc.CLASSES:
        instance = kc.make_instance(family, 3, 4, 0.3, 0.5, rng)
        reference = kc.exact(instance, time_limit=0.0)
        optimum = brute_force(instance)
        assert reference.value <= optimum * (1 + 1e-12) and optimum <= reference.bound * (1 + 1e-12)
        unproven += not reference.proven
    assert unproven > 0


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
