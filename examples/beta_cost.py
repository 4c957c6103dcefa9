"""What a higher beta costs in time: the ant colony solver with beta=8 against its
default beta=2, all other parameters at their defaults, on one task per size.

The two settings take turns (default first on even rounds, beta=8 first on odd
ones), so that a change in the machine's load during the run falls on both
alike. For each size the script prints the median seconds of each setting and
the median of the per-round ratios (beta=8 / default), with their range:

    python3 examples/beta_cost.py --sizes 100 200 300 --rounds 5

The tasks are from the classic knapsack classes (knapsack_classes.py), with
discounts uniform in [0, --max-discount) and a budget of --budget-share of the
total weight. Seconds are wall time of one solve with corvane's default thread
pool; on a machine shared with other work, read the ratios, not the seconds.

Needs SciPy and matplotlib (for knapsack_classes.py and tuning_report.py):
python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import os
import shlex
import statistics
import sys
import time
from datetime import datetime, timezone

import numpy as np

import corvane
from knapsack_classes import CLASSES, make_instance
from tuning_report import describe_machine


def timed_solve(solver: corvane.AntColonyAssignmentSolver, task: corvane.Task) -> float:
    start = time.perf_counter()
    solver.solve(task)
    return time.perf_counter() - start


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 200, 300],
                        help="rows = columns (default: 100 200 300)")
    parser.add_argument("--rounds", type=int, default=5, help="solves of each setting per size (default: 5)")
    parser.add_argument("--beta", type=float, default=8.0, help="the beta compared with the default (default: 8)")
    parser.add_argument("--family", choices=CLASSES, default="uncorrelated",
                        help="knapsack class of the tasks (default: uncorrelated)")
    parser.add_argument("--budget-share", type=float, default=0.1, help="share of the total weight (default: 0.1)")
    parser.add_argument("--max-discount", type=float, default=0.5, help="omega uniform in [0, this) (default: 0.5)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the task data (default: 0)")
    args = parser.parse_args(argv)

    command = shlex.join(["python3", "examples/beta_cost.py", *(sys.argv[1:] if argv is None else argv)])
    machine = describe_machine()
    print(f"{command}: started {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, {machine['CPU']},"
          f" {machine['Cores usable']} cores usable,"
          f" load average {', '.join(f'{x:.2f}' for x in os.getloadavg())}", flush=True)
    default, greedier = corvane.AntColonyAssignmentSolver(), corvane.AntColonyAssignmentSolver(beta=args.beta)
    for size in args.sizes:
        instance = make_instance(args.family, size, size, args.budget_share, args.max_discount,
                                 np.random.default_rng([args.seed, size]))
        task = instance.task()
        times: dict[str, list[float]] = {"default": [], "beta": []}
        for round_ in range(args.rounds):
            order = [("default", default), ("beta", greedier)]
            for name, solver in order if round_ % 2 == 0 else order[::-1]:
                times[name].append(timed_solve(solver, task))
        ratios = [b / d for b, d in zip(times["beta"], times["default"])]
        print(f"{size}x{size} {args.family}: default beta=2 median {statistics.median(times['default']):.3f} s,"
              f" beta={args.beta:g} median {statistics.median(times['beta']):.3f} s; ratio median"
              f" {statistics.median(ratios):.2f} (from {min(ratios):.2f} to {max(ratios):.2f}, {args.rounds} rounds)",
              flush=True)
    print(f"load average after {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
