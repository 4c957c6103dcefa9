"""Draw the figures and write the tables of a tuning run (examples/tuning.py).

tuning.py measures and then calls this module; run on its own, it draws again
from the results a run saved with --results, without measuring anything:

    python3 examples/tuning_report.py results.json [--output tuning.png] [--table tuning.md]

One figure per swept parameter, named after --output: tuning.png gives
tuning-beta.png, tuning-alpha.png, ..., tuning-probabilistic-kmax.png.

This module also holds what the study covers (the parameter grid) and how a
gap is counted, so that measuring and reporting cannot disagree about them.

Needs matplotlib: python3 -m pip install ".[examples]".
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.ticker import FuncFormatter, NullLocator

import corvane
from knapsack_classes import CLASSES

# Each parameter's values, its default among them; they are varied one at a time.
ANT_DEFAULTS: dict[str, float] = {"beta": 2.0, "alpha": 1.0, "rho": 0.1, "num_ants": 20, "kmax": 100}
ANT_SWEEPS: dict[str, tuple[float, ...]] = {
    "beta": (0, 1, 2, 4, 8, 16),
    "alpha": (0, 0.5, 1, 2, 4),
    "rho": (0.02, 0.05, 0.1, 0.3, 0.6),
    "num_ants": (5, 10, 20, 50, 100),
    "kmax": (10, 30, 100, 300, 1000),
}
PROBABILISTIC_KMAX = (10, 100, 1000, 10000)


@dataclass(frozen=True)
class Setting:
    """A solver with one parameter changed from its defaults (none for "default")."""

    solver: str  # "ant colony" or "probabilistic"
    parameter: str = "default"
    value: float = 0.0

    @property
    def key(self) -> str:
        return self.solver if self.parameter == "default" else f"{self.solver} {self.parameter}={self.value:g}"

    def make(self) -> corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver:
        if self.solver == "probabilistic":
            return corvane.ProbabilisticAssignmentSolver(kmax=int(self.value))
        params = dict(ANT_DEFAULTS)
        if self.parameter != "default":
            params[self.parameter] = self.value
        return corvane.AntColonyAssignmentSolver(num_ants=int(params["num_ants"]), kmax=int(params["kmax"]),
                                                 alpha=params["alpha"], beta=params["beta"], rho=params["rho"])


ANT_DEFAULT = Setting("ant colony")
PROBABILISTIC_DEFAULT = Setting("probabilistic", "kmax", 100)
DEFAULTS = (ANT_DEFAULT, PROBABILISTIC_DEFAULT)


def sweep_point(solver: str, parameter: str, value: float) -> Setting:
    """The setting a point of a sweep stands for; at the default value, the default setting."""
    if solver == "probabilistic":
        return Setting(solver, "kmax", value)
    return ANT_DEFAULT if value == ANT_DEFAULTS[parameter] else Setting(solver, parameter, value)


def sweeps() -> list[tuple[str, str, tuple[float, ...]]]:
    """(solver, parameter, values): one panel of the figure, one block of the table each."""
    return [("ant colony", p, v) for p, v in ANT_SWEEPS.items()] + [("probabilistic", "kmax", PROBABILISTIC_KMAX)]


def sweep_settings() -> list[Setting]:
    return list(dict.fromkeys(sweep_point(*s[:2], v) for s in sweeps() for v in s[2]))


@dataclass
class TaskResult:
    size: int
    family: str
    max_discount: float
    budget_share: float
    reference: float  # the exact methods' best value: the optimum when proven
    bound: float
    proven: bool
    exact_seconds: float
    greedy: float  # skip a cell that does not fit and go on
    swept: bool
    greedy_stop: float = 0.0  # stop at the first cell that does not fit
    single: float = 0.0  # the best cell that fits on its own
    exact_method: str = ""  # what proved the optimum (see knapsack_classes.exact)
    values: dict[str, list[float]] = field(default_factory=dict)  # by Setting.key
    seconds: dict[str, list[float]] = field(default_factory=dict)

    @property
    def best(self) -> float:
        """The best value any method reached: the optimum when proven (a solver that matches it
        may sum to a value larger in the last bit, hence the max), else the best known."""
        return max([self.reference, self.greedy] + [max(v) for v in self.values.values()])

    @property
    def greedy_or_single(self) -> float:
        return max(self.greedy, self.single)

    def floor_gaps(self, setting: Setting) -> list[float]:
        """Gaps of the better of greedy and each solve of `setting`."""
        return [self.gap(max(self.greedy, v)) for v in self.values[setting.key]]

    def gap(self, value: float) -> float:
        return (self.best - value) / self.best if self.best > 0 else 0.0

    def gaps(self, setting: Setting) -> list[float]:
        return [self.gap(v) for v in self.values[setting.key]]


def mean_gap(tasks: list[TaskResult], setting: Setting) -> float:
    return float(np.mean([g for t in tasks for g in t.gaps(setting)]))


def mean_seconds(tasks: list[TaskResult], setting: Setting) -> float:
    return float(np.mean([s for t in tasks for s in t.seconds[setting.key]]))


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawDescriptionHelpFormatter):
    """--help with the module's docstring as written and every option's default."""


def discount_range(max_discount: float) -> str:
    """How a task's discounts read in the tables: "[0, 0.5)", or "none"."""
    return f"[0, {max_discount:g})" if max_discount else "none"


