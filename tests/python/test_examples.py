"""Smoke tests of the scripts in examples/: each runs in its own interpreter on
small sizes, and what it prints is held to what must hold for any run."""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from support import require, without_leak_reports

EXAMPLES = require("examples")
NUMBER = r"(-?\d+(?:\.\d+)?)"


def run_example(name, *args, cwd, stderr=False):
    env = without_leak_reports(os.environ) if name == "dask_cluster.py" else None
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300, env=env)
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}{done.stderr}"
    return (done.stdout, done.stderr) if stderr else done.stdout


def test_every_example_has_a_smoke_test():
    tested = set(re.findall(r'run_example\("(\w+\.py)"', Path(__file__).read_text()))
    assert tested == {path.name for path in EXAMPLES.glob("*.py")}


def test_quickstart(tmp_path):
    out = run_example("quickstart.py", cwd=tmp_path)
    rows = re.findall(rf"value +{NUMBER} +cells +(\d+) +budget used +{NUMBER}%", out)
    assert len(rows) == 2, out
    for value, cells, used in rows:
        assert float(value) > 0 and int(cells) > 0 and 0 < float(used) <= 100


def test_exact_optimum_bounds_both_solvers(tmp_path):
    # The script itself stops when the MILP and the dynamic programme disagree.
    out = run_example("exact_optimum.py", "--rows", "5", "--cols", "6", "--tasks", "3", cwd=tmp_path)
    rows = re.findall(rf"^ +\d+ +{NUMBER} +{NUMBER} +{NUMBER} +{NUMBER} +{NUMBER}% +{NUMBER} +{NUMBER}%$", out,
                      re.MULTILINE)
    assert len(rows) == 3, out
    for optimum, _milp_seconds, _dp_seconds, *rest in rows:
        for value, gap in (rest[:2], rest[2:]):
            # Printed to two decimals: a solver may tie the optimum but never beat it.
            assert 0.0 <= float(value) <= float(optimum)
            assert 0.0 <= float(gap) <= 100.0
    assert len(re.findall(r"^mean gap (ant colony|probabilistic): ", out, re.MULTILINE)) == 2


def test_convergence_figure(tmp_path):
    png = tmp_path / "figure.png"
    out = run_example("convergence.py", "--rows", "8", "--cols", "9", "--repeats", "2", "--max-iterations", "5",
                      "--max-constructions", "20", "--output", str(png), cwd=tmp_path)
    bound = float(re.search(rf"relaxation bound {NUMBER}", out).group(1))
    points = re.findall(rf"^(ant colony|probabilistic) +kmax +(\d+) +mean best +{NUMBER}", out, re.MULTILINE)
    assert [(s, int(k)) for s, k, _ in points] == [("ant colony", k) for k in (1, 2, 5)] + [
        ("probabilistic", k) for k in (1, 2, 5, 10, 20)]
    # No assignment can beat the linear relaxation.
    assert all(0.0 < float(mean) <= bound * (1 + 1e-9) for *_, mean in points)
    header = png.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    width, height = struct.unpack(">II", header[16:24])
    assert width > height >= 300


def test_progress_bar_time_limit_and_convergence(tmp_path):
    # Long enough a limit for a progress record before it, and so for an estimate of the time left.
    out, bars = run_example("progress.py", "--rows", "12", "--cols", "13", "--kmax", "6", "--time-limit", "1.5",
                            "--output", "curve.png", cwd=tmp_path, stderr=True)
    lines = out.splitlines()
    assert re.fullmatch(rf"ant colony: best {NUMBER}, \d+ cells chosen", lines[0]), out
    limited = re.fullmatch(rf"probabilistic, time limit 1.5 s: best {NUMBER} after (\d+) samples in {NUMBER} s",
                           lines[1])
    # Far fewer than its kmax of 10^12: the limit ended it.
    assert limited and float(limited.group(1)) > 0 and 1 <= int(limited.group(2)) < 10**9, out
    assert re.fullmatch(rf"ant colony again: best {NUMBER}, 6 iterations recorded", lines[2]), out
    header = (tmp_path / "curve.png").read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", header[16:24])[0] > 300
    # The time-limited bar's estimate of the time left stays within the limit, not the hours of its kmax.
    left = re.findall(r"^ProbabilisticAssignmentSolver\b.*?<(?:(\d+):)?(\d+):(\d+)",
                      bars.replace("\r", "\n"), re.MULTILINE)
    assert left and all(3600 * int(h or 0) + 60 * int(m) + int(s) <= 2 for h, m, s in left), bars


