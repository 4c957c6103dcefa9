"""corvane's benchmark suite: one command, one Markdown report.

    python3 benchmarks/run.py --quick                                # a few minutes
    python3 benchmarks/run.py --full --write docs/benchmarks.md      # everything
    python3 benchmarks/run.py --quick --baseline 92f3013             # against an older commit
    python3 benchmarks/run.py --full --baseline 92f3013 --write docs/benchmarks.md

Builds the extension module and benchmarks/construction_bench.cpp from this
working tree (Release, into build/bench), then measures:

- every solve configuration with pyperf (benchmarks/solve_once.py): fresh
  worker processes, once with RAYON_NUM_THREADS=1 and once with
  RAYON_NUM_THREADS=2; seconds per solve (the median of pyperf's values),
  the workers' peak RSS and the speed-up of two threads over one;
- nanoseconds per construction step of the production construction (and,
  for the measured tree, of the straightforward rescan), with
  construction_bench on tasks of the same sizes (the Python API does not
  expose step counts).

--baseline REV also builds the committed revision REV from its own source
(git archive into build/bench-src-COMMIT) and measures both on the same
ladder, their runs interleaved, and reports both numbers and the ratio
baseline / candidate for every row. --installed measures the corvane that
`import corvane` finds instead of building one; --rev REV builds a committed
revision instead of the working tree. The pyperf results are kept in
build/bench-results/ for `python3 -m pyperf compare_to`, `stats` or `hist`.
Nothing here runs in CI: the full suite takes half an hour or more on two
cores, longer when other processes keep it waiting.
"""

from __future__ import annotations

import argparse
import copy
import datetime as dt
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

try:
    import pyperf
except ImportError:  # pragma: no cover - a message instead of a traceback
    raise SystemExit("the benchmarks need pyperf in this interpreter: python3 -m pip install pyperf "
                     "(or the project's 'bench' extra)")

ROOT = Path(__file__).resolve().parent.parent
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from solve_once import benchmark_name  # noqa: E402

THREADS = (1, 2)
NUM_ANTS = 20  # the ant colony's default
DEFAULT_KMAX = 100  # both solvers' default
ANT_CANDIDATES = NUM_ANTS * DEFAULT_KMAX
MB = 1_000_000
DISTURBED = 0.3  # cores kept busy by other processes that make a measurement suspect
# The variables pyperf passes on to its workers besides its own few (PATH,
# HOME, PYTHONPATH, ...). CORVANE_SEED and CORVANE_RELEASE_GIL are left out
# on purpose: every solve is measured unseeded, holding the interpreter lock.
ENV_PASSED = ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "CORVANE_BENCH_SIDECAR",
              "LD_LIBRARY_PATH")


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


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
    rounds: int = 1  # interleaved runs per revision; the fastest is kept

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
    # same every time (fixed generator), so the fastest of the rounds is kept. The rescan of a 300 x 300 task takes seconds per
    # candidate and that of a 1000 x 1000 task most of an hour, so the latter
    # is timed over its first steps only and labelled as such.
    fast_constructions = {10: 80_000, 30: 15_000, 100: 1000, 300: 100, 1000: 5}
    rescan = {10: (50, 0), 30: (10, 0), 100: (1, 0), 300: (1, 0), 1000: (1, 2000)}
    constructions = []
    for size in sorted(set(sizes) | {1000}):
        for beta in (2.0, 1.0):
            constructions.append(ConstructionConfig(size, beta, False, fast_constructions[size],
                                                    rounds=3 if full else 2))
            if size in sizes:
                count, cap = rescan[size]
                constructions.append(ConstructionConfig(size, beta, True, count, cap))
    return solves, constructions


# --------------------------------------------------------------------------
# Building


@dataclass
class Build:
    role: str  # "candidate" or "baseline"
    build_dir: Path
    module_dir: Path | None  # None: the installed corvane
    source: str  # a description for the report
    commit: str
    dirty: list[str] = field(default_factory=list)

    @property
    def program(self) -> Path:
        return self.build_dir / "construction_bench"


