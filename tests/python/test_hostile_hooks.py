"""Hostile conversion hooks against the call boundary (see hostile_hooks.py):
each case runs in a child process, where a fault is a crash, and must finish
with every result and exception it checks as expected and without leaving
Python objects behind."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import hostile_hooks

HERE = Path(__file__).resolve().parent
REPEATS = 20


@pytest.mark.parametrize("case", sorted(hostile_hooks.CASES))
def test_hostile_hook(case):
    done = subprocess.run([sys.executable, str(HERE / "hostile_hooks.py"), case, str(REPEATS)], cwd=HERE,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}{done.stderr}"
    leftover = int(re.fullmatch(r"ok (-?\d+)\n", done.stdout).group(1))
    # Every repetition makes several calls: a reference leaked on any of their
    # paths leaves at least REPEATS blocks behind.
    assert leftover < REPEATS // 2, f"{leftover} blocks left after {REPEATS} repetitions"