def test_beta_cost_takes_turns_and_reports_ratios(tmp_path):
    out = run_example("beta_cost.py", "--sizes", "6", "9", "--rounds", "3", cwd=tmp_path)
    rows = re.findall(rf"^(\d+)x\d+ uncorrelated: default beta=2 median {NUMBER} s, beta=8 median {NUMBER} s;"
                      rf" ratio median {NUMBER} \(from {NUMBER} to {NUMBER}, 3 rounds\)$", out, re.MULTILINE)
    assert [size for size, *_ in rows] == ["6", "9"], out
    for *_, median, low, high in rows:
        # The median of the per-round ratios lies within their range.
        assert 0 < float(low) <= float(median) <= float(high)


def test_process_pool_with_fork_and_spawn(tmp_path):
    out = run_example("process_pool.py", "--tasks", "6", "--rows", "7", "--cols", "8", "--kmax", "5",
                      "--workers", "2", cwd=tmp_path)
    parent = re.search(r"^parent (\d+) solved", out, re.MULTILINE).group(1)
    lines = re.findall(r"^(\w+) +(\d+) solved in .* by (\d+) worker processes \(([\d, ]+)\); "
                       r".*all within budget: (\w+)$", out, re.MULTILINE)
    assert [line[0] for line in lines] == ["fork", "spawn"], out
    for _, solved, processes, pids, within in lines:
        assert solved == "6" and within == "True"
        # The tasks were built and solved in the workers, not here.
        assert 1 <= int(processes) <= 2 and parent not in pids.split(", ")


def exact_optimum(c, b_ij, b_total, omega):
    from scipy.optimize import Bounds, LinearConstraint, milp

    values = (c * (1.0 - omega)).ravel()
    result = milp(-values, integrality=np.ones(values.size), bounds=Bounds(0.0, 1.0),
                  constraints=LinearConstraint(b_ij.reshape(1, -1).astype(float), -np.inf, b_total),
                  options={"mip_rel_gap": 0.0})
    assert result.success
    return -result.fun


def check_dask_run(out, saved, tasks, restarts, seeds=None):
    """What holds for any run: valid assignments no better than the optimum, two
    worker processes (not the client) with one native thread each and the
    given seeds, the best of each task reported as the largest of its values."""
    client = re.search(r"^client pid (\d+):", out, re.MULTILINE).group(1)
    workers = re.findall(r"^  worker \S+ pid (\d+) RAYON_NUM_THREADS=(\S+) CORVANE_SEED=(\S+): (\d+) solves", out,
                         re.MULTILINE)
    assert len(workers) == 2 and client not in {pid for pid, *_ in workers}, out
    assert all(threads == "1" for _, threads, _, _ in workers), out
    assert sorted(seed for _, _, seed, _ in workers) == sorted(seeds or ["unset", "unset"]), out
    assert sum(int(solves) for *_, solves in workers) == tasks * restarts
    assert sorted(set(saved["pid"].tolist())) == sorted(int(pid) for pid, *_ in workers)

    printed = re.findall(rf"^solve task (\d+) restart +(\d+) on \S+ pid \d+: value {NUMBER} used (\d+) of (\d+)",
                         out, re.MULTILINE)
    assert sorted((int(t), int(r)) for t, r, *_ in printed) == [(t, r) for t in range(tasks) for r in range(restarts)]
    assert all(int(used) <= int(budget) for *_, used, budget in printed)
    optima = [exact_optimum(saved["c"][t], saved["b_ij"][t], int(saved["b_total"][t]), saved["omega"][t])
              for t in range(tasks)]
    for t, x, value in zip(saved["task_index"], saved["x"], saved["value"]):
        c, b_ij, omega = saved["c"][t], saved["b_ij"][t], saved["omega"][t]
        assert x.dtype == np.int64 and set(np.unique(x)) <= {0, 1}
        assert int(b_ij[x == 1].sum()) <= saved["b_total"][t]
        assert value == pytest.approx(float((c * (1.0 - omega))[x == 1].sum()), rel=1e-9)
        assert 0.0 < value <= optima[t] * (1 + 1e-9)

    best = re.findall(rf"^task (\d+) \(seed \d+\): best {NUMBER} .* max {NUMBER}$", out, re.MULTILINE)
    assert [int(t) for t, _, _ in best] == list(range(tasks)), out
    for t, reported, largest in best:
        assert reported == largest == f"{saved['value'][saved['task_index'] == int(t)].max():.2f}"


