"""Long solves: a progress bar, a time limit and a convergence curve, all from
the records that solve writes to the "corvane" logger.

1. A tqdm progress bar, driven by a small logging.Handler, over an ant colony
   solve (the bar goes to standard error).
2. A solve under CORVANE_TIME_LIMIT: a probabilistic solve of a huge kmax
   that returns the best found within the limit.
3. The convergence of the ant colony solver, drawn from its DEBUG records
   (one per iteration) into a PNG.

    python3 examples/progress.py [--rows 300] [--cols 300] [--kmax 100] [--time-limit 3] [--output progress.png]

Needs tqdm and matplotlib: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import logging
import os
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import corvane


def attribute(record: logging.LogRecord, name: str) -> Any:
    """One of the numbers a corvane record carries (None on other records)."""
    return getattr(record, name, None)


class ProgressBar(logging.Handler):
    """A tqdm bar per solve: opened by its start record, moved on by every
    record after it (candidates built, best so far), closed by its end.

    Without a time limit the bar counts candidates towards num_ants * kmax (or
    kmax), and tqdm's estimate of the time left holds. Under CORVANE_TIME_LIMIT
    the clock ends the solve, not the count: a count towards a kmax the solve
    will never reach would promise hours or years. There the bar runs over the
    seconds, and its end is the solver's own estimate (the "remaining" of each
    record, at the pace so far and within the limit), or the limit until the
    solver has one."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.bar: tqdm[Any] | None = None
        self.time_limit: float | None = None

    def emit(self, record: logging.LogRecord) -> None:
        event = attribute(record, "event")
        if event == "start":
            solver, self.time_limit = attribute(record, "solver"), attribute(record, "time_limit")
            if self.time_limit is None:
                self.bar = tqdm(total=attribute(record, "candidates_total"), desc=solver, unit="candidate")
            else:
                self.bar = tqdm(total=self.time_limit, desc=f"{solver}, time limit {self.time_limit:g} s", unit="s",
                                bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}<{remaining}{postfix}")
        elif self.bar is not None and event is not None:
            if self.time_limit is None:
                self.bar.update(attribute(record, "candidates_done") - self.bar.n)
                self.bar.set_postfix(best=f"{attribute(record, 'best'):.1f}")
            else:
                elapsed, remaining = attribute(record, "elapsed"), attribute(record, "remaining")
                if event == "end":
                    self.bar.total = elapsed
                elif remaining is not None:
                    self.bar.total = elapsed + remaining
                self.bar.update(min(elapsed, self.bar.total) - self.bar.n)
                self.bar.set_postfix(candidates=attribute(record, "candidates_done"),
                                     best=f"{attribute(record, 'best'):.1f}")
            if event == "end":
                self.bar.close()
                self.bar = None


class Kept(logging.Handler):
    """Keeps every record."""

    def __init__(self, level: int = logging.NOTSET) -> None:
        super().__init__(level)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


def random_task(m: int, n: int) -> corvane.Task:
    rng = np.random.default_rng()
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)
    return corvane.Task(m, n, rng.integers(1, 100, size=(m, n), dtype=np.int64), b_ij, int(b_ij.sum()) // 10,
                        rng.uniform(0.0, 0.5, size=(m, n)))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=300)
    parser.add_argument("--cols", type=int, default=300)
    parser.add_argument("--kmax", type=int, default=100, help="ant colony iterations")
    parser.add_argument("--time-limit", type=float, default=3.0, help="seconds for the time-limited solve")
    parser.add_argument("--output", default="progress.png", help="where the convergence figure goes")
    args = parser.parse_args(argv)
    task = random_task(args.rows, args.cols)
    logger = logging.getLogger("corvane")

    # 1. A progress bar: INFO records only.
    bar = ProgressBar()
    logger.addHandler(bar)
    logger.setLevel(logging.INFO)
    x, value = corvane.AntColonyAssignmentSolver(kmax=args.kmax).solve(task)
    print(f"ant colony: best {value:.1f}, {int(x.sum())} cells chosen")

    # 2. A time limit: a probabilistic solve that alone would take years.
    # Collecting its records shows how far it got.
    kept = Kept()
    logger.addHandler(kept)
    os.environ["CORVANE_TIME_LIMIT"] = str(args.time_limit)
    try:
        x, value = corvane.ProbabilisticAssignmentSolver(kmax=10**12).solve(task)
    finally:
        del os.environ["CORVANE_TIME_LIMIT"]
    logger.removeHandler(kept)
    end = kept.records[-1]
    print(f"probabilistic, time limit {args.time_limit:g} s: best {value:.1f} after "
          f"{attribute(end, 'candidates_done')} samples in {attribute(end, 'elapsed'):.1f} s")

    # 3. A convergence curve from the DEBUG record of each iteration: the
    # best ant of the iteration, and the best so far.
    logger.removeHandler(bar)
    curve = Kept(logging.DEBUG)
    logger.addHandler(curve)
    logger.setLevel(logging.DEBUG)
    x, value = corvane.AntColonyAssignmentSolver(kmax=args.kmax).solve(task)
    logger.removeHandler(curve)
    iterations = [r for r in curve.records if attribute(r, "event") == "iteration"]
    print(f"ant colony again: best {value:.1f}, {len(iterations)} iterations recorded")

    figure, axes = plt.subplots(figsize=(8, 4.5), layout="constrained")
    steps = [attribute(r, "iteration") for r in iterations]
    axes.plot(steps, [attribute(r, "iteration_best") for r in iterations], color="tab:orange", alpha=0.6,
              label="best ant of the iteration")
    axes.plot(steps, [attribute(r, "best") for r in iterations], color="tab:blue", label="best so far")
    axes.set_xlabel("iteration")
    axes.set_ylabel("value")
    axes.set_title(f"Ant colony on a random {args.rows} x {args.cols} task")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="lower right")
    figure.savefig(args.output, dpi=100)
    plt.close(figure)
    print(f"figure saved to {args.output}")


if __name__ == "__main__":
    main()
