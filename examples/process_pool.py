"""Fan many independent solves out over processes.

`solve` holds the interpreter lock for its whole run, so Python threads cannot
run two solves at once; separate processes can. A Task cannot be pickled, so
each worker receives only a seed and the sizes and builds its Task itself.
The same batch runs once with each multiprocessing start method:

    python3 examples/process_pool.py [--tasks 16] [--rows 40] [--cols 40] [--workers 2]

Every worker limits corvane to one native thread, so the processes do not
compete with each other's thread pools.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

import numpy as np

import corvane


@dataclass(frozen=True)
class Outcome:
    seed: int
    pid: int
    value: float
    cells: int
    within_budget: bool


def limit_native_threads() -> None:
    # Read once, when a process first solves. A child forked from a parent that
    # has already solved keeps the size of the parent's pool instead.
    os.environ["RAYON_NUM_THREADS"] = "1"


def solve_one(seed: int, m: int, n: int, kmax: int) -> Outcome:
    """Build the task for `seed` in this process and solve it."""
    rng = np.random.default_rng(seed)  # seeds the data only: the solver has no seed
    c = rng.integers(1, 100, size=(m, n), dtype=np.int64)
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)
    omega = rng.uniform(0.0, 0.5, size=(m, n))
    b_total = max(1, int(b_ij.sum()) // 10)
    task = corvane.Task(m, n, c, b_ij, b_total, omega)
    x, value = corvane.AntColonyAssignmentSolver(kmax=kmax).solve(task)
    return Outcome(seed, os.getpid(), value, int(x.sum()), int(b_ij[x == 1].sum()) <= b_total)


def run(method: str, seeds: list[int], m: int, n: int, kmax: int, workers: int) -> list[Outcome]:
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=limit_native_threads) as pool:
        futures = [pool.submit(solve_one, seed, m, n, kmax) for seed in seeds]
        return [future.result() for future in futures]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tasks", type=int, default=16, help="number of tasks (at least 1)")
    parser.add_argument("--rows", type=int, default=40)
    parser.add_argument("--cols", type=int, default=40)
    parser.add_argument("--kmax", type=int, default=100, help="ant colony iterations per task")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--methods", nargs="+", default=["fork", "spawn"],
                        choices=multiprocessing.get_all_start_methods())
    args = parser.parse_args(argv)

    seeds = list(range(args.tasks))
    print(f"{args.tasks} tasks of {args.rows} x {args.cols}, {args.workers} worker processes")
    # Solving here first starts this process's native thread pool before any fork:
    # a forked child does not inherit the running threads and starts a pool of its own.
    own = solve_one(seeds[0], args.rows, args.cols, args.kmax)
    print(f"parent {own.pid} solved seed {own.seed} itself: value {own.value:.1f}")
    for method in args.methods:
        start = time.perf_counter()
        outcomes = run(method, seeds, args.rows, args.cols, args.kmax, args.workers)
        elapsed = time.perf_counter() - start
        values = np.array([o.value for o in outcomes])
        pids = {o.pid for o in outcomes}
        print(
            f"{method:6s} {len(outcomes)} solved in {elapsed:6.2f} s by {len(pids)} worker processes"
            f" ({', '.join(map(str, sorted(pids)))}); "
            f"values mean {values.mean():.2f} min {values.min():.2f} max {values.max():.2f}; "
            f"all within budget: {all(o.within_budget for o in outcomes)}"
        )
        # Task data depends on the seed alone, so seed k is the same task for every
        # method; the solver is unseeded, so its value may differ between methods.
        print("       first values: " + " ".join(f"{o.value:.1f}" for o in outcomes[:4]))


if __name__ == "__main__":
    main()
