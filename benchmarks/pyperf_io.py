"""pyperf's side: the command line of one pyperf invocation of
solve_once.py, what it wrote (the benchmark and the workers' side records),
the statistics of a series of invocations, and pyperf's own result files and
comparison."""

from __future__ import annotations

import copy
import json
import os
import statistics
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

try:
    import pyperf
except ImportError:  # pragma: no cover - a message instead of a traceback
    raise SystemExit("the benchmarks need pyperf in this interpreter: python3 -m pip install pyperf "
                     "(or the project's 'bench' extra)")

HERE = Path(__file__).resolve().parent
THREADS = (1, 2)
# The variables pyperf passes on to its workers besides its own few (PATH,
# HOME, PYTHONPATH, ...). CORVANE_SEED, CORVANE_RELEASE_GIL and
# CORVANE_TIME_LIMIT are left out on purpose: every solve is measured
# unseeded, holding the interpreter lock, to its end. CORVANE_BENCH_LOG
# (benchmarks/solve_once.py) measures the solves with their progress records.
ENV_PASSED = ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "CORVANE_BENCH_SIDECAR",
              "CORVANE_BENCH_LOG", "LD_LIBRARY_PATH")


def pyperf_command(config, threads: int, loops: int | None, module_dir: Path | None, output: Path,
                   sidecar: Path) -> tuple[list[str], dict[str, str]]:
    """The command and environment of one pyperf invocation of solve_once.py
    for a solve configuration (a measuring.SolveConfig)."""
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # NumPy's BLAS threads have no work here; keep them from spinning.
    env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = "1"
    env["CORVANE_BENCH_SIDECAR"] = str(sidecar)
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), env.get("PYTHONPATH")]))
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
    if module_dir is not None:
        command += ["--expect-module", str(module_dir)]
    return command, env


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

    @classmethod
    def read(cls, output: Path, sidecar: Path, wall: float, tree_rss_kib: int,
             other_cores: float | None) -> Invocation:
        side = [json.loads(line) for line in sidecar.read_text().splitlines()]
        return cls(pyperf.Benchmark.load(str(output)), side, wall, tree_rss_kib, other_cores)


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

    def side(self) -> list[dict]:
        return [s for invocation in self.invocations for s in invocation.side]

    def rss_before_kib(self) -> int:
        return max(s["rss_before_solve_kib"] for s in self.side())

    def picked(self) -> float:
        return statistics.median(p for s in self.side() for p in s["picked"])

    def cpu_per_wall(self) -> float:
        side = self.side()
        return sum(s["cpu_seconds"] for s in side) / sum(sum(s["seconds"]) for s in side)

    def other_cores(self) -> float | None:
        loads = [i.other_cores for i in self.invocations if i.other_cores is not None]
        return max(loads) if loads else None

    def attempts(self) -> int:
        return sum(i.attempts for i in self.invocations)


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
