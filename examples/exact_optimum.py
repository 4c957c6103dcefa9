"""Compare both solvers with the exact optimum of small random tasks.

Every cell is one 0/1 item with value c * (1 - omega) and weight b_ij under a
single budget, so a task is a 0/1 knapsack. Two exact methods solve it here:

- scipy.optimize.milp (HiGHS), a branch and bound that needs no integer data but
  can take long on hard classes (it then stops at a time limit without proof);
- a dynamic programme over the budget: the resources are integers, so the best
  value for every budget 0 .. b_total is built one cell at a time. It always
  proves the optimum, in time and memory about cells x b_total (one bit per
  cell and budget to recover the assignment), which is the right tool when
  b_total is at most a few million and the MILP is slow.

For each task the script prints the optimum (both methods must agree), the
seconds each method took, each solver's value and its gap below the optimum:

    python3 examples/exact_optimum.py [--rows 10] [--cols 10] [--tasks 5] [--budget-share 0.25]

Needs SciPy: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy.optimize import Bounds, LinearConstraint, milp

import corvane

IntMatrix = npt.NDArray[np.int64]
FloatMatrix = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]


@dataclass(frozen=True)
class TaskData:
    c: IntMatrix
    b_ij: IntMatrix
    b_total: int
    omega: FloatMatrix

    def task(self) -> corvane.Task:
        m, n = self.c.shape
        return corvane.Task(m, n, self.c, self.b_ij, self.b_total, self.omega)

    def value(self, x: IntMatrix) -> float:
        """The objective of `x`, summed cell by cell in row-major order as the solvers do."""
        total = 0.0
        for cost, discount in zip(self.c[x == 1].tolist(), self.omega[x == 1].tolist()):
            total += cost * (1.0 - discount)
        return total

    def fits(self, x: IntMatrix) -> bool:
        return int(self.b_ij[x == 1].sum()) <= self.b_total


def random_task(rng: np.random.Generator, m: int, n: int, budget_share: float) -> TaskData:
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)
    return TaskData(
        c=rng.integers(1, 100, size=(m, n), dtype=np.int64),
        b_ij=b_ij,
        b_total=max(1, int(b_ij.sum() * budget_share)),
        omega=rng.uniform(0.0, 0.5, size=(m, n)),
    )


def milp_optimum(data: TaskData) -> IntMatrix:
    """The optimal assignment, from a MILP solved with a relative gap of zero."""
    values = (data.c * (1.0 - data.omega)).ravel()
    result = milp(
        -values,  # milp minimises
        integrality=np.ones(values.size, dtype=np.int64),
        bounds=Bounds(0.0, 1.0),
        constraints=LinearConstraint(data.b_ij.reshape(1, -1).astype(np.float64), -np.inf, float(data.b_total)),
        options={"mip_rel_gap": 0.0},
    )
    if not result.success or result.x is None:
        raise RuntimeError(f"milp failed: {result.message}")
    x: IntMatrix = np.rint(result.x).astype(np.int64).reshape(data.c.shape)
    return x


def dynamic_programme(profits: FloatArray, weights: IntArray, budget: int) -> BoolArray:
    """Which items an optimal 0/1 knapsack of capacity `budget` takes.

    best[w] is the largest total profit of the items seen so far whose weights add
    up to at most w; adding an item can only raise it. A bit per item and budget
    records where the item raised it, and walking those bits back from the full
    budget gives the items. Items of zero weight and positive profit are always
    taken, those of no profit never; negative weights are refused, since taking
    such an item would enlarge the budget.
    """
    if (weights < 0).any():
        raise ValueError("the dynamic programme needs resources >= 0")
    taken = np.zeros(profits.size, dtype=bool)
    free = (weights == 0) & (profits > 0)
    taken[free] = True
    items = np.flatnonzero((weights > 0) & (profits > 0) & (weights <= budget))
    if budget <= 0 or items.size == 0:
        return taken
    best = np.zeros(budget + 1)
    # Bit j of row r (packed): whether item r, of weight w, raised best[w + j].
    raised = np.zeros((items.size, (budget + 1 + 7) // 8), dtype=np.uint8)
    for row, k in enumerate(items.tolist()):
        w, p = int(weights[k]), float(profits[k])
        with_item = best[: budget + 1 - w] + p
        better = with_item > best[w:]
        np.copyto(best[w:], with_item, where=better)
        packed = np.packbits(better)
        raised[row, : packed.size] = packed
    room = budget
    for row in range(items.size - 1, -1, -1):
        w = int(weights[items[row]])
        if room >= w and raised[row, (room - w) // 8] >> (7 - (room - w) % 8) & 1:
            taken[items[row]] = True
            room -= w
    return taken


def dp_optimum(data: TaskData) -> IntMatrix:
    """The optimal assignment, from the dynamic programme over the budget."""
    taken = dynamic_programme((data.c * (1.0 - data.omega)).ravel(), data.b_ij.ravel(), data.b_total)
    x: IntMatrix = taken.astype(np.int64).reshape(data.c.shape)
    return x


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=10)
    parser.add_argument("--cols", type=int, default=10)
    parser.add_argument("--tasks", type=int, default=5, help="number of random tasks")
    parser.add_argument("--budget-share", type=float, default=0.25, help="b_total as a share of all resources")
    args = parser.parse_args(argv)

    rng = np.random.default_rng()
    solvers: dict[str, corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver] = {
        "ant colony": corvane.AntColonyAssignmentSolver(),
        "probabilistic": corvane.ProbabilisticAssignmentSolver(kmax=1000),
    }
    print(f"{args.tasks} random {args.rows} x {args.cols} tasks, budget {args.budget_share:.0%} of all resources")
    print(f"{'task':>4} {'optimum':>10} {'milp s':>7} {'dp s':>7}"
          + "".join(f" {name:>14} {'gap':>7}" for name in solvers))
    gaps: dict[str, list[float]] = {name: [] for name in solvers}
    for index in range(args.tasks):
        data = random_task(rng, args.rows, args.cols, args.budget_share)
        task = data.task()
        optima, seconds = [], []
        for method in (milp_optimum, dp_optimum):
            start = time.perf_counter()
            x = method(data)
            seconds.append(time.perf_counter() - start)
            if not data.fits(x):
                raise SystemExit(f"{method.__name__}: the assignment breaks the budget")
            optima.append(data.value(x))
        optimum = max(optima)
        if min(optima) < optimum * (1 - 1e-9):
            raise SystemExit(f"the exact methods disagree: milp {optima[0]}, dynamic programme {optima[1]}")
        row = f"{index:>4} {optimum:>10.2f} {seconds[0]:>7.3f} {seconds[1]:>7.3f}"
        for name, solver in solvers.items():
            x, value = solver.solve(task)
            if not data.fits(x) or value != data.value(x):
                raise SystemExit(f"{name}: the returned assignment does not match its value or breaks the budget")
            gap = (optimum - value) / optimum if optimum > 0 else 0.0
            gaps[name].append(gap)
            row += f" {value:>14.2f} {gap:>7.2%}"
        print(row)
    for name, values in gaps.items():
        print(f"mean gap {name}: {np.mean(values):.2%} (worst {max(values):.2%})")


if __name__ == "__main__":
    main()