def percent(value: float) -> str:
    return f"{100 * value:.2f}%"


def share(value: float) -> str:
    return f"{100 * value:g}%"


def seconds(value: float) -> str:
    return f"{value:.3g}"


def figure_paths(output: str) -> list[tuple[tuple[str, str, tuple[float, ...]], str]]:
    """One figure per sweep, named after `output`: tuning.png gives tuning-beta.png, ...,
    tuning-probabilistic-kmax.png."""
    base = Path(output)
    return [(sweep, str(base.with_name(f"{base.stem}-{'probabilistic-' if sweep[0] == 'probabilistic' else ''}"
                                          f"{sweep[1].replace('_', '-')}{base.suffix or '.png'}")))
            for sweep in sweeps()]


def plain_ticks(value: float, _position: float) -> str:
    return f"{value:g}"


def plot(tasks: list[TaskResult], output: str) -> list[str]:
    """One figure per swept parameter, drawn to be read at the width of a page of the docs (about
    750 pixels): a column per swept size, the mean gap per class above, the seconds per solve below.
    All figures share their scales, so that they compare at a glance: a flat line buys or costs
    nothing. Returns the paths written."""
    sizes = sorted({t.size for t in tasks if t.swept})
    all_budgets = sorted({t.budget_share for t in tasks if t.swept})
    colors = [plt.colormaps["tab10"](k) for k in (0, 1, 2, 3, 4, 5, 6, 8)]  # its gray (7) is greedy's
    drawn = []
    with plt.rc_context({"font.size": 13, "axes.titlesize": 13, "xtick.labelsize": 12, "ytick.labelsize": 12,
                         "legend.fontsize": 11}):
        for (solver, parameter, values), path in figure_paths(output):
            figure, axes = plt.subplots(2, len(sizes), figsize=(max(2.6 * len(sizes) + 0.9, 7.0), 7.6), squeeze=False,
                                        sharey="row", layout="constrained")
            default = 100 if solver == "probabilistic" else ANT_DEFAULTS[parameter]
            settings = [sweep_point(solver, parameter, v) for v in values]
            # The values step by factors of about 2 to 10 (and from 0): evenly spaced, each step reads alike.
            steps = list(range(len(values)))
            for col, size in enumerate(sizes):
                swept = [t for t in tasks if t.swept and t.size == size]
                gap_axes, time_axes = axes[0, col], axes[1, col]
                for k, family in enumerate(CLASSES):
                    group = [t for t in swept if t.family == family]
                    if group:
                        gap_axes.plot(steps, [100 * mean_gap(group, s) for s in settings], marker="o",
                                      markersize=4, color=colors[k], label=family)
                        time_axes.plot(steps, [mean_seconds(group, s) for s in settings], marker="o",
                                       markersize=4, color=colors[k])
                gap_axes.axhline(100 * float(np.mean([t.gap(t.greedy) for t in swept])), color="gray",
                                 linestyle="--", linewidth=1.5, label="greedy (mean over the classes)")
                budgets = sorted({t.budget_share for t in swept})
                gap_axes.set_title(f"{size} × {size}" + ("" if budgets == all_budgets else
                                                         f"\nbudgets {', '.join(share(b) for b in budgets)}"))
                gap_axes.set_yscale("symlog", linthresh=0.01, linscale=0.5)  # gaps of 0 happen
                time_axes.set_yscale("log")
                for ax in (gap_axes, time_axes):
                    ax.set_xticks(steps, [f"{v:g}" for v in values])
                    ax.axvline(values.index(default), color="black", linestyle=":", linewidth=1)
                    ax.grid(True, which="major", alpha=0.3)
            axes[0, 0].set_ylabel("mean gap to the optimum (%)")
            axes[1, 0].set_ylabel("seconds per solve")
            handles, labels = axes[0, 0].get_legend_handles_labels()
            figure.legend(handles, labels, loc="outside upper center", ncols=3)
            figure.supxlabel(f"{parameter} of the {solver} solver (default {default:g}; the others at theirs)")
            drawn.append((figure, axes, path))
        # The common scales: gaps from 0 to the largest mean, seconds over the whole range measured.
        gap_high = max(ax.get_ylim()[1] for _, axes, _ in drawn for ax in axes[0])
        time_low = min(ax.get_ylim()[0] for _, axes, _ in drawn for ax in axes[1])
        time_high = max(ax.get_ylim()[1] for _, axes, _ in drawn for ax in axes[1])
        for figure, axes, path in drawn:
            for ax in axes[0]:
                ax.set_ylim(0, gap_high)
                ax.set_yticks([v for v in (0, 0.01, 0.1, 1, 10, 100) if v <= gap_high])
                ax.yaxis.set_major_formatter(FuncFormatter(plain_ticks))
                ax.yaxis.set_minor_locator(NullLocator())
            for ax in axes[1]:
                ax.set_ylim(time_low, time_high)
                ax.yaxis.set_major_formatter(FuncFormatter(plain_ticks))
            figure.savefig(path, dpi=100)
            plt.close(figure)
    return [path for *_, path in drawn]


