"""corvane's benchmark suite: one command, one Markdown table.

    python3 benchmarks/run.py --quick                          # a minute or two
    python3 benchmarks/run.py --full --write docs/benchmarks.md  # everything

Builds the extension module and benchmarks/construction_bench.cpp from this
working tree (Release, into build/bench), then measures:

- every solve configuration in a fresh subprocess, once with
  RAYON_NUM_THREADS=1 and once with RAYON_NUM_THREADS=2: wall seconds per
  solve, candidates per second, the child's peak RSS (ru_maxrss from wait4)
  and the speed-up of two threads over one;
- nanoseconds per construction step of the production construction and of
  the straightforward rescan, with construction_bench on tasks of the same
  sizes (the Python API does not expose step counts).

--installed measures the corvane that `import corvane` finds instead of
building one; --rev REV builds a committed revision instead of the working
tree. Nothing here runs in CI: the full suite takes half an hour or more on two
cores, longer when other processes keep it waiting.
"""

from __future__ import annotations

import argparse
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

ROOT = Path(__file__).resolve().parent.parent
HERE = Path(__file__).resolve().parent
THREADS = (1, 2)
ANT_CANDIDATES = 20 * 100  # default num_ants x kmax
MB = 1_000_000


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# What to run


@dataclass
class SolveConfig:
    solver: str  # "ant" or "prob"
    size: int
    kmax: int  # probabilistic kmax; ignored for the ant colony
    repeats: int

    @property
    def label(self) -> str:
        if self.solver == "ant":
            return "ant colony (20 ants x 100 it.)"
        return f"probabilistic (kmax={self.kmax})"

    @property
    def candidates(self) -> int:
        return ANT_CANDIDATES if self.solver == "ant" else self.kmax

    @property
    def beta(self) -> float:
        # The weight each construction draws by: tau * eta^2 for an ant
        # (tau = 1 in the first iteration), eta for a probabilistic sample.
        return 2.0 if self.solver == "ant" else 1.0


@dataclass
class ConstructionConfig:
    size: int
    beta: float
    rescan: bool
    constructions: int
    max_steps: int = 0  # 0: no cap


def plan(full: bool) -> tuple[list[SolveConfig], list[ConstructionConfig]]:
    sizes = (10, 30, 100, 300, 1000) if full else (10, 30, 100)
    # Solves of a few milliseconds vary a lot from one to the next (the pool
    # wakes its workers for every batch), so they are repeated until their
    # median settles: about a second of solving per configuration.
    ant_repeats = {10: 50, 30: 20, 100: 5, 300: 3, 1000: 1} if full else {10: 10, 30: 10, 100: 2}
    prob_repeats = {10: 500, 30: 200, 100: 30, 300: 3, 1000: 1} if full else {10: 100, 30: 50, 100: 10}
    solves = []
    for size in sizes:
        solves.append(SolveConfig("ant", size, 0, ant_repeats[size]))
        solves.append(SolveConfig("prob", size, 100, prob_repeats[size]))
    solves.append(SolveConfig("prob", 100, 100_000, 1))

    # Enough constructions for ~1e5 steps of the fast construction; the
    # rescan of a 300 x 300 task takes seconds per candidate and that of a
    # 1000 x 1000 task most of an hour, so the latter is timed over its
    # first steps only and labelled as such.
    fast_constructions = {10: 2000, 30: 300, 100: 30, 300: 5, 1000: 2}
    if not full:
        fast_constructions = {10: 300, 30: 50, 100: 5}
    rescan = {10: (50, 0), 30: (10, 0), 100: (1, 0), 300: (1, 0), 1000: (1, 2000)}
    constructions = []
    for size in sizes:
        for beta in (2.0, 1.0):
            constructions.append(ConstructionConfig(size, beta, False, fast_constructions[size]))
            count, cap = rescan[size]
            constructions.append(ConstructionConfig(size, beta, True, count, cap))
    return solves, constructions


# --------------------------------------------------------------------------
# Building


@dataclass
class Build:
    build_dir: Path
    module_dir: Path | None  # None: the installed corvane
    source: str  # a description for the report
    commit: str
    dirty: list[str] = field(default_factory=list)


