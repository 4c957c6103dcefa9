"""The law of the picks on tasks large enough for a worker thread to keep
several constructions in flight at once, which then draw from the thread's
generator in turn (or, seeded, from streams of their own): cells are picked in
proportion to their weights, and the candidates of a batch stay independent.

The tasks are 64 x 64 grids of which only five cells, far apart, can be
picked (every other cell costs nothing), with the budget of
test_statistics.py that admits exactly one of them."""

import numpy as np
import pytest

import corvane
from test_statistics import BUDGET, RESOURCES, chi_square_p_value, mode  # noqa: F401 (a fixture)

SIZE = 64
LIVE = [(0, 0), (13, 40), (31, 5), (50, 61), (63, 63)]


def spread_task(costs):
    c = np.zeros((SIZE, SIZE), dtype=np.int64)
    b_ij = np.ones((SIZE, SIZE), dtype=np.int64)
    for (i, j), cost, resource in zip(LIVE, costs, RESOURCES.ravel()):
        c[i, j] = cost
        b_ij[i, j] = resource
    return corvane.Task(SIZE, SIZE, c, b_ij, BUDGET, np.zeros((SIZE, SIZE)))


def picked_cells(solver, task, calls):
    counts = np.zeros(len(LIVE))
    for _ in range(calls):
        x, _ = solver.solve(task)
        assert x.sum() == 1
        counts += [x[i, j] for i, j in LIVE]
    return counts


def test_pipelined_picks_follow_the_weights(mode):  # noqa: F811
    # Equal values: ties keep the first candidate, so the result is the pick
    # of candidate 0, built beside others on its thread.
    task = spread_task([12] * len(LIVE))
    eta = 12.0 / RESOURCES.ravel()
    calls = 6000
    counts = picked_cells(corvane.ProbabilisticAssignmentSolver(8), task, calls)
    assert chi_square_p_value(counts, calls * eta / eta.sum()) > 1e-6


@pytest.mark.parametrize("k", [3, 8])
def test_pipelined_candidates_draw_independently(mode, k):  # noqa: F811
    # Values rise with the cell: the best of k independent candidates
    # follows F^k, F the cumulative pick law.
    costs = np.array([10, 20, 30, 40, 50])
    task = spread_task(costs)
    eta = costs / RESOURCES.ravel()
    cumulative = np.cumsum(eta) / eta.sum()
    calls = 4000
    counts = picked_cells(corvane.ProbabilisticAssignmentSolver(k), task, calls)
    assert chi_square_p_value(counts, calls * np.diff(np.concatenate([[0.0], cumulative**k]))) > 1e-6