def overview_table(tasks: list[TaskResult], size: int) -> list[str]:
    lines = [f"### {size} × {size} cells", "",
             "| Class | Discounts | Budget | Optimum | Exact s | Greedy gap | Ant colony gap (worst) | s / solve"
             " | Probabilistic gap (worst) | s / solve |", "|---|---|---|---|---|---|---|---|---|---|"]
    for t in (t for t in tasks if t.size == size):
        optimum = f"{t.best:,.1f}" + (f" (not proven; bound +{percent(t.bound / t.best - 1)})" if not t.proven else
                                      " (dynamic programme)" if t.exact_method == "dynamic programme" else "")
        cells = [t.family, discount_range(t.max_discount), share(t.budget_share),
                 optimum, seconds(t.exact_seconds), percent(t.gap(t.greedy))]
        for setting in DEFAULTS:
            cells += [f"{percent(mean_gap([t], setting))} ({percent(max(t.gaps(setting)))})",
                      seconds(mean_seconds([t], setting))]
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def summary_table(tasks: list[TaskResult]) -> list[str]:
    lines = ["| Size | Tasks | Optima proven | Greedy gap mean (worst) | Ant colony gap mean (worst) | Ant colony"
             " above greedy | Probabilistic gap mean (worst) |", "|---|---|---|---|---|---|---|"]
    for size in sorted({t.size for t in tasks}):
        group = [t for t in tasks if t.size == size]
        greedy = [t.gap(t.greedy) for t in group]
        ant = [g for t in group for g in t.gaps(ANT_DEFAULT)]
        above = sum(v > t.greedy for t in group for v in t.values[ANT_DEFAULT.key])
        prob = [g for t in group for g in t.gaps(PROBABILISTIC_DEFAULT)]
        lines.append(f"| {size} × {size} | {len(group)} | {sum(t.proven for t in group)} |"
                     f" {percent(float(np.mean(greedy)))} ({percent(max(greedy))}) |"
                     f" {percent(float(np.mean(ant)))} ({percent(max(ant))}) | {above} of {len(ant)} solves |"
                     f" {percent(float(np.mean(prob)))} ({percent(max(prob))}) |")
    return lines + [""]


