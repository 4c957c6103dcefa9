"""Measure how far below the optimum each solver ends, and what each parameter buys.

Tasks come from the classic knapsack classes (see knapsack_classes.py): every
class, with and without discounts, for every budget share, at each of --sizes.
Each task is solved exactly (scipy.optimize.milp with a time limit, then the
dynamic programme over the budget where the MILP proved nothing), by greedy and
its variants, and --repeats times by both solvers with their defaults. On the
--sweep sizes every ant colony parameter (beta, alpha, rho, num_ants, kmax) is
then varied on its own, the others at their defaults, and so is the
probabilistic solver's kmax. A two-cell task on which greedy fails is solved
too (greedy's blind spot):

    python3 examples/tuning.py [--sizes 10 30 100] [--sweep 10 30 100:0.02,0.1] [--repeats 2]
                               [--output tuning.png] [--table tuning.md] [--results results.json]

A --sweep entry SIZE:SHARE,... sweeps that size at those budget shares only.
The gap of a value is (optimum - value) / optimum; where no exact method proved
the optimum, the best value any method reached stands in for it and the table
gives the MILP's bound too. Solves use corvane's default thread pool; seconds
are wall time per solve. --seed fixes the task data; the solves draw fresh
numbers on every run unless CORVANE_SEED is set, which makes them repeat too.
The figures and the tables are drawn by tuning_report.py, which can draw them
again from --results without measuring.

With the defaults a run takes about half an hour on two cores: the published
run (docs/tuning.md) took 31 minutes, 22 of them sweeping the 100 x 100 tasks,
6 the 30 x 30 and 1.4 the 10 x 10 ones. `--sizes 10 --sweep 10` measures only
those 10 x 10 tasks, for a quick look.

Needs SciPy and matplotlib: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from datetime import datetime, timezone
from typing import Any

import numpy as np

from knapsack_classes import CLASSES, Instance, best_single_cell, exact, greedy, make_instance
from tuning_report import (ANT_DEFAULT, DEFAULTS, PROBABILISTIC_DEFAULT, HelpFormatter, Setting, TaskResult,
                           describe_machine, discount_range, save, sweep_settings, write)


def parse_sweep(entries: list[str], budgets: list[float]) -> dict[int, set[float]]:
    """'30' sweeps 30 x 30 at every budget share, '100:0.1' at 10% only."""
    swept: dict[int, set[float]] = {}
    for entry in entries:
        size, _, shares = entry.partition(":")
        swept[int(size)] = {float(s) for s in shares.split(",")} if shares else set(budgets)
    return swept


def solve_task(instance: Instance, size: int, settings: list[Setting], args: argparse.Namespace) -> TaskResult:
    reference = exact(instance, args.time_limit)
    result = TaskResult(size, instance.family, instance.max_discount, instance.budget_share, reference.value,
                        reference.bound, reference.proven, reference.seconds, greedy(instance),
                        swept=len(settings) > len(DEFAULTS), greedy_stop=greedy(instance, stop_at_first_misfit=True),
                        single=best_single_cell(instance), exact_method=reference.method)
    task = instance.task()
    for setting in settings:
        solver = setting.make()
        values, seconds = result.values.setdefault(setting.key, []), result.seconds.setdefault(setting.key, [])
        for _ in range(args.repeats):
            start = time.perf_counter()
            values.append(solver.solve(task)[1])
            seconds.append(time.perf_counter() - start)
    status = f"proven by {reference.method}" if reference.proven else f"not proven, bound {reference.bound:.1f}"
    gaps = ", ".join(f"{s.key} {np.mean(result.gaps(s)):.3%}" for s in DEFAULTS)
    discounts = f"discounts in {discount_range(instance.max_discount)}" if instance.max_discount else "no discounts"
    print(f"task {size}x{size} {instance.family}, {discounts},"
          f" budget {instance.budget_share:.0%}: optimum {result.best:.1f} ({status}, {reference.seconds:.2f} s);"
          f" bound {reference.bound:.1f}; values greedy {result.greedy:.1f}"
          + "".join(f", {s.key} {max(result.values[s.key]):.1f}" for s in DEFAULTS)
          + f"; gap greedy {result.gap(result.greedy):.3%}, {gaps}", flush=True)
    return result


def measure(args: argparse.Namespace) -> list[TaskResult]:
    swept = parse_sweep(args.sweep, args.budgets)
    results = []
    for size in sorted(set(args.sizes) | set(swept)):
        for family_index, family in enumerate(CLASSES):
            for discount_index, discount in enumerate(args.max_discounts):
                for budget in args.budgets:
                    sweep_here = budget in swept.get(size, set())
                    if size not in args.sizes and not sweep_here:
                        continue
                    # One seed per task: the same task whichever other sizes or budgets a run includes.
                    rng = np.random.default_rng([args.seed, size, family_index, discount_index, round(budget * 1e4)])
                    instance = make_instance(family, size, size, budget, discount, rng)
                    settings = sweep_settings() if sweep_here else list(DEFAULTS)
                    results.append(solve_task(instance, size, settings, args))
    return results


def blind_spot(repeats: int) -> dict[str, Any]:
    """Greedy's blind spot: a cheap cell with the better ratio blocks the one that fills the budget.
    Greedy and the solvers that lean on the ratio end far below the optimum."""
    c, b_ij, b_total = np.array([[2, 1000]], dtype=np.int64), np.array([[1, 1000]], dtype=np.int64), 1000
    instance = Instance("blind spot", 0.0, 1.0, c, b_ij, b_total, np.zeros((1, 2)))
    task = instance.task()
    solves = {s.key: [s.make().solve(task)[1] for _ in range(repeats)]
              for s in (ANT_DEFAULT, Setting("ant colony", "beta", 16), PROBABILISTIC_DEFAULT)}
    spot = {"c": c.ravel().tolist(), "b_ij": b_ij.ravel().tolist(), "b_total": b_total, "optimum": 1000.0,
            "greedy": greedy(instance), "greedy_stop": greedy(instance, stop_at_first_misfit=True),
            "greedy_or_single": max(greedy(instance), best_single_cell(instance)), "solves": solves}
    print(f"blind spot: optimum 1000, greedy {spot['greedy']:g}, greedy or single {spot['greedy_or_single']:g}; "
          + ", ".join(f"{key} found it in {sum(v >= 1000 for v in values)} of {repeats}"
                      for key, values in solves.items()), flush=True)
    return spot


def busy_cpu_seconds() -> float:
    """CPU time all processes have spent busy since boot (Linux /proc/stat)."""
    with open("/proc/stat") as stat:
        fields = [int(v) for v in stat.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds() -> float:
    times = os.times()
    return times.user + times.system


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 30, 100], help="rows = columns")
    parser.add_argument("--sweep", nargs="*", default=["10", "30", "100:0.02,0.1"],
                        help="sizes to sweep, SIZE[:SHARE,...]")
    parser.add_argument("--budgets", type=float, nargs="+", default=[0.02, 0.1, 0.5],
                        help="shares of the total weight")
    parser.add_argument("--max-discounts", type=float, nargs="+", default=[0.0, 0.5],
                        help="omega uniform in [0, this); 0 for none")
    parser.add_argument("--repeats", type=int, default=2, help="solves per task and setting")
    parser.add_argument("--blind-spot-repeats", type=int, default=10,
                        help="solves per solver of greedy's blind spot")
    parser.add_argument("--time-limit", type=float, default=10.0, help="seconds per MILP")
    parser.add_argument("--seed", type=int, default=0, help="seed of the task data")
    parser.add_argument("--output", default="tuning.png",
                        help="where the figures go, one per parameter when something is swept, and the start of their"
                        " names: tuning.png gives tuning-beta.png, ...")
    parser.add_argument("--table", help="also write the tables as Markdown to this file")
    parser.add_argument("--results", help="also save the measurements as JSON, for tuning_report.py")
    args = parser.parse_args(argv)

    started = datetime.now(timezone.utc)
    load_before = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    busy_before, own_before, wall_before = busy_cpu_seconds(), own_cpu_seconds(), time.perf_counter()
    spot = blind_spot(args.blind_spot_repeats)
    results = measure(args)
    # Cores kept busy by everything but this run: anything well above 0 means the timings were disturbed.
    other_load = ((busy_cpu_seconds() - busy_before) - (own_cpu_seconds() - own_before)) / (
        time.perf_counter() - wall_before)
    meta = {
        "command": " ".join(["python3", "examples/tuning.py", *(sys.argv[1:] if argv is None else argv)]),
        "started": started.strftime("%Y-%m-%d %H:%M"),
        "minutes": (datetime.now(timezone.utc) - started).total_seconds() / 60,
        "machine": describe_machine(),
        "load_before": load_before,
        "load_after": ", ".join(f"{x:.2f}" for x in os.getloadavg()),
        "other_load": max(0.0, other_load),
        "time_limit": args.time_limit,
        "repeats": args.repeats,
        "blind_spot": spot,
    }
    if args.results:
        save(args.results, meta, results)
    write(meta, results, args.output, args.table)


if __name__ == "__main__":
    main()