def test_dask_cluster_starts_its_own_two_processes(tmp_path):
    results = tmp_path / "results.npz"
    out = run_example("dask_cluster.py", "--workers", "2", "--tasks", "2", "--restarts", "5", "--rows", "6",
                      "--cols", "7", "--kmax", "10", "--save", str(results), "--in-process", "--solver-seed", "40",
                      cwd=tmp_path)
    # A seed of its own for each worker of the LocalCluster, numbered 0 and 1.
    check_dask_run(out, np.load(results), tasks=2, restarts=5, seeds=["40", "41"])
    assert re.search(r"^in process: 10 solves one after another", out, re.MULTILINE), out


def test_dask_cluster_on_a_running_scheduler(tmp_path):
    from distributed import LocalCluster

    results = tmp_path / "results.npz"
    # The workers start with two native threads configured; the example must set one before solving.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "2"}) as cluster:
        out = run_example("dask_cluster.py", "--scheduler", cluster.scheduler_address, "--tasks", "1",
                          "--restarts", "6", "--rows", "5", "--cols", "5", "--solver", "probabilistic",
                          "--save", str(results), cwd=tmp_path)
    assert f"scheduler {cluster.scheduler_address}" in out
    check_dask_run(out, np.load(results), tasks=1, restarts=6)


def test_knapsack_classes_against_optimum_and_greedy(tmp_path):
    out = run_example("knapsack_classes.py", "--size", "4", "--budget-share", "0.3", "--time-limit", "5", cwd=tmp_path)
    rows = re.findall(rf"^([a-z ]+?) +{NUMBER} +{NUMBER} +{NUMBER}% +{NUMBER}% +{NUMBER}%  \((optimum|best known)",
                      out, re.MULTILINE)
    assert [r[0] for r in rows] == ["uncorrelated", "weakly correlated", "strongly correlated",
                                    "inverse strongly correlated", "almost strongly correlated", "subset sum",
                                    "similar weights", "profit ceiling"], out
    for _, best, bound, *gaps, status in rows:
        # 16 cells: the MILP always proves the optimum, so nothing beats it and the bound is met.
        assert status == "optimum" and float(best) == float(bound) > 0
        assert all(0.0 <= float(gap) <= 100.0 for gap in gaps)