def mean_worst(gaps: list[float]) -> str:
    return f"{percent(float(np.mean(gaps)))} ({percent(max(gaps))})"


def greedy_table(tasks: list[TaskResult]) -> list[str]:
    lines = ["| Size | Budget | Tasks | Greedy | Greedy, stopping at the first misfit | Greedy or best single cell"
             " | Better of greedy and ant colony |", "|---|---|---|---|---|---|---|"]
    for size in sorted({t.size for t in tasks}):
        for budget in sorted({t.budget_share for t in tasks if t.size == size}):
            group = [t for t in tasks if t.size == size and t.budget_share == budget]
            lines.append(f"| {size} × {size} | {share(budget)} | {len(group)} | "
                         + " | ".join(mean_worst([t.gap(getattr(t, kind)) for t in group])
                                      for kind in ("greedy", "greedy_stop", "greedy_or_single"))
                         + f" | {mean_worst([g for t in group for g in t.floor_gaps(ANT_DEFAULT)])} |")
    return lines + [""]


def budget_table(tasks: list[TaskResult], size: int) -> list[str]:
    swept = [t for t in tasks if t.swept and t.size == size]
    budgets = sorted({t.budget_share for t in swept})
    lines = [f"### {size} × {size} cells: mean gap per budget, alone and with the greedy floor", "",
             "| Setting | " + " | ".join(f"{share(b)}: gap | {share(b)}: better of it and greedy" for b in budgets)
             + " |", "|---|" + "---|" * (2 * len(budgets))]
    for solver, parameter, values in sweeps():
        for value in values:
            setting = sweep_point(solver, parameter, value)
            default = " (default)" if setting in DEFAULTS else ""
            cells = [f"{solver} {parameter}={value:g}{default}"]
            for budget in budgets:
                group = [t for t in swept if t.budget_share == budget]
                cells += [percent(mean_gap(group, setting)),
                          percent(float(np.mean([g for t in group for g in t.floor_gaps(setting)])))]
            lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def blind_spot_table(spot: dict[str, Any]) -> list[str]:
    optimum = spot["optimum"]
    lines = ["| Method | Value | Share of the optimum | Solves that found the optimum |", "|---|---|---|---|"]
    for name in ("greedy", "greedy_stop", "greedy_or_single"):
        label = {"greedy": "greedy", "greedy_stop": "greedy, stopping at the first misfit",
                 "greedy_or_single": "greedy or best single cell"}[name]
        lines.append(f"| {label} | {spot[name]:,.1f} | {percent(spot[name] / optimum)} | |")
    for key, values in spot["solves"].items():
        found = sum(v >= optimum for v in values)
        lines.append(f"| {key} | {min(values):,.1f} to {max(values):,.1f} | {percent(min(values) / optimum)} to"
                     f" {percent(max(values) / optimum)} | {found} of {len(values)} |")
    return lines + [""]