def git(*args: str, cwd: Path = ROOT) -> str:
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def build(installed: bool, rev: str | None) -> Build:
    if rev is not None:
        commit = git("rev-parse", "--verify", f"{rev}^{{commit}}")
        source_dir = ROOT / "build" / f"bench-src-{commit[:12]}"
        if not source_dir.exists():
            source_dir.mkdir(parents=True)
            archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", str(source_dir)], input=archive, check=True)
        build_dir = ROOT / "build" / f"bench-{commit[:12]}"
        source = f"commit {commit[:12]} (exported with git archive)"
        dirty: list[str] = []
    else:
        commit = git("rev-parse", "HEAD")
        source_dir = ROOT
        build_dir = ROOT / "build" / "bench"
        dirty = [line for line in git("status", "--porcelain", "--", "src", "CMakeLists.txt", "benchmarks").splitlines()]
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
    log(f"building in {build_dir.relative_to(ROOT)} ...")
    for command in (configure, ["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 2)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout + result.stderr)
            raise SystemExit(f"build failed: {' '.join(command)}")
    return Build(build_dir, None if installed else build_dir, source, commit, dirty)


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
    measured again during every solve and reported, so a disturbed
    measurement shows up as one."""

    def __init__(self, each: float, total: float, threshold: float = 0.3):
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
    report: dict
    wall: float  # whole child, including start-up
    child_cpu: float  # user + system of the child, from wait4
    peak_rss_kib: int  # ru_maxrss of the child, from wait4
    other_cores: float | None  # average cores kept busy by other processes meanwhile (None: run too short)


def run_measured(command: list[str], env: dict[str, str] | None = None) -> ChildRun:
    """Runs one child to completion and measures it from outside: its
    resource use from wait4, and how busy the rest of the machine was."""
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
        sys.stderr.write(stderr)
        raise SystemExit(f"{' '.join(command)} failed with exit code {child.returncode}")
    child_cpu = usage.ru_utime + usage.ru_stime
    # /proc/stat counts in clock ticks (10 ms), too coarse for a short child.
    other = max(0.0, (busy1 - busy0) / hz - child_cpu) / wall if wall >= 0.3 else None
    return ChildRun(json.loads(stdout), wall, child_cpu, usage.ru_maxrss, other)


def run_solve(config: SolveConfig, threads: int, module_dir: Path | None, quiet: QuietWaiter) -> ChildRun:
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # NumPy's BLAS threads have no work here; keep them from spinning.
    env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = "1"
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), env.get("PYTHONPATH")]))
    command = [sys.executable, str(HERE / "solve_once.py"), config.solver, str(config.size), str(config.repeats),
               "--kmax", str(config.kmax)]
    before = quiet()
    run = run_measured(command, env)
    if run.other_cores is None:
        run.other_cores = before
    if module_dir is not None and not run.report["module"].startswith(str(module_dir)):
        raise SystemExit(f"the child imported {run.report['module']}, not the module built in {module_dir}")
    return run


@dataclass
class SolveResult:
    config: SolveConfig
    runs: dict[int, ChildRun]

    def seconds(self, threads: int) -> float:
        return statistics.median(self.runs[threads].report["seconds"])

    def speedup(self) -> float:
        return self.seconds(1) / self.seconds(2)

    def peak_rss_kib(self) -> int:
        return max(run.peak_rss_kib for run in self.runs.values())


def measure_solves(configs: list[SolveConfig], module_dir: Path | None, quiet: QuietWaiter,
                   retries: int) -> list[SolveResult]:
    """A measurement that other processes disturbed is taken again, up to
    `retries` times; the least disturbed attempt is kept (and reported with
    the load it saw)."""
    results = []
    for config in configs:
        runs = {}
        for threads in THREADS:
            log(f"  {config.label}, {config.size}x{config.size}, {threads} thread(s), {config.repeats} solve(s) ...")
            for attempt in range(retries + 1):
                run = run_solve(config, threads, module_dir, quiet)
                log(f"    median {statistics.median(run.report['seconds']):.4g} s,"
                    f" peak RSS {run.peak_rss_kib / 1024:.1f} MiB, other load {fmt_load(run.other_cores)}")
                kept = runs.get(threads)
                if kept is None or (run.other_cores or 0.0) < (kept.other_cores or 0.0):
                    runs[threads] = run
                if not disturbed(runs[threads].other_cores) or attempt == retries:
                    break
                log("    disturbed by other processes; measuring again")
            runs[threads].report["attempts"] = attempt + 1
        results.append(SolveResult(config, runs))
    return results


def measure_constructions(configs: list[ConstructionConfig], build_dir: Path, quiet: QuietWaiter) -> dict[tuple, dict]:
    program = build_dir / "construction_bench"
    results = {}
    for config in configs:
        command = [str(program), str(config.size), str(config.constructions), "--beta", str(config.beta), "--json"]
        if config.rescan:
            command.append("--rescan")
        if config.max_steps:
            command += ["--max-steps", str(config.max_steps)]
        log(f"  construction_bench {' '.join(command[1:])} ...")
        before = quiet()
        run = run_measured(command)
        if run.other_cores is None:
            run.other_cores = before
        report = {**run.report, "other_cores": run.other_cores}
        log(f"    {report['ns_per_step']:.1f} ns/step over {report['steps']} steps")
        results[(config.size, config.beta, config.rescan)] = report
    return results


def measure_ceiling(build_dir: Path, sizes: tuple[int, ...], quiet: QuietWaiter) -> list[dict]:
    """How much two independent single-threaded processes slow each other
    down on this machine: the most two threads of one solve can hope for.
    construction_bench runs alone, then two copies at once."""
    program = build_dir / "construction_bench"
    results = []
    for size in sizes:
        # About a second alone, so the machine's load can be read too.
        constructions = {100: 1000, 300: 100, 1000: 8}.get(size, 10)
        command = [str(program), str(size), str(constructions), "--json"]
        log(f"  two-core ceiling: construction_bench {size} {constructions}, alone then two at once ...")
        before = quiet()
        alone = run_measured(command)
        if alone.other_cores is None:
            alone.other_cores = before
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
        t_alone = alone.report["seconds"]
        t_pair = max(json.loads(output)["seconds"] for output in outputs)
        results.append({"size": size, "constructions": constructions, "alone": t_alone, "pair": t_pair,
                        "throughput": 2 * t_alone / t_pair, "other_cores": alone.other_cores,
                        "pair_other_cores": pair_other})
        log(f"    alone {t_alone:.3f} s, two at once {t_pair:.3f} s: {2 * t_alone / t_pair:.2f}x the throughput")
    return results


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
    info["Python / NumPy"] = f"{platform.python_implementation()} {platform.python_version()} / NumPy {numpy_version}"
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


def disturbed(cores: float | None) -> bool:
    return cores is not None and cores >= 0.3


def verdict(ok: bool) -> str:
    return "**met**" if ok else "**missed**"


def report(args, info, build_info: Build, solves: list[SolveResult], constructions: dict, ceiling: list[dict],
           started: str,
           load_before: tuple, load_after: tuple, elapsed: float) -> str:
    lines: list[str] = []
    add = lines.append
    mode = "full" if args.full else "quick"
    add("# Benchmarks")
    add("")
    command = " ".join(["python3", "benchmarks/run.py", *sys.argv[1:]])
    add(f"Generated by `{command}`; every number below was measured by that run. "
        "`python3 benchmarks/run.py --full --write docs/benchmarks.md` regenerates the published table "
        "after the solvers change; see the README's *Benchmarks* section.")
    add("")
    add("## Machine and run")
    add("")
    add("| | |")
    add("|---|---|")
    for key, value in info.items():
        add(f"| {key} | {value} |")
    add(f"| Compiler | {compiler(build_info.build_dir)} |")
    module = "installed package (`import corvane`)" if build_info.module_dir is None else "built by the run"
    add(f"| Code measured | {build_info.source}; module {module} |")
    add(f"| Run | {mode} mode, started {started}, took {elapsed / 60:.1f} min |")
    add(f"| Load average (1, 5, 15 min) | before {', '.join(f'{v:.2f}' for v in load_before)}; "
        f"after {', '.join(f'{v:.2f}' for v in load_after)} |")
    add("")
    add("Tasks are m = n = size: costs uniform integers 1–99, resources 1–19, discounts uniform in [0, 0.5), "
        "budget = ⌊total resource / 10⌋. The solve rows use one fixed NumPy-generated task per size; "
        "the construction rows use construction_bench's own task of the same distribution.")
    add("")

    add("## Solves")
    add("")
    add("Each configuration runs in a fresh Python process per thread setting (`RAYON_NUM_THREADS=1`, then `=2`); "
        "the process builds the task, creates the worker pool on a tiny warm-up solve, then times `solve` "
        "*reps* times; the table gives the median. *Peak RSS* is the child's `ru_maxrss` (the larger of the "
        "two thread settings; it includes the interpreter, NumPy and the task's arrays, whose share is the "
        "*RSS before solving* column). A measurement that other processes disturbed is taken again (up to "
        "`--retries` times) and the least disturbed attempt is kept; *Attempts* counts them. *ns/step (native)* is construction_bench's production construction "
        "on the same size and the solver's cell weights; *straightforward ns/step* is the reference "
        "rescan construction on the same task. *Other load* is the average number of cores kept busy by "
        "other processes during the 1-thread / 2-thread child (from /proc/stat; for a child that ran under "
        "0.3 s, over the half second before it); anything well above 0 means the timing was disturbed.")
    add("")
    add("| Solver | Size | Candidates / solve | Reps | Time / solve, 1 thread | Time / solve, 2 threads | "
        "Speed-up 2 / 1 | Candidates / s, 2 threads | ns / step (native) | straightforward ns / step | "
        "Peak RSS MiB | RSS before solving MiB | Other load (cores) 1T / 2T | Attempts 1T / 2T |")
    add("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for result in solves:
        config = result.config
        fast = constructions.get((config.size, config.beta, False))
        rescan = constructions.get((config.size, config.beta, True))
        ns_fast = fmt_ns(fast["ns_per_step"]) if fast else "—"
        if rescan is None:
            ns_rescan = "not run"
        elif rescan["cut_short"]:
            ns_rescan = f"{fmt_ns(rescan['ns_per_step'])} (first {rescan['steps']:,} steps only)"
        else:
            ns_rescan = fmt_ns(rescan["ns_per_step"])
        before = max(run.report["rss_before_solve_kib"] for run in result.runs.values())
        add(f"| {config.label} | {config.size}×{config.size} | {config.candidates:,} | {config.repeats} | "
            f"{fmt_seconds(result.seconds(1))} | {fmt_seconds(result.seconds(2))} | {result.speedup():.2f}× | "
            f"{fmt_count(config.candidates / result.seconds(2))} | {ns_fast} | {ns_rescan} | "
            f"{fmt_mib(result.peak_rss_kib())} | {fmt_mib(before)} | "
            f"{fmt_load(result.runs[1].other_cores)} / {fmt_load(result.runs[2].other_cores)} | "
            f"{result.runs[1].report.get('attempts', 1)} / {result.runs[2].report.get('attempts', 1)} |")
    add("")

    add("### Per step inside the solve")
    add("")
    add("The Python API does not report step counts. As a rough cross-check of the native column, "
        "*solve ns/step ≈* divides the 1-thread solve time by candidates × the number of cells in the "
        "returned best assignment (a candidate's step count is its number of cells; the best one is only "
        "a proxy for the average). It includes everything a solve does besides constructing: weights, "
        "scoring, pheromone update. *CPU / wall, 2 threads* is the child's CPU time over its wall time "
        "while solving with two threads (2.0 = both cores busy throughout).")
    add("")
    add("| Solver | Size | Cells in best (median) | solve ns/step ≈, 1 thread | ns / step (native) | "
        "CPU / wall, 2 threads |")
    add("|---|---|---|---|---|---|")
    for result in solves:
        config = result.config
        picked = statistics.median(result.runs[1].report["picked"])
        approx = result.seconds(1) * 1e9 / (config.candidates * picked) if picked else float("nan")
        fast = constructions.get((config.size, config.beta, False))
        two = result.runs[2].report
        utilisation = two["cpu_seconds"] / sum(two["seconds"])
        add(f"| {config.label} | {config.size}×{config.size} | {picked:,.0f} | {fmt_ns(approx)} | "
            f"{fmt_ns(fast['ns_per_step']) if fast else '—'} | {utilisation:.2f} |")
    add("")

    add("## Construction steps (construction_bench)")
    add("")
    add("Single thread, fixed generator sequence. Weight η² is an ant's in its first iteration (τ = 1, "
        "α = 1, β = 2); η is the probabilistic solver's. *Exact-scan steps* are steps of the production "
        "construction that fell back to the exact left-to-right sums.")
    add("")
    add("| Size | Weight | Construction | Candidates | Steps | ns / step | Exact-scan steps | Batch setup ms | "
        "Fast / straightforward | Other load (cores) |")
    add("|---|---|---|---|---|---|---|---|---|---|")
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
        add(f"| {size}×{size} | {weight} | {name} | {done} | {r['steps']:,} | {fmt_ns(r['ns_per_step'])} | {exact} | "
            f"{r['setup_ms']:.2f} | {ratio} | {fmt_load(r['other_cores'])} |")
    add("")
    cut = [r for (s, b, rs), r in constructions.items() if rs and r["cut_short"]]
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
    measured = {r.config.size: r.seconds(1) for r in solves if r.config.solver == "ant"}
    for size in sorted({k[0] for k in constructions}):
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
    for c in ceiling:
        add(f"| {c['size']}×{c['size']} | {c['constructions']} | {c['alone']:.3f} | {c['pair']:.3f} | "
            f"{c['throughput']:.2f}× | {fmt_load(c['other_cores'])} / {fmt_load(c['pair_other_cores'])} |")
    add("")

    noisy = [f"{r.config.label} {r.config.size}×{r.config.size} ({t} thread{'s' if t > 1 else ''}: "
                 f"{run.other_cores:.2f})" for r in solves for t, run in r.runs.items() if disturbed(run.other_cores)]
    noisy += [f"two-core ceiling {c['size']}×{c['size']} ({fmt_load(c['other_cores'])} alone, "
              f"{fmt_load(c['pair_other_cores'])} two at once)" for c in ceiling
              if disturbed(c["other_cores"]) or disturbed(c["pair_other_cores"])]
    noisy += [f"construction_bench {'rescan' if rs else 'production'} {s}×{s} ({r['other_cores']:.2f})"
                  for (s, b, rs), r in constructions.items() if disturbed(r["other_cores"])]
    if noisy:
        add(f"**Disturbed measurements.** Other processes kept at least 0.3 cores busy on average during "
            f"{len(noisy)} measurement(s); on a 2-core machine that slows them, and the two-thread runs "
            f"most: " + "; ".join(noisy) + ".")
    else:
        add("No measurement saw other processes keep 0.3 cores or more busy on average.")
    add("")

    add("## Targets")
    add("")
    add("Seconds per solve are the 2-thread medians (two threads is what a solve uses by default on this machine).")
    add("")
    add("| Target | Measured | Verdict |")
    add("|---|---|---|")
    by_key = {(r.config.solver, r.config.size, r.config.kmax): r for r in solves}
    for size, limit in ((100, 1.0), (300, 15.0), (1000, 300.0)):
        r = by_key.get(("ant", size, 0))
        if r is None:
            add(f"| ant colony {size}×{size} ≤ {limit:g} s | not run in {mode} mode | — |")
            continue
        text = f"{r.seconds(2):.3g} s (1 thread: {r.seconds(1):.3g} s)"
        ok = r.seconds(2) <= limit
        if size == 1000:
            fast = constructions.get((1000, 2.0, False))
            text += f"; {fast['ns_per_step']:.0f} ns per construction step (native)" if fast else ""
            ok = ok and fast is not None and fast["ns_per_step"] <= 1000
            add(f"| ant colony {size}×{size} ≤ {limit:g} s at ≤ 1 µs per step | {text} | {verdict(ok)} |")
        else:
            add(f"| ant colony {size}×{size} ≤ {limit:g} s | {text} | {verdict(ok)} |")
    r = by_key.get(("prob", 100, 100_000))
    if r is None:
        add(f"| probabilistic kmax=100000, 100×100: peak RSS < 200 MB | not run in {mode} mode | — |")
    else:
        peak = r.peak_rss_kib() * 1024
        add(f"| probabilistic kmax=100000, 100×100: peak RSS < 200 MB | {peak / MB:.1f} MB "
            f"({peak / 2**20:.1f} MiB; 1 thread {r.runs[1].peak_rss_kib * 1024 / MB:.1f} MB, "
            f"2 threads {r.runs[2].peak_rss_kib * 1024 / MB:.1f} MB) | {verdict(peak < 200 * MB)} |")
    speedups = [(r.speedup(), r) for r in solves]
    low = [f"{r.config.label} {r.config.size}×{r.config.size}: {s:.2f}×" for s, r in speedups if s < 1.8]
    text = f"{min(s for s, _ in speedups):.2f}× to {max(s for s, _ in speedups):.2f}× over {len(speedups)} rows"
    if low:
        text += "; below 1.8×: " + "; ".join(low)
    if ceiling:
        text += ("; for comparison, two independent single-threaded processes reach "
                 + ", ".join(f"{c['throughput']:.2f}× ({c['size']}×{c['size']})" for c in ceiling))
    add(f"| 2 threads ≥ 1.8× one thread (every row: batches of 20 ants or ≥ 100 samples) | {text} | "
        f"{verdict(not low)} |")
    add("")
    above = [f"{r.config.label} {r.config.size}×{r.config.size}: {r.speedup():.2f}×" for r in solves
             if r.speedup() > 2.05]
    above += [f"two-core ceiling {c['size']}×{c['size']}: {c['throughput']:.2f}×" for c in ceiling
              if c["throughput"] > 2.05]
    if above:
        add("**More than 2× on two cores** (" + "; ".join(above) + ") is not a gain from parallelism: the "
            "runs being compared did not go at the same speed per core, although no other process was seen "
            "busy. Single runs of the large tasks (1000×1000 especially) vary by this much from one run to "
            "the next on this machine, so read such differences as run-to-run variation, and compare "
            "repeated full runs before trusting a margin of a few tens of percent.")
        add("")
    if build_info.dirty:
        add("Uncommitted changes were present in the measured tree:")
        add("")
        add("```")
        lines.extend(build_info.dirty)
        add("```")
        add("")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="sizes up to 100x100, few repetitions (default)")
    mode.add_argument("--full", action="store_true", help="every size up to 1000x1000 and kmax=100000")
    parser.add_argument("--write", type=Path, help="write the Markdown report to this file (e.g. docs/benchmarks.md)")
    parser.add_argument("--json", type=Path, help="also write the raw measurements as JSON")
    parser.add_argument("--installed", action="store_true", help="measure the installed corvane instead of building")
    parser.add_argument("--rev", help="build this committed revision instead of the working tree")
    parser.add_argument("--quiet-wait", type=float, metavar="SECONDS",
                        help="before each measurement wait up to this long for other processes to leave the "
                             "cores idle, 40 minutes at most over the run (default: 300 in full mode, 0 in "
                             "quick mode)")
    parser.add_argument("--retries", type=int, metavar="N",
                        help="measure a solve again, up to N times, when other processes disturbed it "
                             "(default: 2 in full mode, 0 in quick mode)")
    args = parser.parse_args()

    started = dt.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    start = time.perf_counter()
    load_before = os.getloadavg()
    build_info = build(args.installed, args.rev)
    solve_configs, construction_configs = plan(args.full)
    info = machine()

    log("construction steps:")
    each = args.quiet_wait if args.quiet_wait is not None else (300.0 if args.full else 0.0)
    quiet = QuietWaiter(each, total=2400.0)
    constructions = measure_constructions(construction_configs, build_info.build_dir, quiet)
    log("two-core ceiling:")
    ceiling = measure_ceiling(build_info.build_dir, (300, 1000) if args.full else (300,), quiet)
    log("solves:")
    retries = args.retries if args.retries is not None else (2 if args.full else 0)
    solves = measure_solves(solve_configs, build_info.module_dir, quiet, retries)
    load_after = os.getloadavg()

    text = report(args, info, build_info, solves, constructions, ceiling, started, load_before, load_after,
                  time.perf_counter() - start)
    if args.write:
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(text + "\n")
        log(f"wrote {args.write}")
    if args.json:
        raw = {
            "machine": info,
            "source": build_info.source,
            "constructions": [dict(r) for r in constructions.values()],
            "ceiling": ceiling,
            "solves": [
                {"solver": r.config.solver, "size": r.config.size, "kmax": r.config.kmax,
                 "runs": {str(t): {**run.report, "wall": run.wall, "child_cpu": run.child_cpu,
                                   "peak_rss_kib": run.peak_rss_kib, "other_cores": run.other_cores}
                          for t, run in r.runs.items()}}
                for r in solves
            ],
        }
        args.json.write_text(json.dumps(raw, indent=1) + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
