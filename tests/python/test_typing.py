"""The type information installed with corvane: stubs that match the module,
accepted by mypy --strict on the examples and on typed_usage.py."""

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import typed_usage
from support import UNDER_ASAN, require

# mypy and stubtest read the stubs and the module's signatures, the same under any build: under
# the sanitizer's runtime they would only add minutes.
static_checks = pytest.mark.skipif(UNDER_ASAN, reason="a static check, the same whatever the build")

HERE = Path(__file__).resolve().parent


def run_mypy_tool(tmp_path, *args):
    # From an empty directory, so only the installed stubs can answer for corvane.
    command = [sys.executable, "-m", *args]
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}"


def test_stub_package_is_installed_with_the_module():
    distribution = importlib.metadata.distribution("corvane")
    files = {str(f) for f in distribution.files or []}
    assert "corvane-stubs/__init__.pyi" in files
    assert any(f.startswith("corvane.") and f.endswith(".so") for f in files)
    assert distribution.locate_file("corvane-stubs/__init__.pyi").is_file()


@static_checks
def test_stubs_match_the_runtime_module(tmp_path):
    run_mypy_tool(tmp_path, "mypy.stubtest", "corvane")


@static_checks
@pytest.mark.parametrize("checked", ["typed_usage.py", "examples"])
def test_mypy_strict_accepts(tmp_path, checked):
    # mypy checks a folder's every file, and fails on a folder without any.
    source = HERE / checked if checked.endswith(".py") else require(checked)
    run_mypy_tool(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(source))


def test_typed_usage_runs():
    results = typed_usage.solve_all(typed_usage.build())
    assert len(results) == 4
    for x, value in results:
        assert x.dtype == np.int64 and x.shape == (2, 3) and isinstance(value, float)


@pytest.mark.parametrize("call", typed_usage.refused(), ids=lambda c: c.__code__.co_firstlineno)
def test_calls_refused_by_the_stubs_fail_at_run_time(call):
    with pytest.raises((TypeError, AttributeError)):
        call()
