"""What to measure and measuring it: the ladder of configurations, how busy
other processes keep the machine, one child measured from outside, and the
interleaved runs of every revision (pyperf for solves, construction_bench for
construction steps and the two-core ceiling, handover_bench for the cost of
handing a batch to the worker pool)."""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import pyperf_io
from pyperf_io import THREADS, Invocation, Series
from revisions import ROOT, Build, log
from solve_once import benchmark_name

NUM_ANTS = 20  # the ant colony's default
DEFAULT_KMAX = 100  # both solvers' default
ANT_CANDIDATES = NUM_ANTS * DEFAULT_KMAX
DISTURBED = 0.3  # cores kept busy by other processes that make a measurement suspect


# --------------------------------------------------------------------------
# What to run


@dataclass
class SolveConfig:
    solver: str  # "ant" or "prob"
    size: int
    kmax: int | None = None  # None: the solver's default (100 for both)
    per_iteration: bool = False  # values are seconds per ant colony iteration
    rounds: int = 1  # interleaved pyperf invocations per revision and thread setting
    processes: int = 1  # pyperf worker processes per invocation
    values: int = 3  # pyperf values per worker
    loops: int | None = None  # solves per value; None: pyperf calibrates once, then reused
    warmups: int = 1

    @property
    def key(self) -> tuple:
        return (self.solver, self.size, self.kmax, self.per_iteration)

    @property
    def name(self) -> str:
        return benchmark_name(self.solver, self.size, self.kmax, self.per_iteration)

    @property
    def effective_kmax(self) -> int:
        return DEFAULT_KMAX if self.kmax is None else self.kmax

    @property
    def label(self) -> str:
        if self.solver == "ant":
            if self.per_iteration:
                return f"ant colony (20 ants x {self.effective_kmax} it.), per iteration"
            return f"ant colony (20 ants x {self.effective_kmax} it.)"
        return f"probabilistic (kmax={self.effective_kmax})"

    @property
    def unit(self) -> str:
        return "iteration" if self.per_iteration else "solve"

    @property
    def candidates(self) -> int:
        """Candidates built per unit (solve or iteration)."""
        if self.solver == "ant":
            return NUM_ANTS * (1 if self.per_iteration else self.effective_kmax)
        return self.effective_kmax

    @property
    def beta(self) -> float:
        # The weight each construction draws by: tau * eta^2 for an ant
        # (tau = 1 in the first iteration), eta for a probabilistic sample.
        return 2.0 if self.solver == "ant" else 1.0

    @property
    def is_default(self) -> bool:
        return self.kmax is None and not self.per_iteration


@dataclass
class ConstructionConfig:
    size: int
    beta: float
    rescan: bool
    constructions: int
    max_steps: int = 0  # 0: no cap
    rounds: int = 1  # interleaved runs per revision; the median is kept

    @property
    def key(self) -> tuple:
        return (self.size, self.beta, self.rescan)


