"""The Markdown report of a run: each table declared as its columns (a
header and how a row fills the cell), the prose around them, and the raw
measurements as JSON."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from measuring import ANT_CANDIDATES, DISTURBED, HandoverConfig, SolveConfig, disturbed, fmt_load
from pyperf_io import THREADS, Series, pyperf_compare
from revisions import Build, compiler

MB = 1_000_000


# --------------------------------------------------------------------------
# Numbers


def fmt_seconds(s: float) -> str:
    if s >= 100:
        return f"{s:.0f} s"
    if s >= 10:
        return f"{s:.1f} s"
    if s >= 0.1:
        return f"{s:.2f} s"
    if s >= 0.001:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.0f} µs"


def fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f}"


def fmt_count(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def fmt_mib(kib: int) -> str:
    return f"{kib / 1024:.1f}"


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.2f}×"


def max_load(*loads: float | None) -> float | None:
    known = [load for load in loads if load is not None]
    return max(known) if known else None


def verdict(ok: bool) -> str:
    return "**met**" if ok else "**missed**"


def square(size: int) -> str:
    return f"{size}×{size}"


def weight(beta: float) -> str:
    return "η²" if beta == 2.0 else "η"


# --------------------------------------------------------------------------
# Tables


@dataclass(frozen=True)
class Column:
    header: str
    cell: Callable[[Any], str]


def table(columns: list[Column], rows) -> list[str]:
    """A Markdown table of `rows`, one line per row, and a blank line."""
    header = "|" + "|".join(f" {c.header} " if c.header else " " for c in columns) + "|"
    lines = [header, "|" + "---|" * len(columns)]
    lines += ["| " + " | ".join(c.cell(row) for c in columns) + " |" for row in rows]
    return lines + [""]


def pairs(*headers: str) -> list[Column]:
    """Columns of a table whose rows are tuples, cell k from item k."""
    return [Column(header, lambda row, k=k: row[k]) for k, header in enumerate(headers)]


# --------------------------------------------------------------------------
# What was measured


@dataclass
class Measurements:
    builds: list[Build]  # the candidate first
    configs: list[SolveConfig]
    solves: dict[str, dict[tuple, dict[int, Series]]]
    constructions: dict[str, dict[tuple, dict]]
    ceiling: list[dict]
    pyperf_paths: dict[tuple[str, int], Path] = field(default_factory=dict)
    handovers: dict[str, dict[tuple, dict]] = field(default_factory=dict)  # role: (workers, pinned): report

    @property
    def compared(self) -> bool:
        return len(self.builds) > 1

    def series(self, role: str, config: SolveConfig, threads: int) -> Series:
        return self.solves[role][config.key][threads]

    def seconds(self, role: str, config: SolveConfig, threads: int) -> float:
        return self.series(role, config, threads).seconds()

    def ratio(self, config: SolveConfig, threads: int) -> float:
        """Baseline time over candidate time: above 1, the candidate is faster."""
        return self.seconds("baseline", config, threads) / self.seconds("candidate", config, threads)

    def speedup(self, role: str, config: SolveConfig) -> float:
        return self.seconds(role, config, 1) / self.seconds(role, config, 2)

    def peak_rss_kib(self, role: str, config: SolveConfig) -> int:
        return max(self.series(role, config, t).peak_rss_kib() for t in THREADS)

    def rss_before_kib(self, role: str, config: SolveConfig) -> int:
        return max(self.series(role, config, t).rss_before_kib() for t in THREADS)

    def load(self, config: SolveConfig) -> float | None:
        return max_load(*(self.series(b.role, config, t).other_cores() for b in self.builds for t in THREADS))


def mode_name(args) -> str:
    return "full" if args.full else "quick"


def not_run(args) -> str:
    return f"not run in {mode_name(args)} mode" + (" with --sizes" if getattr(args, "sizes", None) else "")


def threads_word(threads: int) -> str:
    return f"{threads} thread{'s' if threads > 1 else ''}"


def disturbed_note(noisy: list[str], what: str) -> list[str]:
    if noisy:
        return [f"**Disturbed measurements.** Other processes kept at least {DISTURBED} cores busy on average during "
                f"{len(noisy)} {what}; on a 2-core machine that slows them, and the two-thread runs most: "
                + "; ".join(noisy) + ".", ""]
    return [f"No measurement saw other processes keep {DISTURBED} cores or more busy on average.", ""]


def report(args, info: dict, m: Measurements, started: str, load_before: tuple, load_after: tuple,
           elapsed: float) -> str:
    lines: list[str] = []
    add = lines.append
    command = " ".join(["python3", "benchmarks/run.py", *sys.argv[1:]])
    add("# Benchmarks")
    add("")
    add(f"Generated by `{command}`; every number below was measured by that run. "
        "`python3 benchmarks/run.py --full --baseline REV --write docs/benchmarks.md` regenerates a comparison, "
        "`python3 benchmarks/run.py --full --write docs/benchmarks.md` the table of one revision; see the "
        "contributing page's *Benchmarks* section.")
    add("")
    add("## Machine and run")
    add("")
    rows = list(info.items())
    for b in m.builds:
        who = f" ({b.role})" if m.compared else ""
        module = "installed package (`import corvane`)" if b.module_dir is None else "built by the run"
        bench = f"; handover_bench: {b.handover_source}" if b.handover_source else ""
        rows += [(f"Compiler{who}", compiler(b.build_dir)),
                 (f"Code measured{who}", f"{b.source}; module {module}{bench}")]
    rows.append(("Run", f"{mode_name(args)} mode, started {started}, took {elapsed / 60:.1f} min"))
    rows.append(("Load average (1, 5, 15 min)", f"before {', '.join(f'{v:.2f}' for v in load_before)}; "
                 f"after {', '.join(f'{v:.2f}' for v in load_after)}"))
    lines += table(pairs("", ""), rows)
    add("Tasks are m = n = size: costs uniform integers 1–99, resources 1–19, discounts uniform in [0, 0.5), "
        "budget = ⌊total resource / 10⌋. The solve rows use one fixed NumPy-generated task per size; "
        "the construction rows use construction_bench's own task of the same distribution.")
    add("")
    add("Solves are timed by pyperf (`benchmarks/solve_once.py`): each pyperf invocation starts fresh worker "
        "processes with `RAYON_NUM_THREADS=1` or `=2`; a worker creates the thread pool on a tiny warm-up solve, "
        "builds the task, runs pyperf's warm-up values and then its timed values, each value the mean of "
        "*loops* solves (pyperf calibrates *loops* for the short solves to about 0.1 s per value, on the first "
        "invocation; every later one of either revision reuses it). **Time per solve is the median of all "
        "values** of a row: the solvers are stochastic, so solves differ in work, and the median is the typical "
        "one. *Peak RSS* is the largest worker's `ru_maxrss` over both thread settings (pyperf's `mem_max_rss`); "
        "it includes the interpreter, NumPy, pyperf and the task's arrays, whose share is *RSS before solving*. "
        "*Other load* is the average number of cores kept busy by other processes during a measurement (from "
        "/proc/stat, less the measured processes' own CPU time); the largest over a row's measurements is "
        "shown, and anything well above 0 means a timing was disturbed.")
    add("")
    if m.compared:
        lines += comparison_sections(args, m)
        add("## The candidate on its own")
        add("")
        add("The candidate's measurements from the same run, with the straightforward rescan construction "
            "(measured for the candidate only) and the targets.")
        add("")
    lines += single_sections(args, m, m.builds[0].role)
    for b in m.builds:
        if b.dirty:
            lines += [f"Uncommitted changes were present in the measured tree ({b.role}):", "", "```", *b.dirty,
                      "```", ""]
    return "\n".join(lines)


# --------------------------------------------------------------------------
# Baseline against candidate


# The first columns of a table whose rows are solve configurations.
SOLVE_COLUMNS = [Column("Solver", lambda c: c.label), Column("Size", lambda c: square(c.size))]


def comparison_time_columns(m: Measurements) -> list[Column]:
    def seconds(role, threads):
        return lambda c: fmt_seconds(m.seconds(role, c, threads))

    def ratio(threads):
        return lambda c: f"**{fmt_ratio(m.ratio(c, threads))}**"

    return [*SOLVE_COLUMNS, Column("Per", lambda c: c.unit),
            Column("1 thread: baseline", seconds("baseline", 1)), Column("candidate", seconds("candidate", 1)),
            Column("ratio", ratio(1)),
            Column("2 threads: baseline", seconds("baseline", 2)), Column("candidate", seconds("candidate", 2)),
            Column("ratio", ratio(2)),
            Column("Speed-up 2 / 1: baseline", lambda c: fmt_ratio(m.speedup("baseline", c))),
            Column("candidate", lambda c: fmt_ratio(m.speedup("candidate", c))),
            Column("Values × rounds", lambda c: f"{len(m.series('candidate', c, 1).values())} × {c.rounds}"),
            Column("Other load (cores), max", lambda c: fmt_load(m.load(c)))]


def comparison_memory_columns(m: Measurements) -> list[Column]:
    def peak(role):
        return lambda c: fmt_mib(m.peak_rss_kib(role, c))

    def grown(role):
        return lambda c: fmt_mib(m.peak_rss_kib(role, c) - m.rss_before_kib(role, c))

    return [*SOLVE_COLUMNS, Column("Peak RSS: baseline", peak("baseline")), Column("candidate", peak("candidate")),
            Column("ratio", lambda c: fmt_ratio(m.peak_rss_kib("baseline", c) / m.peak_rss_kib("candidate", c))),
            Column("Grown while solving: baseline", grown("baseline")), Column("candidate", grown("candidate"))]


# Rows: (key, baseline's report, candidate's report).
COMPARISON_STEP_COLUMNS = [
    Column("Size", lambda r: square(r[0][0])),
    Column("Weight", lambda r: weight(r[0][1])),
    Column("Steps: baseline", lambda r: f"{r[1]['steps']:,}"),
    Column("candidate", lambda r: f"{r[2]['steps']:,}"),
    Column("ns / step: baseline", lambda r: fmt_ns(r[1]["ns_per_step"])),
    Column("candidate", lambda r: fmt_ns(r[2]["ns_per_step"])),
    Column("ratio", lambda r: f"**{fmt_ratio(r[1]['ns_per_step'] / r[2]['ns_per_step'])}**"),
    Column("Runs", lambda r: f"{r[2]['runs']}"),
    Column("In flight: baseline", lambda r: in_flight(r[1])),
    Column("candidate", lambda r: in_flight(r[2])),
    Column("Other load (cores), max", lambda r: fmt_load(max_load(r[1]["other_cores"], r[2]["other_cores"]))),
]

IN_FLIGHT_NOTE = (
    "*In flight* is how many constructions one thread keeps going at once, advancing each a stage at a time so "
    "that one's cache misses are fetched while it works on the others; it depends on the task's size and was "
    "chosen with `construction_bench --in-flight K` at 100×100, 300×300 and 1000×1000: **1 below 4,096 cells**, "
    "where one construction's data stays in the nearest caches and the bookkeeping would cost more than it "
    "hides; **2 below 2¹⁸ cells**, while a construction's state (about a byte per cell) fits the second-level "
    "cache, where two gain a few percent and more gain nothing; **5 beyond**, where every step misses to memory "
    "and three to eight did alike (five splits a thread's ten ants of a batch on two threads into full rounds). "
    "A revision without the pipeline builds one at a time (—).")


HANDOVER_NOTE = (
    "handover_bench runs batches of 20 items of 200 ns of busy work each on the worker pool, with 2 µs of the "
    "caller's own work between batches, as a solver's bookkeeping between iterations. *Hand-over* is the wall "
    "time per batch beyond that work (the items' work spread over the workers, plus the caller's); *CPU* is the "
    "process's CPU time per batch, which shows threads spinning while others work. The pinned rows run the "
    "caller and its workers on one CPU (`taskset`). The host's scheduling moves a hand-over of a few "
    "microseconds by as much again from one run to the next, so the **median of the runs** is given.")


def handover_label(key: tuple) -> str:
    return HandoverConfig(*key).label


def fmt_us(us: float) -> str:
    return f"{us:.2f}"


def handover_ratio(baseline: float, candidate: float) -> str:
    # A hand-over can measure zero or less when the work ran faster than its
    # calibration predicted: no ratio then.
    return f"**{fmt_ratio(baseline / candidate)}**" if baseline > 0 and candidate > 0 else "—"


# Rows: (key, baseline's report, candidate's report).
COMPARISON_HANDOVER_COLUMNS = [
    Column("Pool", lambda r: handover_label(r[0])),
    Column("Hand-over µs / batch: baseline", lambda r: fmt_us(r[1]["handover_us"])),
    Column("candidate", lambda r: fmt_us(r[2]["handover_us"])),
    Column("ratio", lambda r: handover_ratio(r[1]["handover_us"], r[2]["handover_us"])),
    Column("CPU µs / batch: baseline", lambda r: fmt_us(r[1]["cpu_us_per_batch"])),
    Column("candidate", lambda r: fmt_us(r[2]["cpu_us_per_batch"])),
    Column("Runs", lambda r: f"{r[2]['runs']}"),
    Column("Other load (cores), max", lambda r: fmt_load(max_load(r[1]["other_cores"], r[2]["other_cores"]))),
]

# Rows: (key, report).
HANDOVER_COLUMNS = [
    Column("Pool", lambda r: handover_label(r[0])),
    Column("Batch µs", lambda r: fmt_us(r[1]["batch_us"])),
    Column("Work µs", lambda r: fmt_us(r[1]["work_us"])),
    Column("Hand-over µs", lambda r: fmt_us(r[1]["handover_us"])),
    Column("CPU µs / batch", lambda r: fmt_us(r[1]["cpu_us_per_batch"])),
    Column("Runs", lambda r: f"{r[1]['runs']}"),
    Column("Other load (cores)", lambda r: fmt_load(r[1]["other_cores"])),
]


def in_flight(r: dict) -> str:
    return f"{r['in_flight']}" if "in_flight" in r else "—"


def at_a_glance(args, m: Measurements) -> list[tuple[str, str]]:
    base, cand = m.builds[1], m.builds[0]
    rows = []
    by_key = {c.key: c for c in m.configs}
    for solver, name in (("prob", "probabilistic (kmax=100)"), ("ant", "default ant colony")):
        for size in (100, 300, 1000):
            config = by_key.get((solver, size, None, False))
            text = ""
            if config is not None:
                text = (f"{fmt_ratio(m.ratio(config, 1))} (1 thread), {fmt_ratio(m.ratio(config, 2))} (2 threads) "
                        "per solve")
            if solver == "ant" and size == 1000:
                per_iteration = next((c for c in m.configs if c.solver == "ant" and c.size == 1000
                                      and c.per_iteration), None)
                if per_iteration is not None:
                    text += ("; " if text else "") + (
                        f"{fmt_ratio(m.ratio(per_iteration, 1))} (1 thread), "
                        f"{fmt_ratio(m.ratio(per_iteration, 2))} (2 threads) per iteration, "
                        f"from {per_iteration.effective_kmax}-iteration solves")
            rows.append((f"Time ratio, {name}, {square(size)}", text or not_run(args)))
    default_1000 = by_key.get(("ant", 1000, None, False))
    rss_source = default_1000 or next((c for c in m.configs if c.solver == "ant" and c.size == 1000), None)
    if rss_source is not None:
        pb, pc = m.peak_rss_kib("baseline", rss_source), m.peak_rss_kib("candidate", rss_source)
        how = "default solve" if rss_source is default_1000 else (
            f"from solves of {rss_source.effective_kmax} iterations standing in for the default 100: most of "
            "the memory is taken at the start of a solve, but some may still be added in later iterations, so "
            "this can understate a default solve's peak by a little; the full mode measures the default solve")
        rows.append(("Peak RSS, default ant colony, 1000×1000",
                     f"baseline {fmt_mib(pb)} MiB, candidate {fmt_mib(pc)} MiB: {fmt_ratio(pb / pc)} ({how})"))
    for b in (cand, base):
        speedups = [(m.speedup(b.role, c), c) for c in m.configs]
        low = min(speedups, key=lambda sc: sc[0])
        rows.append((f"Two threads over one, {b.role}",
                     f"{min(s for s, _ in speedups):.2f}× to {max(s for s, _ in speedups):.2f}× over "
                     f"{len(speedups)} rows (lowest: {low[1].label} {square(low[1].size)})"))
    slower = [f"{c.label} {square(c.size)}, {threads_word(t)}: {fmt_ratio(m.ratio(c, t))}"
              for c in m.configs for t in THREADS if m.ratio(c, t) < 1.0]
    rows.append(("Rows where the candidate is slower (ratio < 1.00)", "; ".join(slower) if slower else "none"))
    return rows


def comparison_sections(args, m: Measurements) -> list[str]:
    base, cand = m.builds[1], m.builds[0]
    lines = ["## Baseline against candidate", "",
             f"**Baseline**: {base.source}. **Candidate**: {cand.source}. Both were built by this run from their "
             "own source and measured on the same ladder in one run. Their measurements are interleaved: for every "
             "row, round and thread setting one revision runs and then the other, the order alternating from one "
             "to the next, so that a change in the machine's load over the run hits both alike. *Ratio* is "
             "baseline / candidate: **above 1.00 the candidate is faster** (or, for memory, smaller).", "",
             "### Time", "",
             "Seconds per solve (per iteration where the row says so), medians as above. *Values* counts the timed "
             "pyperf values per revision and thread setting, *rounds* the interleaved invocations they came from.",
             ""]
    lines += table(comparison_time_columns(m), m.configs)
    lines += ["### Peak memory", "",
              "Peak RSS of the largest worker process, MiB; *grown* is peak RSS less the RSS before the first timed "
              "solve, the part the solver and its result account for.", ""]
    lines += table(comparison_memory_columns(m), m.configs)
    lines += ["### Construction steps (construction_bench, production construction)", "",
              "Each revision's own `construction_bench`, built from its own source, on the same task and generator "
              "sequence; single thread. A run repeats the same work, yet one process runs up to a quarter faster or "
              "slower than the next (where its memory lands), so the **median of the runs** is given. "
              "Weight η² is an ant's in its first iteration, η the probabilistic solver's.", ""]
    steps = [(key, m.constructions["baseline"][key], m.constructions["candidate"][key])
             for key in sorted(m.constructions["baseline"], key=lambda k: (k[0], -k[1]))
             if key in m.constructions["candidate"]]
    lines += table(COMPARISON_STEP_COLUMNS, steps)
    lines += [IN_FLIGHT_NOTE, ""]
    handovers = [(key, m.handovers["baseline"][key], m.handovers["candidate"][key])
                 for key in m.handovers.get("candidate", {}) if key in m.handovers.get("baseline", {})]
    if handovers:
        lines += ["### Batch hand-over (handover_bench)", "", HANDOVER_NOTE, ""]
        lines += table(COMPARISON_HANDOVER_COLUMNS, handovers)
    lines += ["### At a glance", ""]
    lines += table(pairs("Question", "Measured"), at_a_glance(args, m))
    lines += ["A ratio within a few percent of 1.00 is within what two runs of the same code differ by on this "
              "machine; `--baseline HEAD` on a clean tree measures that noise directly.", "",
              "### pyperf's comparison", "",
              "`python3 -m pyperf compare_to` on the same values (kept in `build/bench-results/`): it compares "
              "**means** and hides the rows whose difference Student's t-test does not find significant; a row "
              "with one value per side is always shown.", ""]
    for threads in THREADS:
        text = pyperf_compare(m.pyperf_paths, threads)
        if text:
            lines += [f"{threads_word(threads)}:", "", text, ""]
    noisy = [f"{c.label} {square(c.size)} ({m.load(c):.2f})" for c in m.configs if disturbed(m.load(c))]
    noisy += [f"construction_bench {'rescan' if k[2] else 'production'} {square(k[0])} {weight(k[1])} "
              f"({role}, {r['other_cores']:.2f})"
              for role in ("baseline", "candidate") for k, r in m.constructions[role].items()
              if disturbed(r["other_cores"])]
    noisy += [f"handover_bench {handover_label(k)} ({role}, {r['other_cores']:.2f})"
              for role in ("baseline", "candidate") for k, r in m.handovers.get(role, {}).items()
              if disturbed(r["other_cores"])]
    lines += disturbed_note(noisy, "of them")
    return lines


# --------------------------------------------------------------------------
# One revision


def native_column(constructions: dict[tuple, dict]) -> Column:
    """construction_bench's production construction at a solve's size and weight."""

    def native(c):
        fast = constructions.get((c.size, c.beta, False))
        return fmt_ns(fast["ns_per_step"]) if fast else "—"

    return Column("ns / step (native)", native)


def single_solve_columns(m: Measurements, role: str) -> list[Column]:
    constructions = m.constructions[role]

    def s(threads):
        return lambda c: m.series(role, c, threads)

    def straightforward(c):
        rescan = constructions.get((c.size, c.beta, True))
        if rescan is None:
            return "not run"
        if rescan["cut_short"]:
            return f"{fmt_ns(rescan['ns_per_step'])} (first {rescan['steps']:,} steps only)"
        return fmt_ns(rescan["ns_per_step"])

    one, two = s(1), s(2)
    return [*SOLVE_COLUMNS, Column("Per", lambda c: c.unit),
            Column("Candidates / unit", lambda c: f"{c.candidates:,}"),
            Column("Values", lambda c: f"{len(one(c).values())}"),
            Column("Time / unit, 1 thread", lambda c: fmt_seconds(one(c).seconds())),
            Column("Time / unit, 2 threads", lambda c: fmt_seconds(two(c).seconds())),
            Column("Speed-up 2 / 1", lambda c: f"{m.speedup(role, c):.2f}×"),
            Column("Candidates / s, 2 threads", lambda c: fmt_count(c.candidates / two(c).seconds())),
            native_column(constructions),
            Column("straightforward ns / step", straightforward),
            Column("Peak RSS MiB", lambda c: fmt_mib(m.peak_rss_kib(role, c))),
            Column("RSS before solving MiB", lambda c: fmt_mib(m.rss_before_kib(role, c))),
            Column("Other load (cores) 1T / 2T",
                   lambda c: f"{fmt_load(one(c).other_cores())} / {fmt_load(two(c).other_cores())}"),
            Column("Attempts 1T / 2T", lambda c: f"{one(c).attempts()} / {two(c).attempts()}")]


def per_step_columns(m: Measurements, role: str) -> list[Column]:
    def approx(c):
        picked = m.series(role, c, 1).picked()
        return fmt_ns(m.seconds(role, c, 1) * 1e9 / (c.candidates * picked) if picked else float("nan"))

    return [*SOLVE_COLUMNS,
            Column("Cells in best (median)", lambda c: f"{m.series(role, c, 1).picked():,.0f}"),
            Column("solve ns/step ≈, 1 thread", approx),
            native_column(m.constructions[role]),
            Column("CPU / wall, 2 threads", lambda c: f"{m.series(role, c, 2).cpu_per_wall():.2f}")]


def construction_columns(constructions: dict[tuple, dict]) -> list[Column]:
    """Rows: ((size, beta, rescan), report)."""

    def done(row):
        (_, _, rescan), r = row
        if rescan and r["cut_short"]:
            return f"{r['completed']} + 1 cut short after {r['steps']:,} steps"
        return f"{r['completed']}"

    def versus(row):
        (size, beta, rescan), r = row
        other = None if rescan else constructions.get((size, beta, True))
        if rescan:
            return ""
        if not other:
            return "—"
        speed = other["ns_per_step"] / r["ns_per_step"]
        text = f"{speed:,.0f}× faster" if speed >= 10 else f"{speed:.2f}×"
        return text + (" (vs first steps only)" if other["cut_short"] else "")

    return [Column("Size", lambda row: square(row[0][0])),
            Column("Weight", lambda row: weight(row[0][1])),
            Column("Construction", lambda row: "straightforward rescan" if row[0][2] else "production"),
            Column("Candidates", done),
            Column("Steps", lambda row: f"{row[1]['steps']:,}"),
            Column("ns / step", lambda row: fmt_ns(row[1]["ns_per_step"])),
            Column("Runs", lambda row: f"{row[1]['runs']}"),
            Column("Exact-scan steps", lambda row: "—" if row[0][2] else f"{row[1]['exact_steps']:,}"),
            Column("In flight", lambda row: in_flight(row[1])),
            Column("Batch setup ms", lambda row: f"{row[1]['setup_ms']:.2f}"),
            Column("Fast / straightforward", versus),
            Column("Other load (cores)", lambda row: fmt_load(row[1]["other_cores"]))]


def extrapolated(m: Measurements, role: str) -> list[tuple[str, str, str, str]]:
    """What a default ant colony solve would take with the rescan construction."""
    constructions = m.constructions[role]
    measured = {c.size: m.seconds(role, c, 1) for c in m.configs if c.solver == "ant" and c.is_default}
    rows = []
    for size in sorted({k[0] for k in constructions if k[2]}):
        fast, slow = constructions.get((size, 2.0, False)), constructions.get((size, 2.0, True))
        if not fast or not slow or not fast["completed"]:
            continue
        steps = fast["steps"] / fast["completed"]
        estimate = slow["ns_per_step"] * 1e-9 * steps * ANT_CANDIDATES
        when = fmt_seconds(estimate)
        if estimate >= 3600:
            when = f"{estimate:,.0f} s ≈ {estimate / 3600:,.1f} h" + (f" ≈ {estimate / 86400:.1f} days"
                                                                      if estimate >= 86400 else "")
        if slow["cut_short"]:
            when += " (from the first steps only)"
        rows.append((square(size), f"{steps:,.0f}", f"≈ {when}",
                     fmt_seconds(measured[size]) if size in measured else "—"))
    return rows


CEILING_COLUMNS = [
    Column("Size", lambda c: square(c["size"])),
    Column("Constructions per copy", lambda c: f"{c['constructions']}"),
    Column("Alone s", lambda c: f"{c['alone']:.3f}"),
    Column("Two at once s", lambda c: f"{c['pair']:.3f}"),
    Column("Throughput of two", lambda c: f"{c['throughput']:.2f}×"),
    Column("Other load (cores) alone / two", lambda c: f"{fmt_load(c['other_cores'])} / "
                                                      f"{fmt_load(c['pair_other_cores'])}"),
]


def targets(args, m: Measurements, role: str) -> list[tuple[str, str, str]]:
    constructions = m.constructions[role]
    by_key = {c.key: c for c in m.configs}
    rows = []
    for size, limit in ((100, 1.0), (300, 15.0), (1000, 300.0)):
        config = by_key.get(("ant", size, None, False))
        target = f"ant colony {square(size)} ≤ {limit:g} s"
        if config is None:
            rows.append((target, not_run(args), "—"))
            continue
        two, one = m.seconds(role, config, 2), m.seconds(role, config, 1)
        text = f"{two:.3g} s (1 thread: {one:.3g} s)"
        ok = two <= limit
        if size == 1000:
            fast = constructions.get((1000, 2.0, False))
            text += f"; {fast['ns_per_step']:.0f} ns per construction step (native)" if fast else ""
            ok = ok and fast is not None and fast["ns_per_step"] <= 1000
            target += " at ≤ 1 µs per step"
        rows.append((target, text, verdict(ok)))
    config = by_key.get(("prob", 100, 100_000, False))
    target = "probabilistic kmax=100000, 100×100: peak RSS < 200 MB"
    if config is None:
        rows.append((target, not_run(args), "—"))
    else:
        peak = m.peak_rss_kib(role, config) * 1024
        rows.append((target, f"{peak / MB:.1f} MB ({peak / 2**20:.1f} MiB; 1 thread "
                     f"{m.series(role, config, 1).peak_rss_kib() * 1024 / MB:.1f} MB, 2 threads "
                     f"{m.series(role, config, 2).peak_rss_kib() * 1024 / MB:.1f} MB)", verdict(peak < 200 * MB)))
    speedups = [(m.speedup(role, c), c) for c in m.configs]
    low = [f"{c.label} {square(c.size)}: {v:.2f}×" for v, c in speedups if v < 1.8]
    text = f"{min(v for v, _ in speedups):.2f}× to {max(v for v, _ in speedups):.2f}× over {len(speedups)} rows"
    if low:
        text += "; below 1.8×: " + "; ".join(low)
    if m.ceiling:
        text += ("; for comparison, two independent single-threaded processes reach "
                 + ", ".join(f"{c['throughput']:.2f}× ({square(c['size'])})" for c in m.ceiling))
    rows.append(("2 threads ≥ 1.8× one thread (every row: batches of 20 ants or ≥ 100 samples)", text,
                 verdict(not low)))
    return rows


def single_sections(args, m: Measurements, role: str) -> list[str]:
    constructions = m.constructions[role]
    lines = ["## Solves", "",
             "*ns/step (native)* is construction_bench's production construction on the same size and the "
             "solver's cell weights; *straightforward ns/step* is the reference rescan construction on the same "
             "task. A measurement that other processes disturbed is taken again (up to `--retries` times) and the "
             "least disturbed attempt is kept; *Attempts* counts the invocations, over all rounds.", ""]
    lines += table(single_solve_columns(m, role), m.configs)
    lines += ["### Per step inside the solve", "",
              "The Python API does not report step counts. As a rough cross-check of the native column, "
              "*solve ns/step ≈* divides the 1-thread time by candidates × the number of cells in the "
              "returned best assignment (a candidate's step count is its number of cells; the best one is only "
              "a proxy for the average). It includes everything a solve does besides constructing: weights, "
              "scoring, pheromone update. *CPU / wall, 2 threads* is the workers' CPU time over their wall time "
              "while solving with two threads (2.0 = both cores busy throughout).", ""]
    lines += table(per_step_columns(m, role), m.configs)
    lines += ["## Construction steps (construction_bench)", "",
              "Single thread, fixed generator sequence. Weight η² is an ant's in its first iteration (τ = 1, "
              "α = 1, β = 2); η is the probabilistic solver's. *Exact-scan steps* are steps of the production "
              "construction that fell back to the exact left-to-right sums. *Runs*: the production construction "
              "runs several times and the median is given.", IN_FLIGHT_NOTE, ""]
    lines += table(construction_columns(constructions),
                   sorted(constructions.items(), key=lambda kv: (kv[0][0], -kv[0][1], kv[0][2])))
    if any(rescan and r["cut_short"] for (_, _, rescan), r in constructions.items()):
        lines += ["A rescan that was cut short is timed over its first steps only, when nearly every cell is still "
                  "a candidate; later steps have fewer candidates (the budget excludes more cells) and are "
                  "somewhat cheaper, so this figure leans high.", ""]
    lines += ["### The straightforward construction over a whole solve (extrapolated, not run)", "",
              "What a default ant colony solve (2,000 candidates) would take on one thread with the "
              "straightforward construction, **extrapolated** from the measurements above as straightforward "
              "ns/step × steps per candidate (production run, weight η²) × 2,000, next to the measured 1-thread "
              "solve. Only the construction is counted, so the extrapolation errs low; where the rescan was cut "
              "short, its early-step figure makes it err high. The reference rescan reads precomputed cell "
              "weights; one that also recomputed τ^α · η^β for every cell at every step would be slower still.", ""]
    lines += table(pairs("Size", "Steps per candidate", "Straightforward solve, extrapolated",
                         "Measured solve, 1 thread"), extrapolated(m, role))
    handovers = m.handovers.get(role, {})
    if handovers:
        lines += ["## Batch hand-over (handover_bench)", "", HANDOVER_NOTE, ""]
        lines += table(HANDOVER_COLUMNS, list(handovers.items()))
    if m.ceiling:
        lines += ["## Two-core ceiling", "",
                  "Two threads of one solve cannot scale better than two independent processes. Here "
                  "construction_bench (single-threaded, production construction, weight η²) runs alone and then as "
                  "two copies at once; *throughput* is 2 × (time alone) / (time of the slower copy), 2.00 meaning "
                  "the copies do not slow each other at all.", ""]
        lines += table(CEILING_COLUMNS, m.ceiling)
    noisy = [f"{c.label} {square(c.size)} ({threads_word(t)}: {m.series(role, c, t).other_cores():.2f})"
             for c in m.configs for t in THREADS if disturbed(m.series(role, c, t).other_cores())]
    noisy += [f"two-core ceiling {square(c['size'])} ({fmt_load(c['other_cores'])} alone, "
              f"{fmt_load(c['pair_other_cores'])} two at once)" for c in m.ceiling
              if disturbed(c["other_cores"]) or disturbed(c["pair_other_cores"])]
    noisy += [f"construction_bench {'rescan' if rs else 'production'} {square(size)} {weight(beta)} "
              f"({r['other_cores']:.2f})" for (size, beta, rs), r in constructions.items() if disturbed(r["other_cores"])]
    noisy += [f"handover_bench {handover_label(k)} ({r['other_cores']:.2f})" for k, r in handovers.items()
              if disturbed(r["other_cores"])]
    lines += disturbed_note(noisy, "measurement(s)")
    lines += ["## Targets", "",
              "Seconds per solve are the 2-thread medians (two threads is what a solve uses by default on this "
              "machine).", ""]
    lines += table(pairs("Target", "Measured", "Verdict"), targets(args, m, role))
    speedups = [(m.speedup(role, c), c) for c in m.configs]
    above = [f"{c.label} {square(c.size)}: {v:.2f}×" for v, c in speedups if v > 2.05]
    above += [f"two-core ceiling {square(c['size'])}: {c['throughput']:.2f}×" for c in m.ceiling
              if c["throughput"] > 2.05]
    if above:
        lines += ["**More than 2× on two cores** (" + "; ".join(above) + ") is not a gain from parallelism: the "
                  "runs being compared did not go at the same speed per core, although no other process was seen "
                  "busy. Single runs of the large tasks (1000×1000 especially) vary by this much from one run to "
                  "the next on this machine, so read such differences as run-to-run variation, and compare "
                  "repeated full runs before trusting a margin of a few tens of percent.", ""]
    return lines


def raw_json(info: dict, m: Measurements) -> dict:
    def series(role, c, t):
        s = m.series(role, c, t)
        return {"values": s.values(), "median": s.seconds(), "peak_rss_kib": s.peak_rss_kib(),
                "other_cores": [i.other_cores for i in s.invocations], "side": s.side()}

    return {
        "machine": info,
        "revisions": {b.role: {"source": b.source, "commit": b.commit, "dirty": b.dirty} for b in m.builds},
        "constructions": {role: [dict(r) for r in rs.values()] for role, rs in m.constructions.items()},
        "ceiling": m.ceiling,
        "handovers": {role: [dict(r) for r in rs.values()] for role, rs in m.handovers.items()},
        "solves": [
            {"solver": c.solver, "size": c.size, "kmax": c.kmax, "per_iteration": c.per_iteration,
             "unit": c.unit, "name": c.name,
             "revisions": {b.role: {str(t): series(b.role, c, t) for t in THREADS} for b in m.builds}}
            for c in m.configs
        ],
    }