def test_tuning_measures_and_the_report_redraws(tmp_path):
    args = ["--sizes", "8", "--sweep", "5:0.5", "--budgets", "0.02", "0.5", "--max-discounts", "0.5", "--repeats", "1",
            "--time-limit", "5", "--blind-spot-repeats", "3", "--output", "figure.png", "--table", "tuning.md",
            "--results", "results.json"]
    out = run_example("tuning.py", *args, cwd=tmp_path)
    tasks = re.findall(rf"^task (\d)x\d (.+?), discounts in \[0, 0.5\), budget (\d+)%: optimum {NUMBER} \((proven|not proven)"
                       rf".*?; bound {NUMBER}; values greedy {NUMBER}, ant colony {NUMBER},"
                       rf" probabilistic kmax=100 {NUMBER}; ", out, re.MULTILINE)
    # Size 8 at both budgets, size 5 only where swept; eight classes each.
    assert sorted((size, budget) for size, _, budget, *_ in tasks) == [("5", "50")] * 8 + [("8", "2")] * 8 + [
        ("8", "50")] * 8, out
    for *_, optimum, status, bound, greedy, ant, probabilistic in tasks:
        assert status == "proven" and optimum == bound
        # Printed to one decimal: a method may tie the optimum but never beat it.
        assert all(0 < float(v) <= float(optimum) for v in (greedy, ant, probabilistic))
    # Two cells, the cheap one with the better ratio blocking the one that fills the budget.
    spot = re.search(r"^blind spot: optimum 1000, greedy 2, greedy or single 1000; ant colony found it in (\d) of 3",
                     out, re.MULTILINE)
    assert spot and spot.group(1) == "3", out

    import json

    saved = json.loads((tmp_path / "results.json").read_text())
    swept = [t for t in saved["tasks"] if t["swept"]]
    assert len(swept) == 8 and all(t["size"] == 5 for t in swept)
    settings = set(swept[0]["values"])
    assert {"ant colony", "ant colony beta=16", "ant colony num_ants=100", "probabilistic kmax=10000"} <= settings
    assert len(settings) == 1 + 5 + 4 + 4 + 4 + 4 + 4
    for t in saved["tasks"]:
        assert all(len(v) == 1 and 0 < v[0] <= t["reference"] * (1 + 1e-12) for v in t["values"].values())
        assert t["greedy_stop"] <= t["greedy"] <= t["reference"] and 0 < t["single"] <= t["reference"]

    table = (tmp_path / "tuning.md").read_text()
    assert f"`python3 examples/tuning.py {' '.join(args)}`" in table
    assert re.search(r"^\| 8 × 8 \| 16 \| 16 \| ", table, re.MULTILINE)
    # One figure per swept parameter, each shown on the page.
    figures = [f"figure-{name}.png" for name in ("beta", "alpha", "rho", "num-ants", "kmax", "probabilistic-kmax")]
    assert re.findall(r"^```\{figure\} (\S+)$", table, re.MULTILINE) == figures
    assert re.search(rf"^\| 8 × 8 \| 2% \| 8 \|(?: {NUMBER}% \({NUMBER}%\) \|){{4}}$", table, re.MULTILINE)
    sections = dict(part.split("\n", 1) for part in re.split(r"^## ", table, flags=re.MULTILINE)[1:])
    setting_row = r"^\| (ant colony|probabilistic) \w+=[\d.]+( \(default\))? \|"
    for name, columns in (("One parameter at a time", 9), ("One parameter at a time, by budget", 2)):
        rows = re.findall(setting_row + rf"(?: {NUMBER}% \|){{{columns}}}", sections[name], re.MULTILINE)
        assert len(rows) == 30, name
    assert len(re.findall(rf"^\| greedy \| (?:{NUMBER}% \| ){{9}}", table, re.MULTILINE)) == 1
    other = float(re.search(rf"kept {NUMBER} cores busy", table).group(1))
    assert 0.0 <= other <= 2 * len(os.sched_getaffinity(0))
    for figure in figures:
        header = (tmp_path / figure).read_bytes()[:24]
        assert header[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", header[16:24])[0] > 500

    # The report drawn again from the saved results has the same tables, only its provenance added.
    run_example("tuning_report.py", "results.json", "--output", "again.png", "--table", "again.md", cwd=tmp_path)
    again = (tmp_path / "again.md").read_text().replace("again-", "figure-")
    redrawn = " Tables and figures drawn again by `python3 examples/tuning_report.py results.json --output again.png" \
              " --table again.md`."
    assert redrawn in again and again.replace(redrawn, "") == table
