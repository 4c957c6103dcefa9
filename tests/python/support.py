"""What the test files share: the classes' short names, the module's fixed
messages, conversion hooks, task builders, the objective oracle with the
invariants of every result, leak meters, child interpreters, a handler that
keeps the corvane logger's records, and the checkout the tests came from."""

import contextlib
import json
import logging
import math
import os
import subprocess
import sys
import textwrap
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import corvane

HERE = Path(__file__).resolve().parent
# The checkout these tests came from, for the few that need more of it than
# the installed package (the examples, the changelog).
ROOT = HERE.parents[1]

Task = corvane.Task
ACO = corvane.AntColonyAssignmentSolver
PROB = corvane.ProbabilisticAssignmentSolver

NONFINITE = "called `Result::unwrap()` on an `Err` value: NonFinite"
SHAPE_MESSAGES = {
    "c": "Некоректні розміри матриці вартості",
    "b_ij": "Некоректні розміри матриці витрат ресурсу",
    "omega": "Некоректні розміри матриці знижок",
}
RANGE_MESSAGE = "Знижки повинні бути в діапазоні [0, 1]"
BUDGET_MESSAGE = "Загальний ресурс повинен бути додатнім"

INT64 = np.dtype(np.int64)
FLOAT64 = np.dtype(np.float64)


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer's operator new cannot throw std::bad_alloc: a request it
# cannot serve ends the process. Under it, tests pass only sizes that corvane
# refuses before allocating (a batch beyond what a std::vector can index).
UNDER_ASAN = under_address_sanitizer()


def without_leak_reports(env):
    """`env` for processes that start dask, with LeakSanitizer off when it is on (the sanitizer
    stage): dask's client, scheduler and workers end, in most runs, with a few interpreter objects
    still allocated (56 to 128 bytes, bound methods and instances, with no other frame on their
    stack), which LeakSanitizer would report as leaks. corvane's own leaks stay caught by every
    other test, under the same options."""
    env = dict(env)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"  # the last setting of an option counts
    return env


# From this many ants on, a batch (32 bytes per ant at least) cannot be held
# in memory and solve must refuse it; from 2^58 on it is refused unallocated.
HUGE_BATCH = 2**40
UNALLOCATED_BATCH = 2**58


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


class Index:
    """An integer argument through its __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Real:
    """A float argument through its __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Real({self.value!r})"


class TaskData:
    """A plain copy of what a valid Task holds, for checking results.
    `column_major`: the module sums the objective column by column, as it
    does when c and omega are both Fortran-ordered (and neither a row nor a
    column)."""

    def __init__(self, m, n, c, b_ij, b_total, omega, column_major=False):
        self.m, self.n = m, n
        self.c, self.b_ij, self.omega = (np.array(a) for a in (c, b_ij, omega))
        self.b_total = b_total
        self.column_major = column_major

    @classmethod
    def of(cls, c, b_ij, b_total, omega):
        m, n = np.shape(c)
        column_major = m > 1 and n > 1 and np.asarray(c).flags.f_contiguous and np.asarray(omega).flags.f_contiguous
        return cls(m, n, c, b_ij, b_total, omega, column_major)


def task_and_data(c, b_ij=None, b_total=None, omega=None):
    """A Task over the int64 costs `c`, with unit resources, no discounts and
    a budget that fits every cell unless given otherwise, and its TaskData.
    Arrays keep their memory order."""
    c = np.asarray(c, dtype=np.int64, order="K")
    if b_ij is None:
        b_ij = np.ones(c.shape, np.int64)
    if omega is None:
        omega = np.zeros(c.shape)
    b_ij = np.asarray(b_ij, dtype=np.int64, order="K")
    omega = np.asarray(omega, dtype=np.float64, order="K")
    if b_total is None:
        b_total = max(1, int(np.clip(b_ij, 0, None).sum()))
    return Task(*c.shape, c, b_ij, b_total, omega), TaskData.of(c, b_ij, b_total, omega)


def make_task(c, b_ij=None, b_total=None, omega=None):
    return task_and_data(c, b_ij, b_total, omega)[0]