def sweep_table(tasks: list[TaskResult], size: int) -> list[str]:
    swept = [t for t in tasks if t.swept and t.size == size]
    shares = ", ".join(share(s) for s in sorted({t.budget_share for t in swept}))
    lines = [f"### {size} × {size} cells, budgets {shares}: mean gap per class", "",
             "| Setting | " + " | ".join(c.replace(" correlated", " corr.") for c in CLASSES) + " | All | s / solve |",
             "|---|" + "---|" * (len(CLASSES) + 2)]
    greedy = [percent(float(np.mean([t.gap(t.greedy) for t in swept if t.family == f]))) for f in CLASSES]
    lines.append("| greedy | " + " | ".join(greedy)
                 + f" | {percent(float(np.mean([t.gap(t.greedy) for t in swept])))} | |")
    for solver, parameter, values in sweeps():
        for value in values:
            setting = sweep_point(solver, parameter, value)
            default = " (default)" if setting in DEFAULTS else ""
            cells = [f"{solver} {parameter}={value:g}{default}"]
            cells += [percent(mean_gap([t for t in swept if t.family == f], setting)) for f in CLASSES]
            cells += [percent(mean_gap(swept, setting)), seconds(mean_seconds(swept, setting))]
            lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def describe_machine() -> dict[str, str]:
    def first(path: str, prefix: str) -> str:
        try:
            lines = Path(path).read_text().splitlines()
        except OSError:
            return "unknown"
        return next((line.split(prefix, 1)[1].strip(" \t:=\"") for line in lines if line.startswith(prefix)), "unknown")

    import scipy

    here = Path(__file__).resolve().parent
    try:  # a copy of the examples outside the repository has no commit to name
        commit = subprocess.run(["git", "-C", str(here), "describe", "--always", "--dirty"], capture_output=True,
                                text=True).stdout.strip() or "unknown"
    except OSError:
        commit = "unknown (git not found)"
    return {
        "CPU": first("/proc/cpuinfo", "model name"),
        "Cores usable": str(len(os.sched_getaffinity(0))),
        "Memory": f"{int(first('/proc/meminfo', 'MemTotal').split()[0]) / 2**20:.1f} GiB",
        "OS": f"{first('/etc/os-release', 'PRETTY_NAME')}, kernel {platform.release()}",
        "Python / NumPy / SciPy": f"{platform.python_version()} / {np.__version__} / {scipy.__version__}",
        "Repository at": commit,
        "RAYON_NUM_THREADS": os.environ.get("RAYON_NUM_THREADS", "unset (one thread per usable core)"),
    }


