"""One benchmark configuration, run in a fresh process by benchmarks/run.py.

    python3 solve_once.py SOLVER SIZE REPEATS [--kmax K] [--seed S]

SOLVER is ``ant`` (AntColonyAssignmentSolver with its defaults) or ``prob``
(ProbabilisticAssignmentSolver, kmax from --kmax, default 100). The task is a
SIZE x SIZE grid: costs uniform integers 1-99, resources 1-19, discounts
uniform in [0, 0.5), budget a tenth of the total resource. The task comes from
a fixed NumPy seed so every run measures the same instance; the solvers
themselves are unseeded.

Prints one JSON object: the wall time of each solve, the CPU time and peak RSS
of this process, and a summary of the result (checked to respect the budget
and to carry its own value, so a broken solver cannot look fast).
"""

import argparse
import json
import resource
import sys
import time

import numpy as np

import corvane


def make_task(size: int, seed: int):
    rng = np.random.default_rng(seed)
    c = rng.integers(1, 100, size=(size, size), dtype=np.int64)
    b_ij = rng.integers(1, 20, size=(size, size), dtype=np.int64)
    omega = rng.uniform(0.0, 0.5, size=(size, size))
    b_total = int(b_ij.sum()) // 10
    return (c, b_ij, omega, b_total), corvane.Task(size, size, c, b_ij, b_total, omega)


def check(x, value, c, b_ij, omega, b_total):
    """Raises if the result is not a feasible assignment carrying its own value."""
    if x.shape != c.shape or x.dtype != np.int64:
        raise AssertionError(f"result has shape {x.shape} and dtype {x.dtype}")
    if not np.isin(x, (0, 1)).all():
        raise AssertionError("result is not a 0/1 matrix")
    used = int(b_ij[x == 1].sum())
    if used > b_total:
        raise AssertionError(f"result uses {used} of a budget of {b_total}")
    expected = float((c * (1.0 - omega))[x == 1].sum())
    if abs(expected - value) > 1e-9 * max(1.0, abs(expected)):
        raise AssertionError(f"returned value {value} but the matrix is worth {expected}")
    if not value > 0.0:
        raise AssertionError(f"value {value} is not positive")
    return used


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("solver", choices=("ant", "prob"))
    parser.add_argument("size", type=int)
    parser.add_argument("repeats", type=int)
    parser.add_argument("--kmax", type=int, default=100)
    parser.add_argument("--seed", type=int, default=20240)
    args = parser.parse_args()

    if args.solver == "ant":
        solver = corvane.AntColonyAssignmentSolver()
        candidates = 20 * 100
    else:
        solver = corvane.ProbabilisticAssignmentSolver(kmax=args.kmax)
        candidates = args.kmax

    # The first solve creates the worker pool (reading RAYON_NUM_THREADS);
    # do that on a tiny task so pool start-up is not timed.
    (_, warm_task) = make_task(4, 1)
    corvane.ProbabilisticAssignmentSolver(kmax=2).solve(warm_task)

    (c, b_ij, omega, b_total), task = make_task(args.size, args.seed)
    rss_before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    seconds = []
    values = []
    picked = []
    used = []
    cpu_before = resource.getrusage(resource.RUSAGE_SELF)
    for _ in range(args.repeats):
        start = time.perf_counter()
        x, value = solver.solve(task)
        seconds.append(time.perf_counter() - start)
        used.append(check(x, value, c, b_ij, omega, b_total))
        values.append(value)
        picked.append(int(x.sum()))
        del x
    cpu_after = resource.getrusage(resource.RUSAGE_SELF)

    json.dump(
        {
            "solver": args.solver,
            "size": args.size,
            "candidates": candidates,
            "seconds": seconds,
            "cpu_seconds": (cpu_after.ru_utime - cpu_before.ru_utime) + (cpu_after.ru_stime - cpu_before.ru_stime),
            "values": values,
            "picked": picked,
            "budget_used": used,
            "b_total": b_total,
            "rss_before_solve_kib": rss_before_kib,
            "peak_rss_kib": cpu_after.ru_maxrss,
            "module": corvane.__file__,
        },
        sys.stdout,
    )
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
