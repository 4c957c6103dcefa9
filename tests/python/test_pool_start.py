"""The worker pool starts at the first batch, not at the first solve: a solve
that runs no batch starts no thread and leaves RAYON_NUM_THREADS unread.
Each case runs in a fresh process, counting its threads in /proc."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")

PRELUDE = """
import os
import numpy as np
import corvane
ACO, PROB = corvane.AntColonyAssignmentSolver, corvane.ProbabilisticAssignmentSolver
threads = lambda: len(os.listdir("/proc/self/task"))
task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 4, np.zeros((2, 3)))
empty = corvane.Task(0, 3, np.ones((0, 3), np.int64), np.ones((0, 3), np.int64), 4, np.zeros((0, 3)))
"""


def threads_started(source, release_gil):
    """Runs PRELUDE and `source` in a fresh process whose pool would have one
    thread; `source` may set RAYON_NUM_THREADS before its first batch. Returns
    how many threads the process gained."""
    code = PRELUDE + "before = threads()\n" + textwrap.dedent(source) + "print(threads() - before)\n"
    env = dict(os.environ, RAYON_NUM_THREADS="1", CORVANE_RELEASE_GIL="1" if release_gil else "0")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return int(done.stdout)


@pytest.mark.parametrize("release_gil", [False, True], ids=["lock held", "lock released"])
def test_solves_without_a_batch_start_no_thread(release_gil):
    started = threads_started("""
        for x, value in [ACO(kmax=0).solve(task), ACO(num_ants=2**64 - 1, kmax=0).solve(task),
                         ACO(num_ants=4, kmax=3).solve(empty), PROB(kmax=5).solve(empty)]:
            assert value == 0.0 and not x.any()
        os.environ["RAYON_NUM_THREADS"] = "3"  # read at the first batch, which comes next
        ACO(num_ants=2, kmax=1).solve(task)
    """, release_gil)
    assert started == 3


@pytest.mark.parametrize("first_batch", ["PROB(kmax=0)", "ACO(num_ants=0, kmax=1)", "ACO(num_ants=1, kmax=1)"])
def test_a_batch_of_any_size_starts_the_pool(first_batch):
    started = threads_started(f"""
        os.environ["RAYON_NUM_THREADS"] = "4"
        x, value = {first_batch}.solve(task)
        assert value >= 0.0
    """, release_gil=False)
    assert started == 4