def git(*args: str, cwd: Path = ROOT) -> str:
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def build(role: str, installed: bool, rev: str | None) -> Build:
    """Builds `rev` from its own source (git archive), or the working tree
    when `rev` is None; with `installed`, only construction_bench."""
    if rev is not None:
        commit = git("rev-parse", "--verify", f"{rev}^{{commit}}")
        source_dir = ROOT / "build" / f"bench-src-{commit[:12]}"
        if not (source_dir / "CMakeLists.txt").exists():
            shutil.rmtree(source_dir, ignore_errors=True)
            source_dir.mkdir(parents=True)
            archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(source_dir)], input=archive, check=True)
        build_dir = ROOT / "build" / f"bench-{commit[:12]}{'-nomodule' if installed else ''}"
        source = f"commit {commit[:12]} (exported with git archive)"
        dirty: list[str] = []
    else:
        commit = git("rev-parse", "HEAD")
        source_dir = ROOT
        build_dir = ROOT / "build" / ("bench-nomodule" if installed else "bench")
        status = subprocess.run(["git", "status", "--porcelain", "--", "src", "CMakeLists.txt", "benchmarks"],
                                cwd=ROOT, check=True, capture_output=True, text=True).stdout
        dirty = status.splitlines()
        source = f"working tree at commit {commit[:12]}" + (" with uncommitted changes" if dirty else "")

    configure = [
        "cmake", "-S", str(source_dir), "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCORVANE_BUILD_BENCHMARKS=ON",
        f"-DCORVANE_BUILD_MODULE={'OFF' if installed else 'ON'}",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    log(f"building the {role} ({source}) in {build_dir.relative_to(ROOT)} ...")
    for command in (configure, ["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 2)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            raise SystemExit(f"build failed: {' '.join(command)}")
    return Build(role, build_dir, None if installed else build_dir, source, commit, dirty)


# --------------------------------------------------------------------------
# Measuring


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


def run_measured(command: list[str], env: dict[str, str] | None, before: float) -> ChildRun:
    """Runs one child to completion and measures it from outside: its
    resource use from wait4, and how busy the rest of the machine was
    (`before`, the reading taken just before, stands in for a child too
    short for /proc/stat's 10 ms clock ticks)."""
    hz = os.sysconf("SC_CLK_TCK")
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
    other = max(0.0, (busy1 - busy0) / hz - child_cpu) / wall if wall >= 0.3 else before
    return ChildRun(stdout, wall, child_cpu, usage.ru_maxrss, other)


def disturbed(cores: float | None) -> bool:
    return cores is not None and cores >= DISTURBED


def interleaved(builds: list[Build], round_index: int, thread_index: int) -> list[Build]:
    """The order of the revisions for one measurement: alternating from one
    round and thread setting to the next (ABBA), so that a drift in the
    machine's speed or load over the run hits both revisions alike."""
    return list(builds) if (round_index + thread_index) % 2 == 0 else list(reversed(builds))


@dataclass
class Invocation:
    """One pyperf invocation of solve_once.py that was kept: its benchmark,
    the workers' side records, and how it was measured from outside."""
    bench: pyperf.Benchmark
    side: list[dict]
    wall: float
    tree_rss_kib: int  # ru_maxrss from wait4 over pyperf's master and workers
    other_cores: float | None
    attempts: int = 1


@dataclass
class Series:
    """Everything measured for one revision, one solve configuration and one
    thread setting, over all rounds."""
    invocations: list[Invocation] = field(default_factory=list)

    def benchmark(self) -> pyperf.Benchmark:
        merged = copy.deepcopy(self.invocations[0].bench)
        for invocation in self.invocations[1:]:
            merged.add_runs(invocation.bench)
        return merged

    def values(self) -> list[float]:
        return [v for invocation in self.invocations for v in invocation.bench.get_values()]

    def seconds(self) -> float:
        """Median of all values: seconds per solve (or per iteration). The
        solvers are stochastic, so the time of a solve varies on its own; the
        median is the typical solve, where a minimum would pick a lucky draw."""
        return statistics.median(self.values())

    def peak_rss_kib(self) -> int:
        """The largest worker's peak RSS (pyperf's mem_max_rss of each run;
        where pyperf has none, wait4's figure for the whole invocation)."""
        peaks = [run.get_metadata().get("mem_max_rss") for invocation in self.invocations
                 for run in invocation.bench.get_runs()]
        if any(p is None for p in peaks):
            return max(invocation.tree_rss_kib for invocation in self.invocations)
        return max(peaks) // 1024

    def rss_before_kib(self) -> int:
        return max(s["rss_before_solve_kib"] for invocation in self.invocations for s in invocation.side)

    def picked(self) -> float:
        return statistics.median(p for invocation in self.invocations for s in invocation.side for p in s["picked"])

    def cpu_per_wall(self) -> float:
        side = [s for invocation in self.invocations for s in invocation.side]
        return sum(s["cpu_seconds"] for s in side) / sum(sum(s["seconds"]) for s in side)

    def other_cores(self) -> float | None:
        loads = [i.other_cores for i in self.invocations if i.other_cores is not None]
        return max(loads) if loads else None

    def attempts(self) -> int:
        return sum(i.attempts for i in self.invocations)


def invoke_pyperf(config: SolveConfig, threads: int, loops: int | None, revision: Build,
                  quiet: QuietWaiter) -> Invocation:
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # NumPy's BLAS threads have no work here; keep them from spinning.
    env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = "1"
    if revision.module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(revision.module_dir), env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as scratch:
        output, sidecar = Path(scratch) / "result.json", Path(scratch) / "side.jsonl"
        env["CORVANE_BENCH_SIDECAR"] = str(sidecar)
        command = [sys.executable, str(HERE / "solve_once.py"), config.solver, str(config.size),
                   "--processes", str(config.processes), "--values", str(config.values),
                   "--warmups", str(config.warmups), "--inherit-environ", ",".join(ENV_PASSED),
                   "--quiet", "-o", str(output)]
        if config.kmax is not None:
            command += ["--kmax", str(config.kmax)]
        if config.per_iteration:
            command.append("--per-iteration")
        if loops is not None:
            command += ["--loops", str(loops)]
        if revision.module_dir is not None:
            command += ["--expect-module", str(revision.module_dir)]
        before = quiet()
        run = run_measured(command, env, before)
        bench = pyperf.Benchmark.load(str(output))
        side = [json.loads(line) for line in sidecar.read_text().splitlines()]
    return Invocation(bench, side, run.wall, run.peak_rss_kib, run.other_cores)


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
                        per = config.unit
                        log(f"    median {statistics.median(invocation.bench.get_values()):.4g} s per {per} over "
                            f"{invocation.bench.get_nvalue()} value(s) of {invocation.bench.get_loops()} loop(s), "
                            f"other load {fmt_load(invocation.other_cores)}")
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
    tree). Its work is the same on every run, so the fastest run is kept,
    with the largest other load any of its runs saw."""
    results: dict[str, dict[tuple, dict]] = {b.role: {} for b in builds}
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
                kept = results[revision.role].get(config.key)
                if kept is not None:
                    report["runs"] += kept["runs"]
                    report["other_cores"] = max(report["other_cores"] or 0.0, kept["other_cores"] or 0.0)
                    if kept["ns_per_step"] <= report["ns_per_step"]:
                        report = {**kept, "runs": report["runs"], "other_cores": report["other_cores"]}
                results[revision.role][config.key] = report
    return results


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
        hz = os.sysconf("SC_CLK_TCK")
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
        pair_other = max(0.0, (busy1 - busy0) / hz - pair_cpu) / wall if wall >= 0.3 else before_pair
        t_alone = json.loads(alone.stdout)["seconds"]
        t_pair = max(json.loads(output)["seconds"] for output in outputs)
        results.append({"size": size, "constructions": constructions, "alone": t_alone, "pair": t_pair,
                        "throughput": 2 * t_alone / t_pair, "other_cores": alone.other_cores,
                        "pair_other_cores": pair_other})
        log(f"    alone {t_alone:.3f} s, two at once {t_pair:.3f} s: {2 * t_alone / t_pair:.2f}x the throughput")
    return results


def save_pyperf(solves: dict[str, dict[tuple, dict[int, Series]]], directory: Path) -> dict[tuple[str, int], Path]:
    """One pyperf suite per revision and thread setting, for pyperf's own
    tools (compare_to, stats, hist)."""
    directory.mkdir(parents=True, exist_ok=True)
    paths = {}
    for role, by_config in solves.items():
        for threads in THREADS:
            benches = [series[threads].benchmark() for series in by_config.values() if series[threads].invocations]
            if not benches:
                continue
            path = directory / f"{role}-{threads}t.json"
            pyperf.BenchmarkSuite(benches).dump(str(path), replace=True)
            paths[(role, threads)] = path
    return paths


def pyperf_compare(paths: dict[tuple[str, int], Path], threads: int) -> str:
    """pyperf's own comparison (means, Student's t-test) as a Markdown table."""
    base, cand = paths.get(("baseline", threads)), paths.get(("candidate", threads))
    if base is None or cand is None:
        return ""
    result = subprocess.run([sys.executable, "-m", "pyperf", "compare_to", str(base), str(cand), "--table",
                             "--table-format", "md"], capture_output=True, text=True)
    return (result.stdout + result.stderr).strip()


# --------------------------------------------------------------------------
# The machine


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
                                       f"NumPy {numpy_version} / pyperf {pyperf.__version__}")
    return info


def compiler(build_dir: Path) -> str:
    cache = {}
    for line in (build_dir / "CMakeCache.txt").read_text().splitlines():
        if ":" in line and "=" in line and not line.startswith(("//", "#")):
            key, value = line.split("=", 1)
            cache[key.split(":", 1)[0]] = value
    cxx = cache.get("CMAKE_CXX_COMPILER", "c++")
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()
    flags = " ".join(filter(None, [cache.get("CMAKE_CXX_FLAGS", ""), cache.get("CMAKE_CXX_FLAGS_RELEASE", "")]))
    return f"{version[0] if version else cxx}, {cache.get('CMAKE_BUILD_TYPE', '?')} ({flags.strip()})"


# --------------------------------------------------------------------------
# The report


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


def fmt_load(cores: float | None) -> str:
    return "—" if cores is None else f"{cores:.2f}"


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.2f}×"


def max_load(*loads: float | None) -> float | None:
    known = [load for load in loads if load is not None]
    return max(known) if known else None


def verdict(ok: bool) -> str:
    return "**met**" if ok else "**missed**"


@dataclass
class Measurements:
    builds: list[Build]  # the candidate first
    configs: list[SolveConfig]
    solves: dict[str, dict[tuple, dict[int, Series]]]
    constructions: dict[str, dict[tuple, dict]]
    ceiling: list[dict]
    pyperf_paths: dict[tuple[str, int], Path] = field(default_factory=dict)

    @property
    def compared(self) -> bool:
        return len(self.builds) > 1

    def series(self, role: str, config: SolveConfig, threads: int) -> Series:
        return self.solves[role][config.key][threads]

    def ratio(self, config: SolveConfig, threads: int) -> float:
        """Baseline time over candidate time: above 1, the candidate is faster."""
        return self.series("baseline", config, threads).seconds() / self.series("candidate", config, threads).seconds()

    def speedup(self, role: str, config: SolveConfig) -> float:
        return self.series(role, config, 1).seconds() / self.series(role, config, 2).seconds()

    def peak_rss_kib(self, role: str, config: SolveConfig) -> int:
        return max(self.series(role, config, t).peak_rss_kib() for t in THREADS)

    def rss_before_kib(self, role: str, config: SolveConfig) -> int:
        return max(self.series(role, config, t).rss_before_kib() for t in THREADS)

    def load(self, config: SolveConfig) -> float | None:
        return max_load(*(self.series(b.role, config, t).other_cores() for b in self.builds for t in THREADS))


def report(args, info: dict, m: Measurements, started: str, load_before: tuple, load_after: tuple,
           elapsed: float) -> str:
    lines: list[str] = []
    add = lines.append
    mode = "full" if args.full else "quick"
    candidate = m.builds[0]
    add("# Benchmarks")
    add("")
    command = " ".join(["python3", "benchmarks/run.py", *sys.argv[1:]])
    add(f"Generated by `{command}`; every number below was measured by that run. "
        "`python3 benchmarks/run.py --full --baseline REV --write docs/benchmarks.md` regenerates a comparison, "
        "`python3 benchmarks/run.py --full --write docs/benchmarks.md` the table of one revision; see the "
        "contributing page's *Benchmarks* section.")
    add("")
    add("## Machine and run")
    add("")
    add("| | |")
    add("|---|---|")
    for key, value in info.items():
        add(f"| {key} | {value} |")
    for b in m.builds:
        who = f" ({b.role})" if m.compared else ""
        add(f"| Compiler{who} | {compiler(b.build_dir)} |")
        module = "installed package (`import corvane`)" if b.module_dir is None else "built by the run"
        add(f"| Code measured{who} | {b.source}; module {module} |")
    add(f"| Run | {mode} mode, started {started}, took {elapsed / 60:.1f} min |")
    add(f"| Load average (1, 5, 15 min) | before {', '.join(f'{v:.2f}' for v in load_before)}; "
        f"after {', '.join(f'{v:.2f}' for v in load_after)} |")
    add("")
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
        lines.extend(comparison_sections(args, m))
        add("# The candidate on its own")
        add("")
        add("The candidate's measurements from the same run, with the straightforward rescan construction "
            "(measured for the candidate only) and the targets.")
        add("")
    lines.extend(single_sections(args, m, candidate.role))
    for b in m.builds:
        if b.dirty:
            add(f"Uncommitted changes were present in the measured tree ({b.role}):")
            add("")
            add("```")
            lines.extend(b.dirty)
            add("```")
            add("")
    return "\n".join(lines)


def comparison_sections(args, m: Measurements) -> list[str]:
    lines: list[str] = []
    add = lines.append
    base, cand = m.builds[1], m.builds[0]
    add("## Baseline against candidate")
    add("")
    add(f"**Baseline**: {base.source}. **Candidate**: {cand.source}. Both were built by this run from their own "
        "source and measured on the same ladder in one run. Their measurements are interleaved: for every row, "
        "round and thread setting one revision runs and then the other, the order alternating from one to the "
        "next, so that a change in the machine's load over the run hits both alike. *Ratio* is baseline / "
        "candidate: **above 1.00 the candidate is faster** (or, for memory, smaller).")
    add("")

    add("### Time")
    add("")
    add("Seconds per solve (per iteration where the row says so), medians as above. *Values* counts the timed "
        "pyperf values per revision and thread setting, *rounds* the interleaved invocations they came from.")
    add("")
    add("| Solver | Size | Per | 1 thread: baseline | candidate | ratio | 2 threads: baseline | candidate | ratio | "
        "Speed-up 2 / 1: baseline | candidate | Values × rounds | Other load (cores), max |")
    add("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for config in m.configs:
        b1, c1 = m.series("baseline", config, 1), m.series("candidate", config, 1)
        b2, c2 = m.series("baseline", config, 2), m.series("candidate", config, 2)
        add(f"| {config.label} | {config.size}×{config.size} | {config.unit} | "
            f"{fmt_seconds(b1.seconds())} | {fmt_seconds(c1.seconds())} | **{fmt_ratio(m.ratio(config, 1))}** | "
            f"{fmt_seconds(b2.seconds())} | {fmt_seconds(c2.seconds())} | **{fmt_ratio(m.ratio(config, 2))}** | "
            f"{fmt_ratio(m.speedup('baseline', config))} | {fmt_ratio(m.speedup('candidate', config))} | "
            f"{len(c1.values())} × {config.rounds} | {fmt_load(m.load(config))} |")
    add("")

    add("### Peak memory")
    add("")
    add("Peak RSS of the largest worker process, MiB; *grown* is peak RSS less the RSS before the first timed "
        "solve, the part the solver and its result account for.")
    add("")
    add("| Solver | Size | Peak RSS: baseline | candidate | ratio | Grown while solving: baseline | candidate |")
    add("|---|---|---|---|---|---|---|")
    for config in m.configs:
        pb, pc = m.peak_rss_kib("baseline", config), m.peak_rss_kib("candidate", config)
        gb, gc = pb - m.rss_before_kib("baseline", config), pc - m.rss_before_kib("candidate", config)
        add(f"| {config.label} | {config.size}×{config.size} | {fmt_mib(pb)} | {fmt_mib(pc)} | "
            f"{fmt_ratio(pb / pc)} | {fmt_mib(gb)} | {fmt_mib(gc)} |")
    add("")

    add("### Construction steps (construction_bench, production construction)")
    add("")
    add("Each revision's own `construction_bench`, built from its own source, on the same task and generator "
        "sequence; single thread. A run repeats the same work, so the **fastest of the runs** is given. Weight "
        "η² is an ant's in its first iteration, η the probabilistic solver's.")
    add("")
    add("| Size | Weight | Steps: baseline | candidate | ns / step: baseline | candidate | ratio | Runs | "
        "Other load (cores), max |")
    add("|---|---|---|---|---|---|---|---|---|")
    for key in sorted(m.constructions["baseline"], key=lambda k: (k[0], -k[1])):
        rb, rc = m.constructions["baseline"][key], m.constructions["candidate"].get(key)
        if rc is None:
            continue
        weight = "η²" if key[1] == 2.0 else "η"
        add(f"| {key[0]}×{key[0]} | {weight} | {rb['steps']:,} | {rc['steps']:,} | {fmt_ns(rb['ns_per_step'])} | "
            f"{fmt_ns(rc['ns_per_step'])} | **{fmt_ratio(rb['ns_per_step'] / rc['ns_per_step'])}** | "
            f"{rc['runs']} | {fmt_load(max_load(rb['other_cores'], rc['other_cores']))} |")
    add("")

    add("### At a glance")
    add("")
    add("| Question | Measured |")
    add("|---|---|")
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
            add(f"| Time ratio, {name}, {size}×{size} | {text or not_run(args)} |")
    default_1000 = by_key.get(("ant", 1000, None, False))
    rss_source = default_1000 or next((c for c in m.configs if c.solver == "ant" and c.size == 1000), None)
    if rss_source is not None:
        pb, pc = m.peak_rss_kib("baseline", rss_source), m.peak_rss_kib("candidate", rss_source)
        how = "default solve" if rss_source is default_1000 else (
            f"from solves of {rss_source.effective_kmax} iterations standing in for the default 100: most of "
            "the memory is taken at the start of a solve, but some may still be added in later iterations, so "
            "this can understate a default solve's peak by a little; the full mode measures the default solve")
        add(f"| Peak RSS, default ant colony, 1000×1000 | baseline {fmt_mib(pb)} MiB, candidate {fmt_mib(pc)} MiB: "
            f"{fmt_ratio(pb / pc)} ({how}) |")
    for b in (cand, base):
        speedups = [(m.speedup(b.role, c), c) for c in m.configs]
        low = min(speedups, key=lambda sc: sc[0])
        add(f"| Two threads over one, {b.role} | {min(s for s, _ in speedups):.2f}× to "
            f"{max(s for s, _ in speedups):.2f}× over {len(speedups)} rows (lowest: {low[1].label} "
            f"{low[1].size}×{low[1].size}) |")
    slower = [f"{c.label} {c.size}×{c.size}, {t} thread{'s' if t > 1 else ''}: {fmt_ratio(m.ratio(c, t))}"
              for c in m.configs for t in THREADS if m.ratio(c, t) < 1.0]
    add(f"| Rows where the candidate is slower (ratio < 1.00) | {'; '.join(slower) if slower else 'none'} |")
    add("")
    add("A ratio within a few percent of 1.00 is within what two runs of the same code differ by on this "
        "machine; `--baseline HEAD` on a clean tree measures that noise directly.")
    add("")

    add("### pyperf's comparison")
    add("")
    add("`python3 -m pyperf compare_to` on the same values (kept in `build/bench-results/`): it compares **means** "
        "and hides the rows whose difference Student's t-test does not find significant; a row with one value "
        "per side is always shown.")
    add("")
    for threads in THREADS:
        text = pyperf_compare(m.pyperf_paths, threads)
        if text:
            add(f"{threads} thread{'s' if threads > 1 else ''}:")
            add("")
            add(text)
            add("")

    noisy = [f"{c.label} {c.size}×{c.size} ({m.load(c):.2f})" for c in m.configs if disturbed(m.load(c))]
    noisy += [f"construction_bench {'rescan' if k[2] else 'production'} {k[0]}×{k[0]} "
              f"{'η²' if k[1] == 2.0 else 'η'} ({role}, {r['other_cores']:.2f})"
              for role in ("baseline", "candidate") for k, r in m.constructions[role].items()
              if disturbed(r["other_cores"])]
    if noisy:
        add(f"**Disturbed measurements.** Other processes kept at least {DISTURBED} cores busy on average during "
            f"{len(noisy)} of them; on a 2-core machine that slows them, and the two-thread runs most: "
            + "; ".join(noisy) + ".")
    else:
        add(f"No measurement saw other processes keep {DISTURBED} cores or more busy on average.")
    add("")
    return lines


def mode_name(args) -> str:
    return "full" if args.full else "quick"


def not_run(args) -> str:
    return f"not run in {mode_name(args)} mode" + (" with --sizes" if getattr(args, "sizes", None) else "")


def single_sections(args, m: Measurements, role: str) -> list[str]:
    lines: list[str] = []
    add = lines.append
    constructions = m.constructions[role]
    configs = m.configs

    def s(config: SolveConfig, threads: int) -> Series:
        return m.series(role, config, threads)

    add("## Solves")
    add("")
    add("*ns/step (native)* is construction_bench's production construction on the same size and the solver's "
        "cell weights; *straightforward ns/step* is the reference rescan construction on the same task. "
        "A measurement that other processes disturbed is taken again (up to `--retries` times) and the least "
        "disturbed attempt is kept; *Attempts* counts the invocations, over all rounds.")
    add("")
    add("| Solver | Size | Per | Candidates / unit | Values | Time / unit, 1 thread | Time / unit, 2 threads | "
        "Speed-up 2 / 1 | Candidates / s, 2 threads | ns / step (native) | straightforward ns / step | "
        "Peak RSS MiB | RSS before solving MiB | Other load (cores) 1T / 2T | Attempts 1T / 2T |")
    add("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for config in configs:
        fast = constructions.get((config.size, config.beta, False))
        rescan = constructions.get((config.size, config.beta, True))
        ns_fast = fmt_ns(fast["ns_per_step"]) if fast else "—"
        if rescan is None:
            ns_rescan = "not run"
        elif rescan["cut_short"]:
            ns_rescan = f"{fmt_ns(rescan['ns_per_step'])} (first {rescan['steps']:,} steps only)"
        else:
            ns_rescan = fmt_ns(rescan["ns_per_step"])
        one, two = s(config, 1), s(config, 2)
        add(f"| {config.label} | {config.size}×{config.size} | {config.unit} | {config.candidates:,} | "
            f"{len(one.values())} | {fmt_seconds(one.seconds())} | {fmt_seconds(two.seconds())} | "
            f"{m.speedup(role, config):.2f}× | {fmt_count(config.candidates / two.seconds())} | {ns_fast} | "
            f"{ns_rescan} | {fmt_mib(m.peak_rss_kib(role, config))} | {fmt_mib(m.rss_before_kib(role, config))} | "
            f"{fmt_load(one.other_cores())} / {fmt_load(two.other_cores())} | "
            f"{one.attempts()} / {two.attempts()} |")
    add("")

    add("### Per step inside the solve")
    add("")
    add("The Python API does not report step counts. As a rough cross-check of the native column, "
        "*solve ns/step ≈* divides the 1-thread time by candidates × the number of cells in the "
        "returned best assignment (a candidate's step count is its number of cells; the best one is only "
        "a proxy for the average). It includes everything a solve does besides constructing: weights, "
        "scoring, pheromone update. *CPU / wall, 2 threads* is the workers' CPU time over their wall time "
        "while solving with two threads (2.0 = both cores busy throughout).")
    add("")
    add("| Solver | Size | Cells in best (median) | solve ns/step ≈, 1 thread | ns / step (native) | "
        "CPU / wall, 2 threads |")
    add("|---|---|---|---|---|---|")
    for config in configs:
        picked = s(config, 1).picked()
        approx = s(config, 1).seconds() * 1e9 / (config.candidates * picked) if picked else float("nan")
        fast = constructions.get((config.size, config.beta, False))
        add(f"| {config.label} | {config.size}×{config.size} | {picked:,.0f} | {fmt_ns(approx)} | "
            f"{fmt_ns(fast['ns_per_step']) if fast else '—'} | {s(config, 2).cpu_per_wall():.2f} |")
    add("")

    add("## Construction steps (construction_bench)")
    add("")
    add("Single thread, fixed generator sequence. Weight η² is an ant's in its first iteration (τ = 1, "
        "α = 1, β = 2); η is the probabilistic solver's. *Exact-scan steps* are steps of the production "
        "construction that fell back to the exact left-to-right sums. *Runs*: the production construction "
        "runs several times and the fastest is given.")
    add("")
    add("| Size | Weight | Construction | Candidates | Steps | ns / step | Runs | Exact-scan steps | Batch setup ms | "
        "Fast / straightforward | Other load (cores) |")
    add("|---|---|---|---|---|---|---|---|---|---|---|")
    for (size, beta, rescan_mode), r in sorted(constructions.items(), key=lambda kv: (kv[0][0], -kv[0][1], kv[0][2])):
        weight = "η²" if beta == 2.0 else "η"
        if rescan_mode:
            name = "straightforward rescan"
            done = f"{r['completed']}" + (f" + 1 cut short after {r['steps']:,} steps" if r["cut_short"] else "")
            exact = "—"
            ratio = ""
        else:
            name = "production"
            done = f"{r['completed']}"
            exact = f"{r['exact_steps']:,}"
            other = constructions.get((size, beta, True))
            speed = other["ns_per_step"] / r["ns_per_step"] if other else 0.0
            ratio = "—" if not other else f"{speed:,.0f}× faster" if speed >= 10 else f"{speed:.2f}×"
            if other and other["cut_short"]:
                ratio += " (vs first steps only)"
        add(f"| {size}×{size} | {weight} | {name} | {done} | {r['steps']:,} | {fmt_ns(r['ns_per_step'])} | "
            f"{r['runs']} | {exact} | {r['setup_ms']:.2f} | {ratio} | {fmt_load(r['other_cores'])} |")
    add("")
    cut = [r for (_, _, rs), r in constructions.items() if rs and r["cut_short"]]
    if cut:
        add("A rescan that was cut short is timed over its first steps only, when nearly every cell is still a "
            "candidate; later steps have fewer candidates (the budget excludes more cells) and are somewhat "
            "cheaper, so this figure leans high.")
        add("")

    add("### The straightforward construction over a whole solve (extrapolated, not run)")
    add("")
    add("What a default ant colony solve (2,000 candidates) would take on one thread with the straightforward "
        "construction, **extrapolated** from the measurements above as straightforward ns/step × steps per "
        "candidate (production run, weight η²) × 2,000, next to the measured 1-thread solve. Only the "
        "construction is counted, so the extrapolation errs low; where the rescan was cut short, its "
        "early-step figure makes it err high. The reference rescan reads precomputed cell weights; one that "
        "also recomputed τ^α · η^β for every cell at every step would be slower still.")
    add("")
    add("| Size | Steps per candidate | Straightforward solve, extrapolated | Measured solve, 1 thread |")
    add("|---|---|---|---|")
    measured = {c.size: s(c, 1).seconds() for c in configs if c.solver == "ant" and c.is_default}
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
        add(f"| {size}×{size} | {steps:,.0f} | ≈ {when} | "
            f"{fmt_seconds(measured[size]) if size in measured else '—'} |")
    add("")

    if m.ceiling:
        add("## Two-core ceiling")
        add("")
        add("Two threads of one solve cannot scale better than two independent processes. Here "
            "construction_bench (single-threaded, production construction, weight η²) runs alone and then as "
            "two copies at once; *throughput* is 2 × (time alone) / (time of the slower copy), 2.00 meaning "
            "the copies do not slow each other at all.")
        add("")
        add("| Size | Constructions per copy | Alone s | Two at once s | Throughput of two | "
            "Other load (cores) alone / two |")
        add("|---|---|---|---|---|---|")
        for c in m.ceiling:
            add(f"| {c['size']}×{c['size']} | {c['constructions']} | {c['alone']:.3f} | {c['pair']:.3f} | "
                f"{c['throughput']:.2f}× | {fmt_load(c['other_cores'])} / {fmt_load(c['pair_other_cores'])} |")
        add("")

    noisy = [f"{c.label} {c.size}×{c.size} ({t} thread{'s' if t > 1 else ''}: {s(c, t).other_cores():.2f})"
             for c in configs for t in THREADS if disturbed(s(c, t).other_cores())]
    noisy += [f"two-core ceiling {c['size']}×{c['size']} ({fmt_load(c['other_cores'])} alone, "
              f"{fmt_load(c['pair_other_cores'])} two at once)" for c in m.ceiling
              if disturbed(c["other_cores"]) or disturbed(c["pair_other_cores"])]
    noisy += [f"construction_bench {'rescan' if rs else 'production'} {size}×{size} {'η²' if beta == 2.0 else 'η'} "
              f"({r['other_cores']:.2f})" for (size, beta, rs), r in constructions.items() if disturbed(r["other_cores"])]
    if noisy:
        add(f"**Disturbed measurements.** Other processes kept at least {DISTURBED} cores busy on average during "
            f"{len(noisy)} measurement(s); on a 2-core machine that slows them, and the two-thread runs "
            f"most: " + "; ".join(noisy) + ".")
    else:
        add(f"No measurement saw other processes keep {DISTURBED} cores or more busy on average.")
    add("")

    add("## Targets")
    add("")
    add("Seconds per solve are the 2-thread medians (two threads is what a solve uses by default on this machine).")
    add("")
    add("| Target | Measured | Verdict |")
    add("|---|---|---|")
    by_key = {c.key: c for c in configs}
    for size, limit in ((100, 1.0), (300, 15.0), (1000, 300.0)):
        config = by_key.get(("ant", size, None, False))
        if config is None:
            add(f"| ant colony {size}×{size} ≤ {limit:g} s | {not_run(args)} | — |")
            continue
        two, one = s(config, 2).seconds(), s(config, 1).seconds()
        text = f"{two:.3g} s (1 thread: {one:.3g} s)"
        ok = two <= limit
        if size == 1000:
            fast = constructions.get((1000, 2.0, False))
            text += f"; {fast['ns_per_step']:.0f} ns per construction step (native)" if fast else ""
            ok = ok and fast is not None and fast["ns_per_step"] <= 1000
            add(f"| ant colony {size}×{size} ≤ {limit:g} s at ≤ 1 µs per step | {text} | {verdict(ok)} |")
        else:
            add(f"| ant colony {size}×{size} ≤ {limit:g} s | {text} | {verdict(ok)} |")
    config = by_key.get(("prob", 100, 100_000, False))
    if config is None:
        add(f"| probabilistic kmax=100000, 100×100: peak RSS < 200 MB | {not_run(args)} | — |")
    else:
        peak = m.peak_rss_kib(role, config) * 1024
        add(f"| probabilistic kmax=100000, 100×100: peak RSS < 200 MB | {peak / MB:.1f} MB "
            f"({peak / 2**20:.1f} MiB; 1 thread {s(config, 1).peak_rss_kib() * 1024 / MB:.1f} MB, "
            f"2 threads {s(config, 2).peak_rss_kib() * 1024 / MB:.1f} MB) | {verdict(peak < 200 * MB)} |")
    speedups = [(m.speedup(role, c), c) for c in configs]
    low = [f"{c.label} {c.size}×{c.size}: {v:.2f}×" for v, c in speedups if v < 1.8]
    text = f"{min(v for v, _ in speedups):.2f}× to {max(v for v, _ in speedups):.2f}× over {len(speedups)} rows"
    if low:
        text += "; below 1.8×: " + "; ".join(low)
    if m.ceiling:
        text += ("; for comparison, two independent single-threaded processes reach "
                 + ", ".join(f"{c['throughput']:.2f}× ({c['size']}×{c['size']})" for c in m.ceiling))
    add(f"| 2 threads ≥ 1.8× one thread (every row: batches of 20 ants or ≥ 100 samples) | {text} | "
        f"{verdict(not low)} |")
    add("")
    above = [f"{c.label} {c.size}×{c.size}: {v:.2f}×" for v, c in speedups if v > 2.05]
    above += [f"two-core ceiling {c['size']}×{c['size']}: {c['throughput']:.2f}×" for c in m.ceiling
              if c["throughput"] > 2.05]
    if above:
        add("**More than 2× on two cores** (" + "; ".join(above) + ") is not a gain from parallelism: the "
            "runs being compared did not go at the same speed per core, although no other process was seen "
            "busy. Single runs of the large tasks (1000×1000 especially) vary by this much from one run to "
            "the next on this machine, so read such differences as run-to-run variation, and compare "
            "repeated full runs before trusting a margin of a few tens of percent.")
        add("")
    return lines


def raw_json(info: dict, m: Measurements) -> dict:
    return {
        "machine": info,
        "revisions": {b.role: {"source": b.source, "commit": b.commit, "dirty": b.dirty} for b in m.builds},
        "constructions": {role: [dict(r) for r in rs.values()] for role, rs in m.constructions.items()},
        "ceiling": m.ceiling,
        "solves": [
            {"solver": c.solver, "size": c.size, "kmax": c.kmax, "per_iteration": c.per_iteration,
             "unit": c.unit, "name": c.name,
             "revisions": {
                 b.role: {str(t): {"values": m.series(b.role, c, t).values(),
                                   "median": m.series(b.role, c, t).seconds(),
                                   "peak_rss_kib": m.series(b.role, c, t).peak_rss_kib(),
                                   "other_cores": [i.other_cores for i in m.series(b.role, c, t).invocations],
                                   "side": [s for i in m.series(b.role, c, t).invocations for s in i.side]}
                          for t in THREADS}
                 for b in m.builds}}
            for c in m.configs
        ],
    }


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true",
                      help="sizes up to 100x100 and the 1000x1000 ant colony per iteration, few repetitions (default)")
    mode.add_argument("--full", action="store_true", help="every size up to 1000x1000 and kmax=100000")
    parser.add_argument("--baseline", metavar="REV",
                        help="also build this committed revision from its own source and compare it with the "
                             "measured tree, the runs interleaved (e.g. 92f3013)")
    parser.add_argument("--sizes", type=lambda text: {int(v) for v in text.split(",")}, metavar="N,N,...",
                        help="measure only the rows of these sizes of the mode's ladder (e.g. 100,1000)")
    parser.add_argument("--write", type=Path, help="write the Markdown report to this file (e.g. docs/benchmarks.md)")
    parser.add_argument("--json", type=Path, help="also write the raw measurements as JSON")
    parser.add_argument("--installed", action="store_true",
                        help="measure the installed corvane instead of building the module")
    parser.add_argument("--rev", help="build this committed revision instead of the working tree")
    parser.add_argument("--results", type=Path, default=ROOT / "build" / "bench-results",
                        help="where to keep pyperf's results, one file per revision and thread setting "
                             "(default: build/bench-results)")
    parser.add_argument("--quiet-wait", type=float, metavar="SECONDS",
                        help="before each measurement wait up to this long for other processes to leave the "
                             "cores idle, 40 minutes at most over the run (default: 300 in full mode, 0 in "
                             "quick mode)")
    parser.add_argument("--retries", type=int, metavar="N",
                        help="measure a solve again, up to N times, when other processes disturbed it "
                             "(default: 2 in full mode, 0 in quick mode)")
    return parser.parse_args(argv)


def main() -> int:
    args = parse_args()
    started = dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    start = time.perf_counter()
    load_before = os.getloadavg()
    builds = [build("candidate", args.installed, args.rev)]
    if args.baseline:
        builds.append(build("baseline", False, args.baseline))
    solve_configs, construction_configs = plan(args.full)
    if args.sizes:
        solve_configs = [c for c in solve_configs if c.size in args.sizes]
        construction_configs = [c for c in construction_configs if c.size in args.sizes]
        if not solve_configs:
            raise SystemExit(f"no row of the {mode_name(args)} ladder has a size in {sorted(args.sizes)}")
    info = machine()

    each = args.quiet_wait if args.quiet_wait is not None else (300.0 if args.full else 0.0)
    quiet = QuietWaiter(each, total=2400.0)
    log("construction steps:")
    constructions = measure_constructions(construction_configs, builds, quiet)
    log("two-core ceiling:")
    ceiling = measure_ceiling(builds[0].program, (300, 1000) if args.full else (300,), quiet)
    log("solves:")
    retries = args.retries if args.retries is not None else (2 if args.full else 0)
    solves = measure_solves(solve_configs, builds, quiet, retries)
    load_after = os.getloadavg()

    m = Measurements(builds, solve_configs, solves, constructions, ceiling)
    for old in args.results.glob("*.json") if args.results.exists() else ():
        old.unlink()
    m.pyperf_paths = save_pyperf(solves, args.results)
    log(f"pyperf results in {args.results}")
    text = report(args, info, m, started, load_before, load_after, time.perf_counter() - start)
    if args.write:
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(text + "\n")
        log(f"wrote {args.write}")
    if args.json:
        args.json.write_text(json.dumps(raw_json(info, m), indent=1) + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