def plan(full: bool) -> tuple[list[SolveConfig], list[ConstructionConfig]]:
    """The ladder. Solves of a few milliseconds get pyperf's calibrated loops
    (each value at least 0.1 s of solving) and several worker processes;
    solves of seconds one solve per value; the default ant colony solve on
    1000 x 1000 (minutes) runs once per revision and thread setting, and only
    in full mode. Its time per iteration is measured on every run with a
    short kmax, and that run's peak RSS stands in for the default solve's in
    quick mode (memory does not grow with iterations)."""
    sizes = (10, 30, 100, 300, 1000) if full else (10, 30, 100)
    short = {"rounds": 3 if full else 2, "processes": 2 if full else 1, "values": 3, "warmups": 1}
    long = {"rounds": 3 if full else 1, "processes": 1, "values": 1, "loops": 1, "warmups": 0}
    solves: list[SolveConfig] = []
    for size in sizes:
        if size <= 100:
            solves.append(SolveConfig("ant", size, **short))
            solves.append(SolveConfig("prob", size, **short))
        elif size == 300:
            solves.append(SolveConfig("ant", size, **long))
            solves.append(SolveConfig("prob", size, **short))
        else:
            solves.append(SolveConfig("ant", size, rounds=1, processes=1, values=1, loops=1, warmups=0))
            solves.append(SolveConfig("prob", size, **{**long, "rounds": 2}))
    solves.append(SolveConfig("ant", 1000, kmax=3 if full else 2, per_iteration=True,
                              **{**long, "rounds": 2 if full else 1}))
    if full:
        solves.append(SolveConfig("prob", 100, kmax=100_000, rounds=1, processes=1, values=1, loops=1, warmups=0))

    # At least 0.3 s of the production construction per run, long enough
    # for /proc/stat to tell the load during the run; a run's work is the
    # same every time (fixed generator), yet one process of the same program
    # runs up to a quarter faster or slower than the next (where its memory
    # lands), so the median of the rounds is kept. The rescan of a 300 x 300 task takes seconds per
    # candidate and that of a 1000 x 1000 task most of an hour, so the latter
    # is timed over its first steps only and labelled as such.
    fast_constructions = {10: 80_000, 30: 15_000, 100: 1000, 300: 100, 1000: 5}
    rescan = {10: (50, 0), 30: (10, 0), 100: (1, 0), 300: (1, 0), 1000: (1, 2000)}
    constructions = []
    for size in sorted(set(sizes) | {1000}):
        for beta in (2.0, 1.0):
            constructions.append(ConstructionConfig(size, beta, False, fast_constructions[size],
                                                    rounds=7 if full else 3))
            if size in sizes:
                count, cap = rescan[size]
                constructions.append(ConstructionConfig(size, beta, True, count, cap))
    return solves, constructions


@dataclass
class HandoverConfig:
    workers: int
    pinned: bool  # all threads on one CPU (taskset)
    rounds: int = 2  # interleaved runs per revision; the median is kept

    @property
    def key(self) -> tuple:
        return (self.workers, self.pinned)

    @property
    def label(self) -> str:
        return f"{self.workers} worker{'s' if self.workers > 1 else ''}" + (", pinned to one CPU" if self.pinned
                                                                             else "")


def handover_plan(full: bool) -> list[HandoverConfig]:
    """handover_bench's settings: one worker and two, each with the process
    free to use every CPU and pinned to a single one, where waiting for
    another thread by spinning only delays it."""
    rounds = 7 if full else 3
    return [HandoverConfig(workers, pinned, rounds) for pinned in (False, True) for workers in (1, 2)]


# --------------------------------------------------------------------------
# The machine and its load