def random_task(rng, m, n, fortran=False):
    """A random task (negative and zero costs and resources among them) with
    a third of the total resource as budget, and its TaskData."""
    arrays = rng.integers(-5, 60, (m, n)), rng.integers(0, 12, (m, n)), rng.uniform(0.0, 1.0, (m, n))
    if fortran:
        arrays = [np.asfortranarray(a) for a in arrays]
    c, b, w = arrays
    return task_and_data(c, b, max(1, int(b.sum()) // 3), w)


def filled(m, n, cost=1, resource=1, discount=0.0):
    """c, b_ij and omega of an m x n task whose cells are all alike."""
    return np.full((m, n), cost, np.int64), np.full((m, n), resource, np.int64), np.full((m, n), discount)


def objective(x, c, omega, column_major=False):
    """c * (1 - omega) summed over the chosen cells, one term at a time from
    0.0, in row-major order, or column by column."""
    x, c, omega = (np.asarray(a) for a in (x, c, omega))
    if column_major:
        x, c, omega = x.T, c.T, omega.T
    value = 0.0
    for i, j in zip(*np.nonzero(x == 1)):
        value += float(int(c[i, j])) * (1.0 - float(omega[i, j]))
    return value


def check_result(result, data):
    """Asserts every invariant of a solve result for the task `data`."""
    assert type(result) is tuple and len(result) == 2, result
    x, value = result
    assert type(x) is np.ndarray and x.dtype == INT64 and x.shape == (data.m, data.n), (type(x), x.dtype, x.shape)
    assert x.flags.c_contiguous and x.flags.writeable and x.flags.owndata
    assert type(value) is float
    chosen = x == 1
    assert np.all(chosen | (x == 0)), x
    used = sum(int(v) for v in data.b_ij[chosen])  # Python integers: exact, no wrap-around
    assert used <= data.b_total, (used, data.b_total)
    expected = objective(x, data.c, data.omega, data.column_major)
    assert value == expected and math.copysign(1.0, value) == math.copysign(1.0, expected), (value, expected)
    if chosen.any():
        assert value > 0.0
    else:
        assert value == 0.0 and math.copysign(1.0, value) == 1.0


# Leak meters.

@contextlib.contextmanager
def block_counter():
    """Yields a function that returns the number of allocated blocks now:
    pymalloc's count, or, with PYTHONMALLOC=malloc (as under AddressSanitizer)
    where pymalloc counts nothing, the blocks that tracemalloc traces."""
    if sys.getallocatedblocks() > 0:
        yield sys.getallocatedblocks
        return
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        yield lambda: len(tracemalloc.take_snapshot().traces)
    finally:
        if started:
            tracemalloc.stop()


def refcounts(*objects):
    return [sys.getrefcount(obj) for obj in objects]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(source, timeout=120, env=None):
    """Runs `source` (dedented) in a new interpreter; returns the finished process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def require(relative):
    """ROOT / `relative`, or a skip of the calling test (or, at import, of its
    whole module) when that is not there: run from a copy of tests/python
    alone, as against an installed wheel, those tests skip and say why."""
    path = ROOT / relative
    if not path.exists():
        pytest.skip(f"needs {relative} from the source tree, which is not beside this copy of the tests",
                    allow_module_level=True)
    return path


# Long solves: progress records on the corvane logger, CORVANE_TIME_LIMIT.

# The attributes that every record carries.
RECORD_ATTRIBUTES = ("event", "solver", "iteration", "kmax", "candidates_done", "candidates_total", "best", "elapsed",
                     "remaining")


def sized_task_data(m, n, seed=3):
    """c, b_ij, b_total, omega of a random task whose budget fits about a tenth of its cells."""
    rng = np.random.default_rng(seed)
    b_ij = rng.integers(1, 20, (m, n))
    return rng.integers(1, 100, (m, n)), b_ij, int(b_ij.sum()) // 10, rng.uniform(0, 0.5, (m, n))


def sized_task(m, n, seed=3):
    return Task(m, n, *sized_task_data(m, n, seed))


def check_maximal(result, m, n, seed=3):
    """check_result for a solve of sized_task(m, n, seed), which must also have
    found something, and left out no cell that fits. True, so that a child can
    print it."""
    c, b_ij, b_total, omega = sized_task_data(m, n, seed)
    check_result(result, TaskData(m, n, c, b_ij, b_total, omega))
    x, value = result
    used = int(b_ij[x == 1].sum())
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


CHILD_PRELUDE = "import json, logging, sys, time\nimport corvane\nfrom support import *\n"


def child_env(threads=1, **env):
    """The environment with its CORVANE_ variables replaced by `env`, a pool
    of `threads`, and this folder importable."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
    clean.update(env, RAYON_NUM_THREADS=str(threads),
                 PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
    return clean


def run_child(code, threads=1, timeout=120, **env):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter with child_env();
    returns what its last line of output holds, as JSON."""
    done = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
                          env=child_env(threads, **env), capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])
