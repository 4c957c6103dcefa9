"""Pieces shared by the tests of long solves (progress records on the corvane
logger, CORVANE_TIME_LIMIT): tasks, a handler that keeps the records, the
checks of a result, and child processes, which import this module too."""

import json
import logging
import os
import subprocess
import sys
import textwrap

import numpy as np

import corvane

HERE = os.path.dirname(os.path.abspath(__file__))
# The attributes that every record carries.
COMMON = ("event", "solver", "iteration", "kmax", "candidates_done", "candidates_total", "best", "elapsed",
          "remaining")


def task_data(m, n, seed=3):
    """c, b_ij, b_total, omega of a random task whose budget fits about a tenth of its cells."""
    rng = np.random.default_rng(seed)
    b_ij = rng.integers(1, 20, (m, n))
    return rng.integers(1, 100, (m, n)), b_ij, int(b_ij.sum()) // 10, rng.uniform(0, 0.5, (m, n))


def make_task(m, n, seed=3):
    c, b_ij, b_total, omega = task_data(m, n, seed)
    return corvane.Task(m, n, c, b_ij, b_total, omega)


def check_maximal(result, m, n, seed=3):
    """The result of a solve of make_task(m, n, seed) is an assignment within
    the budget, carries its own value, and is maximal: no cell left out fits.
    True, so that a child can print it."""
    c, b_ij, b_total, omega = task_data(m, n, seed)
    x, value = result
    assert x.shape == (m, n) and x.dtype == np.int64 and set(np.unique(x)) <= {0, 1}
    used = int(b_ij[x == 1].sum())
    assert used <= b_total, (used, b_total)
    assert value == sum(float(c[i, j]) * (1.0 - float(omega[i, j])) for i, j in zip(*np.nonzero(x)))
    assert value > 0.0 and not (b_ij[x == 0] <= b_total - used).any()
    return True


class Records(logging.Handler):
    """Keeps every record it is given; `on_record(record)` may then act on it
    (raise, solve, log, sleep)."""

    def __init__(self, on_record=None):
        super().__init__()
        self.records = []
        self.on_record = on_record

    def emit(self, record):
        self.records.append(record)
        if self.on_record is not None:
            self.on_record(record)

    def events(self, *leave_out):
        return [r.event for r in self.records if getattr(r, "event", None) not in leave_out]


def listen(on_record=None, level=logging.DEBUG):
    """Makes a Records handler the corvane logger's only one, at `level`."""
    handler = Records(on_record)
    logger = logging.getLogger("corvane")
    logger.handlers[:] = [handler]
    logger.setLevel(level)
    logger.propagate = False
    return handler


def stop_listening():
    logger = logging.getLogger("corvane")
    logger.handlers[:] = []
    logger.setLevel(logging.NOTSET)
    logger.propagate = True


CHILD_PRELUDE = "import json, logging, sys, time\nimport corvane\nfrom long_solves import *\n"


def run_child(code, threads=1, timeout=120, **env):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter with the
    environment's CORVANE_ variables replaced by `env` and a pool of
    `threads`; returns what its last line of output holds, as JSON."""
    done = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
                          env=child_env(threads, **env), capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def child_env(threads=1, **env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
    clean.update(env, RAYON_NUM_THREADS=str(threads),
                 PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    return clean