def markdown(meta: dict[str, Any], tasks: list[TaskResult], redrawn_by: str | None) -> str:
    lines = ["# Tuning: how far below the optimum the solvers end", "",
             f"Measured by `{meta['command']}` (run from the repository root), started {meta['started']} UTC,"
             f" took {meta['minutes']:.1f} min; every number below comes from that run."
             + (f" Tables and figures drawn again by `{redrawn_by}`." if redrawn_by else "")
             + " The user guide's *Which to use and tuning* page says what they show.", "",
             "| Machine | |", "|---|---|"]
    lines += [f"| {k} | {v} |" for k, v in meta["machine"].items()]
    lines += [f"| Load average (1, 5, 15 min) | before {meta['load_before']}, after {meta['load_after']} |",
              f"| Other processes during the run | kept {meta['other_load']:.2f} cores busy on average |", "",
              "Tasks: the classic knapsack classes of `examples/knapsack_classes.py` (weights b_ij 1–1000, except"
              " 100,000–100,100 for similar weights; profits c by class), m = n = size, one task per class, discount"
              " range and budget share. Discounts are none (omega = 0) or omega uniform in the stated range."
              " *Optimum*: `scipy.optimize.milp` after fixing the cells the linear relaxation decides,"
              f" {meta['time_limit']:g} s limit, and where that proves nothing the dynamic programme over the budget"
              " (`examples/exact_optimum.py`) on the cells left; where neither proved it, gaps count from the best"
              " value any method reached, and the bound says how far above that the optimum could still lie."
              " *Exact s* is the time of both together. *Gap* = (optimum − value) / optimum, the mean over"
              f" {meta['repeats']} solves per task and setting (worst solve in brackets). *Greedy*: cells by"
              " discounted profit per unit of resource, each taken if it still fits. *s / solve*: wall time of one"
              " `solve` with corvane's default thread pool.", "",
              "## Defaults against greedy and the optimum", ""]
    lines += summary_table(tasks)
    lines += ["### Greedy variants and the better-of-both floor", "",
              "Mean gap (worst in brackets) of greedy as above; of greedy that stops at the first cell that does not"
              " fit; of the better of greedy and the best single cell that fits; and of the better of greedy and each"
              " default ant colony solve.", ""]
    lines += greedy_table(tasks)
    if "blind_spot" in meta:
        spot = meta["blind_spot"]
        lines += ["### Greedy's blind spot", "",
                  f"One row of two cells: cost {spot['c'][0]} and resource {spot['b_ij'][0]}, cost {spot['c'][1]}"
                  f" and resource {spot['b_ij'][1]}, budget {spot['b_total']}, no discounts. The first has the"
                  " better ratio, and once it is taken the second no longer fits.", ""]
        lines += blind_spot_table(spot)
    for size in sorted({t.size for t in tasks}):
        lines += overview_table(tasks, size)
    lines += ["## One parameter at a time", "",
              "Every other parameter at its default (ant colony: num_ants 20, kmax 100, alpha 1, beta 2, rho 0.1)."
              " The figures draw the tables below per class, with the time: one figure per parameter, a column per"
              " size; the dotted line marks the default, the dashed one greedy's mean gap. The gap axis is"
              " logarithmic above 0.01% and linear below it, so that gaps of 0 show.", ""]
    for (solver, parameter, _values), figure in zip(sweeps(), meta["figures"]):
        lines += [f"```{{figure}} {figure}", f":alt: the {solver} solver's mean gap and seconds per solve against"
                  f" {parameter}, per class and size", ":width: 100%", "",
                  f"{solver.capitalize()} solver, {parameter}: mean gap to the optimum per class (above) and seconds"
                  " per solve (below).", "```", ""]
    for size in sorted({t.size for t in tasks if t.swept}):
        lines += sweep_table(tasks, size)
    lines += ["## One parameter at a time, by budget", "",
              "The same sweeps, mean gap over all classes at each budget share; beside it the mean gap of the better"
              " of each solve and greedy.", ""]
    for size in sorted({t.size for t in tasks if t.swept}):
        lines += budget_table(tasks, size)
    return "\n".join(lines)


def save(path: str, meta: dict[str, Any], tasks: list[TaskResult]) -> None:
    Path(path).write_text(json.dumps({"meta": meta, "tasks": [asdict(t) for t in tasks]}, indent=1))


def load(path: str) -> tuple[dict[str, Any], list[TaskResult]]:
    saved = json.loads(Path(path).read_text())
    return saved["meta"], [TaskResult(**t) for t in saved["tasks"]]


def write(meta: dict[str, Any], tasks: list[TaskResult], output: str, table: str | None,
          redrawn_by: str | None = None) -> None:
    figures = plot(tasks, output) if any(t.swept for t in tasks) else []
    if figures:
        print(f"figures saved to {', '.join(figures)}")
    if table:
        meta = dict(meta, figures=[os.path.relpath(f, Path(table).resolve().parent) for f in figures])
        Path(table).write_text(markdown(meta, tasks, redrawn_by))
        print(f"tables saved to {table}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=HelpFormatter)
    parser.add_argument("results", help="a JSON file written by tuning.py --results")
    parser.add_argument("--output", default="tuning.png", help="where the figures go, and the start of their names")
    parser.add_argument("--table", help="also write the tables as Markdown to this file")
    args = parser.parse_args(argv)
    meta, tasks = load(args.results)
    command = ["python3", "examples/tuning_report.py", *(sys.argv[1:] if argv is None else argv)]
    write(meta, tasks, args.output, args.table, " ".join(command))


if __name__ == "__main__":
    main()
