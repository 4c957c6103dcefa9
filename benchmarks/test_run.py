"""Tests of the benchmark runner's own logic, without timing anything:

    python3 -m pytest benchmarks/test_run.py

The measuring functions are fed canned child results, so these check the
order of the interleaved runs, which run is kept, the statistics and the
direction of the ratios, and that the reports render; one test runs
solve_once.py under pyperf for real when a built module is in build/bench.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pyperf
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import measuring  # noqa: E402
import pyperf_io  # noqa: E402
import report  # noqa: E402
import run  # noqa: E402
import revisions  # noqa: E402
from measuring import ChildRun, ConstructionConfig, HandoverConfig, SolveConfig, interleaved  # noqa: E402
from pyperf_io import ENV_PASSED, HERE, THREADS, Invocation, Series  # noqa: E402
from revisions import ROOT, Build  # noqa: E402
from solve_once import benchmark_name  # noqa: E402


def make_bench(name: str, values: list[float], rss: int = 50 * 2**20, loops: int = 1, inner_loops: int | None = None):
    metadata = {"name": name, "loops": loops, "mem_max_rss": rss, "unit": "second"}
    if inner_loops:
        metadata["inner_loops"] = inner_loops
    return pyperf.Benchmark([pyperf.Run(values, warmups=None, metadata=metadata, collect_metadata=False)])


def invocation(name: str, values: list[float], *, rss_mib: int = 50, before_mib: int = 40, load: float | None = 0.0,
               picked: int = 10, loops: int = 1) -> Invocation:
    side = [{"module": "x", "seconds": list(values), "picked": [picked] * len(values),
             "cpu_seconds": sum(values), "rss_before_solve_kib": before_mib * 1024}]
    return Invocation(make_bench(name, values, rss_mib * 2**20, loops), side, 1.0, rss_mib * 1024, load)


def fake_build(tmp_path: Path, role: str) -> Build:
    build_dir = tmp_path / role
    build_dir.mkdir()
    (build_dir / "CMakeCache.txt").write_text("CMAKE_CXX_COMPILER:FILEPATH=/bin/true\nCMAKE_BUILD_TYPE:STRING=Release\n")
    return Build(role, build_dir, build_dir, f"{role} source", "0" * 40, handover=build_dir / "handover_bench",
                 handover_source=f"{role}'s handover_bench")


def test_interleaving_puts_each_revision_first_equally_often():
    a, b = object(), object()
    orders = [tuple(interleaved([a, b], r, t)) for r in range(2) for t in range(2)]
    assert orders.count((a, b)) == orders.count((b, a)) == 2
    # One round of both thread settings already alternates.
    assert interleaved([a, b], 0, 0) != interleaved([a, b], 0, 1)


def test_series_pools_the_values_of_all_rounds_and_takes_their_median():
    series = Series([invocation("x", [1.0, 9.0, 2.0]), invocation("x", [3.0, 4.0])])
    assert series.values() == [1.0, 9.0, 2.0, 3.0, 4.0]
    assert series.seconds() == 3.0
    assert series.benchmark().get_nvalue() == 5


def test_series_peak_rss_is_the_largest_worker_and_load_the_largest_seen():
    series = Series([invocation("x", [1.0], rss_mib=60, load=0.1), invocation("x", [1.0], rss_mib=80, load=None)])
    assert series.peak_rss_kib() == 80 * 1024
    assert series.other_cores() == 0.1


def test_per_iteration_values_are_pyperfs_divided_by_kmax():
    # pyperf divides a raw value by loops x inner loops; a 3-iteration solve
    # of 6 s is 2 s per iteration.
    bench = pyperf.Benchmark([pyperf.Run([2.0], warmups=None, metadata={"name": "n", "loops": 1, "inner_loops": 3},
                                         collect_metadata=False)])
    assert bench.get_values() == (2.0,)
    config = SolveConfig("ant", 1000, kmax=3, per_iteration=True)
    assert config.unit == "iteration" and config.candidates == 20
    assert config.name == benchmark_name("ant", 1000, 3, True) != benchmark_name("ant", 1000, None, False)


def test_ratio_is_baseline_over_candidate(tmp_path):
    config = SolveConfig("prob", 100)
    solves = {
        "candidate": {config.key: {1: Series([invocation(config.name, [1.0])]),
                                   2: Series([invocation(config.name, [0.5])])}},
        "baseline": {config.key: {1: Series([invocation(config.name, [2.0])]),
                                  2: Series([invocation(config.name, [1.5])])}},
    }
    m = report.Measurements([fake_build(tmp_path, "candidate"), fake_build(tmp_path, "baseline")], [config], solves,
                         {}, [])
    assert m.ratio(config, 1) == 2.0  # the candidate takes half the time
    assert m.ratio(config, 2) == 3.0
    assert m.speedup("candidate", config) == 2.0


def test_measure_solves_reuses_calibrated_loops_and_keeps_the_least_disturbed_attempt(monkeypatch, tmp_path):
    builds = [fake_build(tmp_path, "candidate"), fake_build(tmp_path, "baseline")]
    calls = []
    loads = iter([0.0, 0.9, 0.5, 0.7] + [0.0] * 20)

    def fake_invoke(config, threads, loops, revision, quiet):
        calls.append((revision.role, threads, loops))
        return invocation(config.name, [1.0], load=next(loads), loops=loops or 16)

    monkeypatch.setattr(measuring, "invoke_pyperf", fake_invoke)
    config = SolveConfig("prob", 10, rounds=2)
    results = measuring.measure_solves([config], builds, quiet=None, retries=2)
    # The first invocation calibrates; all later ones run its 16 loops.
    assert calls[0][2] is None and all(loops == 16 for _, _, loops in calls[1:])
    # The baseline's first invocation saw 0.9, then 0.5, then 0.7 busy cores:
    # three attempts, the 0.5 one kept.
    kept = results["baseline"][config.key][1].invocations[0]
    assert (kept.attempts, kept.other_cores) == (3, 0.5)
    assert [r for r, t, _ in calls if t == 1][:5] == ["candidate", "baseline", "baseline", "baseline", "baseline"]
    for role in ("candidate", "baseline"):
        for threads in THREADS:
            assert len(results[role][config.key][threads].invocations) == 2


def test_measure_constructions_keeps_the_median_run_and_rescans_the_candidate_only(monkeypatch, tmp_path):
    builds = [fake_build(tmp_path, "candidate"), fake_build(tmp_path, "baseline")]
    ns = iter([250.0, 500.0, 450.0, 300.0, 200.0, 400.0, 9000.0])
    commands = []

    def fake_run(command, env, before):
        commands.append(command)
        canned = {"ns_per_step": next(ns), "steps": 100, "completed": 1, "cut_short": False, "exact_steps": 0,
                  "setup_ms": 0.1}
        return ChildRun(json.dumps(canned), 0.5, 0.5, 1000, 0.05 * len(commands))

    monkeypatch.setattr(measuring, "run_measured", fake_run)
    configs = [ConstructionConfig(100, 2.0, False, 10, rounds=3), ConstructionConfig(100, 2.0, True, 1)]
    results = measuring.measure_constructions(configs, builds, quiet=lambda: 0.0)
    assert [Path(c[0]).parent.name for c in commands] == ["candidate", "baseline", "baseline", "candidate",
                                                          "candidate", "baseline", "candidate"]
    # candidate 250, 300, 200; baseline 500, 450, 400
    assert results["candidate"][(100, 2.0, False)]["ns_per_step"] == 250.0
    assert results["baseline"][(100, 2.0, False)]["ns_per_step"] == 450.0
    assert results["baseline"][(100, 2.0, False)]["runs"] == 3
    assert results["candidate"][(100, 2.0, False)]["other_cores"] == pytest.approx(0.25)
    assert (100, 2.0, True) in results["candidate"] and (100, 2.0, True) not in results["baseline"]
    assert "--rescan" in commands[-1]


def test_measure_handovers_interleaves_pins_and_keeps_the_median(monkeypatch, tmp_path):
    builds = [fake_build(tmp_path, "candidate"), fake_build(tmp_path, "baseline"), fake_build(tmp_path, "none")]
    builds[2].handover = None  # did not build: not run
    us = iter([4.0, 9.0, 8.0, 3.0, 5.0, 7.0, 1.0, 2.0])
    commands = []

    def fake_run(command, env, before):
        commands.append(command)
        return ChildRun(json.dumps({"handover_us": next(us), "cpu_us_per_batch": 1.0}), 0.5, 0.5, 1000, 0.1)

    monkeypatch.setattr(measuring, "run_measured", fake_run)
    configs = [HandoverConfig(1, False, rounds=3), HandoverConfig(1, True, rounds=1)]
    results = measuring.measure_handovers(configs, builds, quiet=lambda: 0.0)
    assert [Path(c[-4]).parent.name for c in commands] == ["candidate", "baseline", "baseline", "candidate",
                                                          "candidate", "baseline", "baseline", "candidate"]
    assert [c[0] == "taskset" for c in commands] == [False] * 6 + [True] * 2
    assert results["candidate"][(1, False)]["handover_us"] == 4.0 and results["candidate"][(1, False)]["runs"] == 3
    assert results["baseline"][(1, False)]["handover_us"] == 8.0 and "none" not in results


def test_borrowed_handover_bench_is_added_once_and_never_over_a_revisions_own(tmp_path):
    (tmp_path / "CMakeLists.txt").write_text("project(x)\n")
    assert revisions.borrow_handover_bench(tmp_path) and revisions.borrow_handover_bench(tmp_path)
    assert (tmp_path / "CMakeLists.txt").read_text().count("add_executable(handover_bench") == 1
    assert (tmp_path / "benchmarks" / "handover_bench.cpp").read_bytes() == revisions.HANDOVER_SOURCE.read_bytes()
    (tmp_path / "CMakeLists.txt").write_text("add_executable(handover_bench benchmarks/handover_bench.cpp)\n")
    assert not revisions.borrow_handover_bench(tmp_path)


def rendered(tmp_path, compared: bool, candidate_time: float, load: float = 0.0) -> str:
    configs = [SolveConfig("ant", 100), SolveConfig("prob", 100),
               SolveConfig("ant", 1000, kmax=2, per_iteration=True)]
    builds = [fake_build(tmp_path, "candidate")] + ([fake_build(tmp_path, "baseline")] if compared else [])
    solves = {}
    for b in builds:
        t = candidate_time if b.role == "candidate" else 1.0
        solves[b.role] = {c.key: {1: Series([invocation(c.name, [t], load=load)]),
                                  2: Series([invocation(c.name, [t / 1.9])])} for c in configs}
    canned = {"ns_per_step": 200.0, "steps": 1000, "completed": 2, "cut_short": False, "exact_steps": 0,
              "setup_ms": 0.1, "other_cores": load, "runs": 2}
    constructions = {b.role: {(100, 2.0, False): dict(canned), (100, 1.0, False): dict(canned)} for b in builds}
    constructions["candidate"][(100, 2.0, True)] = {**canned, "ns_per_step": 20_000.0, "runs": 1}
    handovers = {b.role: {(1, False): {"batch_us": 9.0, "work_us": 6.0, "handover_us": 3.0 if b.role == "candidate"
                                       else 6.0, "cpu_us_per_batch": 12.5, "other_cores": load, "runs": 2}}
                 for b in builds}
    m = report.Measurements(builds, configs, solves, constructions, [], handovers=handovers)
    args = run.parse_args(["--quick"] + (["--baseline", "X"] if compared else []))
    return report.report(args, {"CPU": "test"}, m, "now", (0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 60.0)


def test_comparison_report_gives_both_numbers_the_ratio_and_the_slower_rows(tmp_path):
    text = rendered(tmp_path, compared=True, candidate_time=2.0)  # the candidate twice as slow
    row = next(line for line in text.splitlines() if line.startswith("| probabilistic (kmax=100) | 100×100 | solve"))
    assert "| 1.00 s | 2.00 s | **0.50×** |" in row
    assert "ant colony (20 ants x 2 it.), per iteration | 1000×1000 | iteration" in text
    slower = next(line for line in text.splitlines() if line.startswith("| Rows where the candidate is slower"))
    assert slower.count("0.50×") == 6  # three rows, two thread settings
    rss = next(line for line in text.splitlines() if line.startswith("| Peak RSS, default ant colony, 1000×1000"))
    assert "solves of 2 iterations standing in" in rss
    assert "# The candidate on its own" in text
    assert "| 1 worker | 6.00 | 3.00 | **2.00×** | 12.50 | 12.50 | 2 | 0.00 |" in text
    assert "handover_bench: baseline's handover_bench" in text


def test_single_revision_report_has_no_comparison(tmp_path):
    text = rendered(tmp_path, compared=False, candidate_time=1.0)
    assert "Baseline against candidate" not in text and "## Targets" in text
    assert "| ant colony 100×100 ≤ 1 s | 0.526 s (1 thread: 1 s) | **met** |" in text
    assert "| 1 worker | 9.00 | 6.00 | 3.00 | 12.50 | 2 | 0.00 |" in text


@pytest.mark.parametrize("compared", [True, False])
def test_disturbed_measurements_are_named(tmp_path, compared):
    text = rendered(tmp_path, compared=compared, candidate_time=1.0, load=0.9)
    disturbed = [line for line in text.splitlines() if line.startswith("**Disturbed measurements.**")]
    assert len(disturbed) == (2 if compared else 1)
    assert "probabilistic (kmax=100) 100×100" in disturbed[0]
    assert "construction_bench production 100×100 η²" in disturbed[0] and "(0.90)" in disturbed[-1]
    assert "handover_bench 1 worker" in disturbed[0] and "handover_bench 1 worker" in disturbed[-1]
    assert "No measurement saw" not in text


def test_arguments():
    args = run.parse_args(["--full", "--baseline", "92f3013", "--sizes", "100,1000"])
    assert args.full and args.baseline == "92f3013" and args.sizes == {100, 1000}
    with pytest.raises(SystemExit):
        run.parse_args(["--quick", "--full"])


def built_module() -> Path | None:
    found = sorted((ROOT / "build" / "bench").glob("corvane*.so"))
    return found[0].parent if found else None


@pytest.mark.skipif(built_module() is None, reason="no module in build/bench (run benchmarks/run.py once)")
def test_solve_once_under_pyperf(tmp_path):
    module_dir = built_module()
    output, sidecar = tmp_path / "out.json", tmp_path / "side.jsonl"
    env = {**os.environ, "PYTHONPATH": str(module_dir), "CORVANE_BENCH_SIDECAR": str(sidecar),
           "RAYON_NUM_THREADS": "1"}
    subprocess.run([sys.executable, str(HERE / "solve_once.py"), "ant", "6", "--kmax", "3", "--per-iteration",
                    "--processes", "1", "--values", "2", "--loops", "2", "--warmups", "0",
                    "--inherit-environ", ",".join(ENV_PASSED), "--expect-module", str(module_dir),
                    "--quiet", "-o", str(output)], env=env, check=True, capture_output=True)
    bench = pyperf.Benchmark.load(str(output))
    assert bench.get_name() == benchmark_name("ant", 6, 3, True)
    assert bench.get_nvalue() == 2 and bench.get_inner_loops() == 3
    side = [json.loads(line) for line in sidecar.read_text().splitlines()]
    # Two values of two solves each, every solve checked and recorded.
    assert [len(s["seconds"]) for s in side] == [2, 2]
    assert all(p > 0 for s in side for p in s["picked"])
    # A value is the mean per iteration of its solves.
    assert sorted(bench.get_values()) == pytest.approx(sorted(sum(s["seconds"]) / 6 for s in side))
    wrong = subprocess.run([sys.executable, str(HERE / "solve_once.py"), "prob", "6", "--processes", "1",
                            "--values", "1", "--loops", "1", "--warmups", "0", "--inherit-environ",
                            ",".join(ENV_PASSED), "--expect-module", str(tmp_path), "-o", str(tmp_path / "x.json")],
                           env=env, capture_output=True, text=True)
    assert wrong.returncode != 0 and "not the module" in wrong.stdout + wrong.stderr
