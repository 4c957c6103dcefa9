"""The solvers pick cells in proportion to their weights (chi-square tests),
and the candidates of a batch draw independently, with and without a seed.

With a budget that admits exactly one cell (any two cells together exceed
it), every candidate holds a single cell. When all cells have the same value,
ties keep the first candidate, so the returned cell is the first candidate's
pick: built on the calling thread for a batch of one, on a worker otherwise.
When the values differ, the returned cell is the best of the batch's picks.
"""

import math

import numpy as np
import pytest

import corvane

pytestmark = pytest.mark.slow

# Resources 6..10 with a budget of 10: each alone fits, no two fit together.
RESOURCES = np.array([[6, 7, 8, 9, 10]], dtype=np.int64)
BUDGET = 10


def chi_square_p_value(observed, expected):
    """Upper tail of the chi-square statistic (Wilson-Hilferty)."""
    stat = float(((observed - expected) ** 2 / expected).sum())
    k = len(observed) - 1
    z = ((stat / k) ** (1 / 3) - (1 - 2 / (9 * k))) / math.sqrt(2 / (9 * k))
    return 0.5 * math.erfc(z / math.sqrt(2))


def draw_cells(solver, task, calls):
    counts = np.zeros(RESOURCES.size)
    for _ in range(calls):
        x, _ = solver.solve(task)
        assert x.sum() == 1
        counts += x.ravel()
    return counts


def equal_value_task(omega=None):
    # c * (1 - omega) equal for every cell; eta = that value / b_ij.
    c = np.full((1, 5), 12, dtype=np.int64)
    if omega is None:
        omega = np.zeros((1, 5))
    return corvane.Task(1, 5, c, RESOURCES, BUDGET, omega), 12.0 * (1 - omega.ravel())


@pytest.fixture(params=["entropy", "seeded"])
def mode(request, monkeypatch):
    """Both ways of drawing: OS-entropy generators, and seeded streams (every
    call of the test then has a call number, and streams, of its own)."""
    if request.param == "seeded":
        monkeypatch.setenv("CORVANE_SEED", "31337")
    else:
        monkeypatch.delenv("CORVANE_SEED", raising=False)
    return request.param


@pytest.mark.parametrize("kmax", [1, 6], ids=["calling-thread", "workers"])
def test_probabilistic_picks_follow_eta(kmax, mode):
    task, values = equal_value_task()
    eta = values / RESOURCES.ravel()
    calls = 12000
    counts = draw_cells(corvane.ProbabilisticAssignmentSolver(kmax), task, calls)
    assert chi_square_p_value(counts, calls * eta / eta.sum()) > 1e-6


@pytest.mark.parametrize("num_ants", [1, 4], ids=["calling-thread", "workers"])
def test_ant_picks_follow_tau_and_eta(num_ants, mode):
    task, values = equal_value_task()
    eta = values / RESOURCES.ravel()
    alpha, beta, tau0 = 1.3, 1.5, 0.7
    weights = tau0**alpha * eta**beta
    calls = 12000
    solver = corvane.AntColonyAssignmentSolver(num_ants=num_ants, kmax=1, alpha=alpha, beta=beta,
                                               initial_pheromone=tau0)
    counts = draw_cells(solver, task, calls)
    assert chi_square_p_value(counts, calls * weights / weights.sum()) > 1e-6


def test_candidates_of_a_batch_draw_independently(mode):
    # Values rise with the cell, so a batch returns the highest cell that any
    # of its k candidates picked: P(best <= i) = F(i)^k for independent
    # candidates, F the cumulative pick law. Candidates sharing or repeating
    # draws would make the best follow F itself.
    c = np.array([[10, 20, 30, 40, 50]], dtype=np.int64)
    task = corvane.Task(1, 5, c, RESOURCES, BUDGET, np.zeros((1, 5)))
    eta = c.ravel() / RESOURCES.ravel()
    cumulative = np.cumsum(eta) / eta.sum()
    calls, k = 8000, 3
    counts = draw_cells(corvane.ProbabilisticAssignmentSolver(k), task, calls)
    best_law = np.diff(np.concatenate([[0.0], cumulative**k]))
    assert chi_square_p_value(counts, calls * best_law) > 1e-6
    assert chi_square_p_value(counts, calls * np.diff(np.concatenate([[0.0], cumulative]))) < 1e-6


def test_a_wrong_distribution_is_detected():
    # The test itself must be able to fail: uniform picks are far from eta.
    task, values = equal_value_task()
    counts = draw_cells(corvane.ProbabilisticAssignmentSolver(1), task, 6000)
    assert chi_square_p_value(counts, np.full(5, 6000 / 5)) < 1e-6
