"""Smoke tests of the scripts in examples/: each runs in its own interpreter on
small sizes, and what it prints is held to what must hold for any run."""

import re
import struct
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
NUMBER = r"(-?\d+(?:\.\d+)?)"


def run_example(name, *args, cwd):
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, f"{name} failed:\n{done.stdout}{done.stderr}"
    return done.stdout


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
    out = run_example("exact_optimum.py", "--rows", "5", "--cols", "6", "--tasks", "3", cwd=tmp_path)
    rows = re.findall(rf"^ +\d+ +{NUMBER} +{NUMBER} +{NUMBER}% +{NUMBER} +{NUMBER}%$", out, re.MULTILINE)
    assert len(rows) == 3, out
    for optimum, *rest in rows:
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
