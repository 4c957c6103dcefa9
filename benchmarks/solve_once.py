"""One solve configuration, timed by pyperf in fresh worker processes.

    python3 solve_once.py SOLVER SIZE [--kmax K] [--per-iteration] [--seed S]
                          [--expect-module DIR] [pyperf options, e.g. -o FILE]

benchmarks/run.py runs this script; it can also be run by hand (pyperf's own
options such as --processes, --values, --loops, -o and --append apply).

SOLVER is ``ant`` (AntColonyAssignmentSolver with its defaults, or with
``kmax=K`` when --kmax is given) or ``prob`` (ProbabilisticAssignmentSolver,
kmax from --kmax, default 100). With --per-iteration the values are seconds
per ant colony iteration (pyperf's inner loops = kmax) instead of per solve.

The task is a SIZE x SIZE grid: costs uniform integers 1-99, resources 1-19,
discounts uniform in [0, 0.5), budget a tenth of the total resource. It comes
from a fixed NumPy seed so every run measures the same instance; the solvers
themselves are unseeded.

Each worker creates the thread pool on a tiny warm-up solve (so pool start-up
is not timed), builds the task, and then times solves. Every result is checked
outside the timed region to respect the budget and to carry its own value, so
a broken solver cannot look fast. When CORVANE_BENCH_SIDECAR names a file, each
timed batch appends one JSON line to it: solve seconds, cells picked, the
worker's CPU seconds while solving and its RSS before the first solve, which
pyperf's own results do not record. When CORVANE_BENCH_LOG names a logging
level (INFO, DEBUG), the "corvane" logger is set to it with a handler that
formats every record and writes it to os.devnull, to measure the cost of the
progress records.
"""

from __future__ import annotations

import json
import logging
import os
import resource
import sys
import time

import numpy as np
import pyperf


def make_task(size: int, seed: int):
    import corvane

    rng = np.random.default_rng(seed)
    c = rng.integers(1, 100, size=(size, size), dtype=np.int64)
    b_ij = rng.integers(1, 20, size=(size, size), dtype=np.int64)
    omega = rng.uniform(0.0, 0.5, size=(size, size))
    b_total = int(b_ij.sum()) // 10
    return (c, b_ij, omega, b_total), corvane.Task(size, size, c, b_ij, b_total, omega)


def check(x, value, c, b_ij, omega, b_total) -> int:
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


def benchmark_name(solver: str, size: int, kmax: int | None, per_iteration: bool) -> str:
    """The name pyperf files the values under; baseline and candidate files
    are matched by it."""
    if solver == "ant":
        if per_iteration:
            return f"ant {size}x{size} per iteration (kmax={kmax})"
        return f"ant {size}x{size}" + ("" if kmax is None else f" kmax={kmax}")
    return f"prob {size}x{size} kmax={100 if kmax is None else kmax}"


def add_cmdline_args(cmd: list[str], args) -> None:
    cmd.extend([args.solver, str(args.size), "--seed", str(args.seed)])
    if args.kmax is not None:
        cmd.extend(["--kmax", str(args.kmax)])
    if args.per_iteration:
        cmd.append("--per-iteration")
    if args.expect_module:
        cmd.extend(["--expect-module", args.expect_module])


def main() -> None:
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    parser = runner.argparser
    parser.add_argument("solver", choices=("ant", "prob"))
    parser.add_argument("size", type=int)
    parser.add_argument("--kmax", type=int)
    parser.add_argument("--per-iteration", action="store_true",
                        help="report seconds per ant colony iteration (needs --kmax)")
    parser.add_argument("--seed", type=int, default=20240)
    parser.add_argument("--expect-module", metavar="DIR",
                        help="fail unless corvane is imported from this directory")
    args = runner.parse_args()
    if args.per_iteration and (args.solver != "ant" or args.kmax is None):
        parser.error("--per-iteration needs the ant solver and --kmax")
    name = benchmark_name(args.solver, args.size, args.kmax, args.per_iteration)
    if not args.worker:
        # The master only spawns workers; it must not start a pool itself.
        runner.bench_time_func(name, None)
        return

    import corvane

    if args.expect_module and not os.path.realpath(corvane.__file__).startswith(os.path.realpath(args.expect_module)):
        raise SystemExit(f"imported {corvane.__file__}, not the module in {args.expect_module}")
    if args.solver == "ant":
        solver = corvane.AntColonyAssignmentSolver() if args.kmax is None else \
            corvane.AntColonyAssignmentSolver(kmax=args.kmax)
    else:
        solver = corvane.ProbabilisticAssignmentSolver(kmax=100 if args.kmax is None else args.kmax)

    level = os.environ.get("CORVANE_BENCH_LOG")
    if level:
        logger = logging.getLogger("corvane")
        logger.addHandler(logging.StreamHandler(open(os.devnull, "w")))
        logger.setLevel(level)

    # The first solve creates the worker pool (reading RAYON_NUM_THREADS).
    (_, warm_task) = make_task(4, 1)
    corvane.ProbabilisticAssignmentSolver(kmax=2).solve(warm_task)
    (c, b_ij, omega, b_total), task = make_task(args.size, args.seed)
    rss_before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    sidecar = os.environ.get("CORVANE_BENCH_SIDECAR")

    def time_solves(loops: int) -> float:
        seconds, picked, cpu = [], [], 0.0
        for _ in range(loops):
            cpu0, start = time.process_time(), time.perf_counter()
            x, value = solver.solve(task)
            seconds.append(time.perf_counter() - start)
            cpu += time.process_time() - cpu0
            check(x, value, c, b_ij, omega, b_total)
            picked.append(int(x.sum()))
            del x
        if sidecar:
            with open(sidecar, "a") as out:
                out.write(json.dumps({"module": corvane.__file__, "seconds": seconds, "picked": picked,
                                      "cpu_seconds": cpu, "rss_before_solve_kib": rss_before_kib}) + "\n")
        return sum(seconds)

    runner.bench_time_func(name, time_solves, inner_loops=args.kmax if args.per_iteration else None)


if __name__ == "__main__":
    main()
    sys.exit(0)
