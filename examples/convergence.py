"""Plot how the best value grows with the effort given to each solver.

One random task is solved again and again: by the ant colony solver with a
growing number of iterations (kmax, 20 ants each) and by the probabilistic
solver with a growing number of constructions (kmax). Every point is the mean
of several independent solves, with their range shaded, under the bound of the
linear relaxation (no assignment can exceed it). The figure goes to a PNG:

    python3 examples/convergence.py [--rows 30] [--cols 30] [--repeats 5] [--output convergence.png]

Needs matplotlib: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes

import corvane

Solver = corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver


def relaxation_bound(c: npt.NDArray[np.int64], b_ij: npt.NDArray[np.int64], b_total: int,
                     omega: npt.NDArray[np.float64]) -> float:
    """The optimum of the linear relaxation (0 <= x <= 1) for positive costs and
    resources: take cells by value per unit of resource, the last one in part."""
    values = (c * (1.0 - omega)).ravel()
    weights = b_ij.ravel().astype(np.float64)
    order = np.argsort(-values / weights, kind="stable")
    bound, room = 0.0, float(b_total)
    for k in order.tolist():
        take = min(1.0, room / weights[k])
        bound += take * values[k]
        room -= take * weights[k]
        if room <= 0.0:
            break
    return bound


def sweep(task: corvane.Task, make_solver: Callable[[int], Solver], kmax_values: Sequence[int],
          repeats: int) -> npt.NDArray[np.float64]:
    """Best values, one row per kmax and one column per independent solve."""
    return np.array([[make_solver(kmax).solve(task)[1] for _ in range(repeats)] for kmax in kmax_values])


def draw(axes: Axes, kmax_values: Sequence[int], values: npt.NDArray[np.float64], bound: float,
         title: str, xlabel: str, color: str) -> None:
    axes.plot(kmax_values, values.mean(axis=1), marker="o", color=color, label="mean best value")
    axes.fill_between(kmax_values, values.min(axis=1), values.max(axis=1), color=color, alpha=0.2,
                      label="range over repeats")
    axes.axhline(bound, color="black", linestyle="--", linewidth=1, label="relaxation bound")
    axes.set_xscale("log")
    axes.set_title(title)
    axes.set_xlabel(xlabel)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(loc="lower right")


def powers_up_to(limit: int) -> list[int]:
    """1, 2, 5, 10, 20, 50, ... up to and including `limit`."""
    values = [step * 10**power for power in range(12) for step in (1, 2, 5)]
    return [v for v in values if v < limit] + [limit]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=30)
    parser.add_argument("--cols", type=int, default=30)
    parser.add_argument("--repeats", type=int, default=5, help="independent solves per point")
    parser.add_argument("--ants", type=int, default=20, help="ants per ant colony iteration")
    parser.add_argument("--max-iterations", type=int, default=200, help="largest ant colony kmax")
    parser.add_argument("--max-constructions", type=int, default=5000, help="largest probabilistic kmax")
    parser.add_argument("--output", default="convergence.png")
    args = parser.parse_args(argv)

    rng = np.random.default_rng()
    m, n = args.rows, args.cols
    c = rng.integers(1, 100, size=(m, n), dtype=np.int64)
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)
    omega = rng.uniform(0.0, 0.5, size=(m, n))
    b_total = max(1, int(b_ij.sum()) // 4)
    task = corvane.Task(m, n, c, b_ij, b_total, omega)
    bound = relaxation_bound(c, b_ij, b_total, omega)

    iterations = powers_up_to(args.max_iterations)
    constructions = powers_up_to(args.max_constructions)
    ant_values = sweep(task, lambda k: corvane.AntColonyAssignmentSolver(num_ants=args.ants, kmax=k),
                       iterations, args.repeats)
    probabilistic_values = sweep(task, lambda k: corvane.ProbabilisticAssignmentSolver(kmax=k),
                                 constructions, args.repeats)

    print(f"task {m} x {n}, budget {b_total}, relaxation bound {bound:.2f}")
    for label, kmax_values, values in [("ant colony", iterations, ant_values),
                                       ("probabilistic", constructions, probabilistic_values)]:
        for kmax, mean in zip(kmax_values, values.mean(axis=1).tolist()):
            print(f"{label:14s} kmax {kmax:6d}  mean best {mean:12.2f}  ({mean / bound:7.2%} of the bound)")

    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True, layout="constrained")
    draw(left, iterations, ant_values, bound, f"Ant colony, {args.ants} ants per iteration",
         "iterations (kmax)", "tab:blue")
    draw(right, constructions, probabilistic_values, bound, "Probabilistic", "constructions (kmax)", "tab:orange")
    left.set_ylabel("best value")
    figure.suptitle(f"Best value on one random {m} x {n} task, {args.repeats} solves per point")
    figure.savefig(args.output, dpi=100)
    plt.close(figure)
    print(f"figure saved to {args.output}")


if __name__ == "__main__":
    main()