def machine() -> dict[str, str]:
    info: dict[str, str] = {}
    with open("/proc/cpuinfo") as cpuinfo:
        models = [line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")]
    info["CPU"] = models[0] if models else platform.processor()
    info["Cores"] = f"{len(os.sched_getaffinity(0))} usable ({os.cpu_count()} online)"
    with open("/proc/meminfo") as meminfo:
        total_kib = int(next(line for line in meminfo if line.startswith("MemTotal")).split()[1])
    info["Memory"] = f"{total_kib / 1024 / 1024:.1f} GiB"
    os_name = platform.system()
    try:
        with open("/etc/os-release") as release:
            fields = dict(line.rstrip("\n").split("=", 1) for line in release if "=" in line)
        os_name = fields.get("PRETTY_NAME", os_name).strip('"')
    except OSError:
        pass
    info["OS"] = f"{os_name}, kernel {platform.release()}"
    numpy_version = subprocess.run([sys.executable, "-c", "import numpy; print(numpy.__version__)"],
                                   capture_output=True, text=True).stdout.strip()
    info["Python / NumPy / pyperf"] = (f"{platform.python_implementation()} {platform.python_version()} / "
                                       f"NumPy {numpy_version} / pyperf {pyperf_io.pyperf.__version__}")
    return info


def busy_jiffies() -> int:
    """CPU time spent by the whole machine so far, in clock ticks."""
    with open("/proc/stat") as stat:
        fields = stat.readline().split()[1:]
    user, nice, system, _idle, _iowait, irq, softirq, steal = (int(v) for v in fields[:8])
    return user + nice + system + irq + softirq + steal


def machine_load(seconds: float = 1.0) -> float:
    """Average number of busy cores over the next `seconds`."""
    hz = os.sysconf("SC_CLK_TCK")
    busy0, start = busy_jiffies(), time.perf_counter()
    time.sleep(seconds)
    return (busy_jiffies() - busy0) / hz / (time.perf_counter() - start)


def disturbed(cores: float | None) -> bool:
    return cores is not None and cores >= DISTURBED


def fmt_load(cores: float | None) -> str:
    return "—" if cores is None else f"{cores:.2f}"


class QuietWaiter:
    """Before each measurement, waits up to `each` seconds (and no more than
    `total` seconds over the whole run) for other processes to leave the
    cores alone: fewer than `threshold` busy cores over a second. The load is
    measured again during every measurement and reported, so a disturbed
    measurement shows up as one."""

    def __init__(self, each: float, total: float, threshold: float = DISTURBED):
        self.each, self.left, self.threshold = each, total, threshold

    def __call__(self) -> float:
        """Returns the load over the last half second or more before the
        measurement: the only reading there is for a child too short to
        measure during its run."""
        if self.each <= 0 or self.left <= 0:
            return machine_load(0.5)
        start = time.perf_counter()
        deadline = start + min(self.each, self.left)
        load = machine_load()
        if load >= self.threshold:
            log(f"    other processes keep {load:.2f} cores busy; waiting for a quiet machine")
            while load >= self.threshold and time.perf_counter() < deadline:
                load = machine_load(2.0)
            if load >= self.threshold:
                log(f"    still {load:.2f} cores busy; measuring anyway")
        self.left -= time.perf_counter() - start
        return load


@dataclass
class ChildRun:
    stdout: str
    wall: float  # whole child, including start-up
    child_cpu: float  # user + system of the child and its waited-for children, from wait4
    peak_rss_kib: int  # ru_maxrss from wait4: the largest process of the child's tree
    other_cores: float | None  # average cores kept busy by other processes meanwhile


def other_load(busy_before: int, busy_after: int, own_cpu: float, wall: float, before: float) -> float:
    """Cores kept busy by other processes while a measured child ran: the
    machine's busy time less the child's own. `before`, the reading taken just
    before, stands in for a child too short for /proc/stat's 10 ms ticks."""
    if wall < 0.3:
        return before
    return max(0.0, (busy_after - busy_before) / os.sysconf("SC_CLK_TCK") - own_cpu) / wall


def run_measured(command: list[str], env: dict[str, str] | None, before: float) -> ChildRun:
    """Runs one child to completion and measures it from outside: its
    resource use from wait4, and how busy the rest of the machine was."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        busy0, start = busy_jiffies(), time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=err, env=env, cwd=ROOT)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        wall, busy1 = time.perf_counter() - start, busy_jiffies()
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(), err.read().decode()
    if child.returncode != 0:
        sys.stderr.write(stdout + stderr)
        raise SystemExit(f"{' '.join(command)} failed with exit code {child.returncode}")
    child_cpu = usage.ru_utime + usage.ru_stime
    return ChildRun(stdout, wall, child_cpu, usage.ru_maxrss, other_load(busy0, busy1, child_cpu, wall, before))


# --------------------------------------------------------------------------
# Interleaved runs of every revision


def interleaved(builds: list[Build], round_index: int, thread_index: int) -> list[Build]:
    """The order of the revisions for one measurement: alternating from one
    round and thread setting to the next (ABBA), so that a drift in the
    machine's speed or load over the run hits both revisions alike."""
    return list(builds) if (round_index + thread_index) % 2 == 0 else list(reversed(builds))


def invoke_pyperf(config: SolveConfig, threads: int, loops: int | None, revision: Build,
                  quiet: QuietWaiter) -> Invocation:
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as scratch:
        output, sidecar = Path(scratch) / "result.json", Path(scratch) / "side.jsonl"
        command, env = pyperf_io.pyperf_command(config, threads, loops, revision.module_dir, output, sidecar)
        run = run_measured(command, env, quiet())
        return Invocation.read(output, sidecar, run.wall, run.peak_rss_kib, run.other_cores)


def measure_solves(configs: list[SolveConfig], builds: list[Build], quiet: QuietWaiter,
                   retries: int) -> dict[str, dict[tuple, dict[int, Series]]]:
    """Every configuration for every revision, their pyperf invocations
    interleaved. An invocation that other processes disturbed is taken again,
    up to `retries` times; the least disturbed attempt is kept (and reported
    with the load it saw)."""
    results: dict[str, dict[tuple, dict[int, Series]]] = {b.role: {} for b in builds}
    for config in configs:
        loops = config.loops
        for b in builds:
            results[b.role][config.key] = {t: Series() for t in THREADS}
        for round_index in range(config.rounds):
            for thread_index, threads in enumerate(THREADS):
                for revision in interleaved(builds, round_index, thread_index):
                    log(f"  {config.label}, {config.size}x{config.size}, {threads} thread(s), {revision.role}, "
                        f"round {round_index + 1}/{config.rounds} ...")
                    kept: Invocation | None = None
                    for attempt in range(retries + 1):
                        invocation = invoke_pyperf(config, threads, loops, revision, quiet)
                        log(f"    median {statistics.median(invocation.bench.get_values()):.4g} s per {config.unit} "
                            f"over {invocation.bench.get_nvalue()} value(s) of {invocation.bench.get_loops()} "
                            f"loop(s), other load {fmt_load(invocation.other_cores)}")
                        if kept is None or (invocation.other_cores or 0.0) < (kept.other_cores or 0.0):
                            kept = invocation
                        if not disturbed(kept.other_cores) or attempt == retries:
                            break
                        log("    disturbed by other processes; measuring again")
                    kept.attempts = attempt + 1
                    if loops is None:
                        # pyperf calibrated the first invocation; every later
                        # one, of either revision, runs as many solves per value.
                        loops = kept.bench.get_loops()
                    results[revision.role][config.key][threads].invocations.append(kept)
    return results


def measure_constructions(configs: list[ConstructionConfig], builds: list[Build],
                          quiet: QuietWaiter) -> dict[str, dict[tuple, dict]]:
    """construction_bench of every revision on every configuration,
    interleaved; a rescan runs only for the first revision (the measured
    tree). The run with the median time is kept, with the runs counted and
    the largest other load any of them saw."""
    runs: dict[str, dict[tuple, list[dict]]] = {b.role: {} for b in builds}
    for config in configs:
        targets = builds[:1] if config.rescan else builds
        for round_index in range(config.rounds):
            for revision in interleaved(targets, round_index, 0):
                command = [str(revision.program), str(config.size), str(config.constructions),
                           "--beta", str(config.beta), "--json"]
                if config.rescan:
                    command.append("--rescan")
                if config.max_steps:
                    command += ["--max-steps", str(config.max_steps)]
                log(f"  {revision.role}: construction_bench {' '.join(command[1:])} ...")
                run = run_measured(command, None, quiet())
                report = {**json.loads(run.stdout), "other_cores": run.other_cores, "runs": 1}
                log(f"    {report['ns_per_step']:.1f} ns/step over {report['steps']} steps, "
                    f"other load {fmt_load(run.other_cores)}")
                runs[revision.role].setdefault(config.key, []).append(report)
    return {role: {key: median_run(reports, "ns_per_step") for key, reports in by_key.items()}
            for role, by_key in runs.items()}


def measure_handovers(configs: list[HandoverConfig], builds: list[Build],
                      quiet: QuietWaiter) -> dict[str, dict[tuple, dict]]:
    """handover_bench of every revision that has one in every setting,
    interleaved. A hand-over is a few microseconds of waking and waiting,
    which the host's scheduling disturbs from run to run far more than it
    does a computation: the run with the median hand-over is kept, with the
    runs counted and the largest other load any of them saw."""
    targets = [b for b in builds if b.handover is not None]
    runs: dict[str, dict[tuple, list[dict]]] = {b.role: {} for b in targets}
    cpu = min(os.sched_getaffinity(0))
    for index, config in enumerate(configs):
        for round_index in range(config.rounds):
            for revision in interleaved(targets, round_index, index):
                command = [str(revision.handover), "--workers", str(config.workers), "--json"]
                if config.pinned:
                    command = ["taskset", "-c", str(cpu), *command]
                log(f"  {revision.role}: handover_bench, {config.label} ...")
                run = run_measured(command, None, quiet())
                report = {**json.loads(run.stdout), "pinned": config.pinned, "other_cores": run.other_cores,
                          "runs": 1}
                log(f"    {report['handover_us']:.2f} us hand-over, {report['cpu_us_per_batch']:.2f} us CPU "
                    f"per batch, other load {fmt_load(run.other_cores)}")
                runs[revision.role].setdefault(config.key, []).append(report)
    return {role: {key: median_run(reports, "handover_us") for key, reports in by_key.items()}
            for role, by_key in runs.items()}


def median_run(reports: list[dict], time: str) -> dict:
    """The run with the median `time` (the lower of the middle two), with
    the runs counted and the largest other load any saw."""
    ordered = sorted(reports, key=lambda r: r[time])
    other_cores = max((r["other_cores"] or 0.0 for r in reports), default=0.0)
    return {**ordered[(len(ordered) - 1) // 2], "runs": len(reports), "other_cores": other_cores}


def measure_ceiling(program: Path, sizes: tuple[int, ...], quiet: QuietWaiter) -> list[dict]:
    """How much two independent single-threaded processes slow each other
    down on this machine: the most two threads of one solve can hope for.
    construction_bench runs alone, then two copies at once."""
    results = []
    for size in sizes:
        # About a second alone, so the machine's load can be read too.
        constructions = {100: 1000, 300: 100, 1000: 8}.get(size, 10)
        command = [str(program), str(size), str(constructions), "--json"]
        log(f"  two-core ceiling: construction_bench {size} {constructions}, alone then two at once ...")
        alone = run_measured(command, None, quiet())
        before_pair = quiet()
        busy0, start = busy_jiffies(), time.perf_counter()
        pair = [subprocess.Popen(command, stdout=subprocess.PIPE, text=True) for _ in range(2)]
        outputs = [child.stdout.read() for child in pair]
        usages = [os.wait4(child.pid, 0) for child in pair]
        wall, busy1 = time.perf_counter() - start, busy_jiffies()
        if any(os.waitstatus_to_exitcode(status) != 0 for _, status, _ in usages):
            raise SystemExit("construction_bench failed")
        for child in pair:
            child.returncode = 0
            child.stdout.close()
        pair_cpu = sum(usage.ru_utime + usage.ru_stime for _, _, usage in usages)
        t_alone = json.loads(alone.stdout)["seconds"]
        t_pair = max(json.loads(output)["seconds"] for output in outputs)
        results.append({"size": size, "constructions": constructions, "alone": t_alone, "pair": t_pair,
                        "throughput": 2 * t_alone / t_pair, "other_cores": alone.other_cores,
                        "pair_other_cores": other_load(busy0, busy1, pair_cpu, wall, before_pair)})
        log(f"    alone {t_alone:.3f} s, two at once {t_pair:.3f} s: {2 * t_alone / t_pair:.2f}x the throughput")
    return results
