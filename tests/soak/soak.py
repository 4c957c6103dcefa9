"""Soak: many varied solves in one process, watching resident memory.

    python3 tests/soak/soak.py --seconds 60          # what CI's slow stage runs
    python3 tests/soak/soak.py --seconds 3600 --report 60 --csv soak.csv   # the hour by hand

One process runs phase after phase of solves against the installed corvane.
Every phase draws its own mix:

- both solvers, tasks of 1 to 60 rows and columns (costs, resources and
  discounts drawn so that negative, zero, NaN-free edge values turn up, storage
  in C or Fortran order or as a strided view), the ant colony with varied
  exponents, evaporation and starting pheromone;
- the `corvane` logger off, at INFO or at DEBUG, with a handler that formats
  every record and reads its attributes;
- CORVANE_SEED set or not, now and then a short CORVANE_TIME_LIMIT;
- now and then CORVANE_RELEASE_GIL=1 with a second Python thread (started for
  the phase, as a script's worker thread would be) solving at the same time;
- refused inputs: arrays of the wrong dtype or dimensions, a list, wrong
  shapes, discounts out of range, a budget of 0 or less or out of range,
  solver arguments that do not convert, a non-Task to solve, and environment
  variables holding junk. Each must raise exactly its documented exception
  with its documented message.

Every result is checked: an int64 0/1 array of shape (m, n), a value equal to
the discounted total of the chosen cells, the chosen resources within the
budget, the all-zero array whenever the value is 0.0, and for the
probabilistic solver no unchosen cell with a positive weight that still fits
(a sample ends only then; with a time limit, a sample that did not end is
dropped, never returned).

PanicException is accepted from exactly one kind of solve: an ant colony
solve whose deposit scale Q = (b_total / mean(b_ij)) * max(0, max(c)) is not
positive (0, below 0 or NaN), that is a task without a positive cost or whose
resources sum to less than zero (or to zero with no positive cost). Every
ant's deposit is its value / Q, which is infinite (or NaN) when Q is 0, so a
cell's pheromone, and with it a cell weight, can become +inf; the weighted
choice then refuses an infinite total and the call fails with PanicException.
That is the documented behaviour. A sum of resources of exactly 0 with a
positive cost makes Q = +inf and every deposit 0, which cannot panic. Any other
exception, any PanicException elsewhere, or any wrong result stops the run at
once with the task that caused it.

Memory. RSS (/proc/self/statm) is sampled between phases. The first
--warmup seconds are not judged: the worker pool, NumPy, logging, the
allocator's arenas for the pool threads and for the short-lived solving
threads all come into being then. After the warm-up the run fails when RSS
rises more than --max-growth MiB above the largest value seen during the
warm-up. Why 8 MiB by default:

- What may legitimately still grow after the warm-up is memory that glibc's
  malloc keeps for reuse, not memory in use. Every thread that allocates gets
  a malloc arena (up to 8 per core: 16 on two cores), and each arena keeps the
  high-water mark of what its threads held at once. The largest single solve
  here holds under 1 MiB at once (a 60 x 60 ant colony batch of up to 8 ants:
  8 x 3600 cells x 8 bytes for their matrices, plus a few task-sized buffers:
  pheromone, heuristic, candidates), so every arena may keep up to about that
  much beyond what the warm-up happened to reach. Measured here (docs/contributing.md has the curve): the full mix
  rose 2.2 MiB above its warm-up peak, in steps, by its 24th minute, all of
  it free memory that malloc kept (its bytes in use stayed flat), and then
  stayed flat to the end of the 50 minutes.
- A leak grows without end. On two cores the mix runs about 60 solves a
  second with the machine loaded (load average 16 to 20), more when it is
  quiet: the hour by hand (over 200,000 solves) catches a leak of about 40
  bytes per solve, a record or a small array; the minute in CI (some 2,500
  solves after its warm-up, loaded) only one of a few KiB per solve, such as a
  task's matrices or a batch.
- A bound near the measured spread would fail on another machine's allocator
  or core count; 8 MiB is well above the spread and well below what a leak
  of a record per solve adds in an hour.

The summary also reports malloc's own view (mallinfo2: bytes in use, and free
bytes it keeps), the interpreter's allocated block count and the thread
count, which tell a leak (bytes in use grow) from retained free memory (free
bytes grow, in use flat). --trim calls malloc_trim(0) before each sample, which
hands free memory back to the system; with it, RSS follows memory in use.
"""

import argparse
import ctypes
import logging
import math
import os
import sys
import threading
import time

import numpy as np

import corvane

MESSAGES = {
    "c shape": "Некоректні розміри матриці вартості",
    "b shape": "Некоректні розміри матриці витрат ресурсу",
    "omega shape": "Некоректні розміри матриці знижок",
    "omega range": "Знижки повинні бути в діапазоні [0, 1]",
    "budget": "Загальний ресурс повинен бути додатнім",
}
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1024 * 1024


class SoakFailure(Exception):
    pass


# ----------------------------------------------------------------------------- memory


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


try:
    _libc = ctypes.CDLL("libc.so.6")
    _mallinfo2 = _libc.mallinfo2
    _mallinfo2.restype = MallInfo2
    _malloc_trim = _libc.malloc_trim
except (OSError, AttributeError):  # not glibc, or older than 2.33
    _mallinfo2 = _malloc_trim = None


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def thread_count():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def sample(trim):
    if trim and _malloc_trim is not None:
        _malloc_trim(0)
    info = _mallinfo2() if _mallinfo2 is not None else None
    return {
        "rss": resident_bytes(),
        # In use: small and large chunks of every arena plus mmapped chunks.
        "malloc_used": (info.uordblks + info.hblkhd) if info else -1,
        "malloc_free": info.fordblks if info else -1,
        "py_blocks": sys.getallocatedblocks(),
        "threads": thread_count(),
    }


# ----------------------------------------------------------------------------- tasks


def draw_task(rng):
    """(Task, data dict) of a random shape and flavour."""
    m, n = (int(v) for v in rng.integers(1, 61, size=2))
    if rng.random() < 0.2:  # small tasks are cheap and hit the edge cases
        m, n = (int(v) for v in rng.integers(1, 4, size=2))
    flavour = rng.integers(0, 10)
    if flavour == 0:  # no positive cost
        c = rng.integers(-20, 1, size=(m, n))
    else:
        c = rng.integers(-5 if flavour < 3 else 1, 100, size=(m, n))
    if flavour in (1, 2) or rng.random() < 0.1:  # resources that may sum to 0 or less
        b = rng.integers(-6, 4, size=(m, n))
    else:
        b = rng.integers(0 if flavour == 3 else 1, 20, size=(m, n))
    omega = rng.uniform(0.0, 0.6, size=(m, n))
    if rng.random() < 0.2:
        omega.flat[rng.integers(0, m * n, size=3)] = rng.choice([0.0, 1.0, -0.0])
    positive = int(b[b > 0].sum())
    b_total = int(rng.integers(1, max(2, positive // int(rng.choice([1, 3, 10])) + 2)))
    layout = rng.integers(0, 4)
    if layout == 1:
        c, b, omega = (np.asfortranarray(a) for a in (c, b, omega))
    elif layout == 2:  # strided views of larger arrays
        c, b, omega = (np.repeat(np.repeat(a, 2, axis=0), 2, axis=1)[::2, ::2] for a in (c, b, omega))
    c = c.astype(np.int64, copy=False)
    b = b.astype(np.int64, copy=False)
    data = dict(m=m, n=n, c=c, b=b, b_total=b_total, omega=omega)
    return corvane.Task(m, n, c, b, b_total, omega), data


def deposit_scale(data):
    """Q of the ant colony solver, computed as it does."""
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.float64(int(data["b"].sum())) / np.float64(data["m"] * data["n"])
        cmax = max(0, int(data["c"].max()))
        return (np.float64(data["b_total"]) / mean) * np.float64(cmax)


def panic_allowed(solver_kind, data):
    q = deposit_scale(data)
    return solver_kind == "ant" and not q > 0.0


def draw_solver(rng, slow=False):
    if rng.random() < 0.5:
        kmax = int(rng.integers(1, 400 if slow else 40))
        return "probabilistic", corvane.ProbabilisticAssignmentSolver(kmax=kmax), {"kmax": kmax}
    params = dict(num_ants=int(rng.integers(1, 9)), kmax=int(rng.integers(1, 30 if slow else 5)),
                  alpha=float(rng.choice([1.0, 0.5, 2.0, rng.uniform(0.1, 3.0)])),
                  beta=float(rng.choice([2.0, 0.0, 1.0, rng.uniform(0.0, 3.0)])),
                  rho=float(rng.choice([0.1, 0.0, 1.0, rng.uniform(0.0, 1.0)])),
                  initial_pheromone=float(rng.choice([1.0, 0.5, 0.0, rng.uniform(0.1, 5.0)])))
    return "ant", corvane.AntColonyAssignmentSolver(**params), params


def describe(kind, params, data):
    arrays = {k: data[k].tolist() if data[k].size <= 16 else f"<{data[k].shape} array>"
              for k in ("c", "b", "omega")}
    env = {k: v for k, v in os.environ.items() if k.startswith(("CORVANE_", "RAYON_"))}
    return f"{kind} solver {params}, task m={data['m']} n={data['n']} b_total={data['b_total']} {arrays}, env {env}"


def check_result(kind, params, data, result):
    def fail(why):
        raise SoakFailure(f"{why}: {describe(kind, params, data)}")

    if not (isinstance(result, tuple) and len(result) == 2):
        fail(f"solve returned {result!r}")
    x, value = result
    m, n = data["m"], data["n"]
    if not (isinstance(x, np.ndarray) and x.dtype == np.int64 and x.shape == (m, n) and type(value) is float):
        fail(f"solve returned {type(x)} {getattr(x, 'dtype', None)} {getattr(x, 'shape', None)}, {type(value)}")
    if not np.isin(x, (0, 1)).all():
        fail("the assignment holds values other than 0 and 1")
    chosen = x == 1
    terms = data["c"][chosen].astype(np.float64) * (1.0 - data["omega"][chosen])
    total = float(np.cumsum(terms)[-1]) if terms.size else 0.0
    if not math.isclose(value, total, rel_tol=1e-9, abs_tol=1e-9):
        fail(f"value {value!r} but the chosen cells add up to {total!r}")
    used = int(data["b"][chosen].sum())
    if used > data["b_total"]:
        fail(f"the chosen cells use {used} of a budget of {data['b_total']}")
    if not value >= 0.0 or (value == 0.0 and chosen.any()):
        fail(f"value {value!r} with {int(chosen.sum())} cells chosen (the best starts at zeros and 0.0)")
    if kind == "probabilistic" and chosen.any():
        with np.errstate(divide="ignore", invalid="ignore"):
            eta = np.where(data["b"] != 0, (1.0 - data["omega"]) * data["c"] / data["b"], 0.0)
        open_cells = (~chosen) & (eta > 0.0) & (used + data["b"] <= data["b_total"])
        if open_cells.any():
            fail(f"the returned sample stopped with {int(open_cells.sum())} cells that still fit")


def checked_solve(rng, counters, slow=False):
    task, data = draw_task(rng)
    kind, solver, params = draw_solver(rng, slow)
    try:
        result = solver.solve(task)
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        if type(exc).__name__ == "PanicException" and panic_allowed(kind, data):
            counters["panics"] += 1
            return
        if isinstance(exc, KeyboardInterrupt):
            raise
        raise SoakFailure(f"solve raised {type(exc).__name__}: {exc}: {describe(kind, params, data)}"
                          f" (deposit scale {deposit_scale(data)!r})") from exc
    check_result(kind, params, data, result)
    counters["solves"] += 1


# ----------------------------------------------------------------------------- refusals


def _refusals():
    ok_i = np.ones((2, 3), np.int64)
    ok_f = np.zeros((2, 3))

    def array_type_error(name, value):
        return TypeError, (f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to "
                           "'PyArray<T, D>'")

    cases = []
    for name, bad in (("c", ok_i.astype(np.float64)), ("c", [[1, 1, 1], [1, 1, 1]]), ("c", np.ones(6, np.int64)),
                      ("b_ij", ok_i.astype(np.int32)), ("b_ij", np.ones((2, 3, 1), np.int64)),
                      ("omega", ok_i), ("omega", ok_f.astype(np.float32))):
        args = dict(m=2, n=3, c=ok_i, b_ij=ok_i, b_total=3, omega=ok_f)
        args[name] = bad
        cases.append((f"{name} of {type(bad).__name__} {getattr(bad, 'dtype', '')}",
                      lambda a=args: corvane.Task(**a), array_type_error(name, bad)))
    for what, change in (("c shape", dict(c=ok_i.T.copy())), ("b shape", dict(b_ij=np.ones((2, 2), np.int64))),
                         ("omega shape", dict(omega=np.zeros((3, 3)))),
                         ("omega range", dict(omega=np.full((2, 3), 1.0000001))),
                         ("omega range", dict(omega=np.full((2, 3), -0.5), b_total=-1)),
                         ("budget", dict(b_total=0)), ("budget", dict(b_total=-5))):
        args = dict(m=2, n=3, c=ok_i, b_ij=ok_i, b_total=3, omega=ok_f)
        args.update(change)
        cases.append((what, lambda a=args: corvane.Task(**a), (ValueError, MESSAGES[what])))
    cases += [
        ("b_total 2**63", lambda: corvane.Task(2, 3, ok_i, ok_i, 2**63, ok_f), (OverflowError, None)),
        ("kmax -1", lambda: corvane.ProbabilisticAssignmentSolver(-1), (OverflowError, None)),
        ("kmax 2.0", lambda: corvane.AntColonyAssignmentSolver(kmax=2.0), (TypeError, "argument 'kmax': ")),
        ("solve a list", lambda: corvane.ProbabilisticAssignmentSolver(1).solve([]),
         (TypeError, "argument 'task': 'list' object cannot be converted to 'Task'")),
    ]
    return cases


REFUSALS = _refusals()
ENV_REFUSALS = [  # only while no other thread runs: the environment is the process's
    ("CORVANE_SEED", "x1", "CORVANE_SEED must be empty or a decimal integer from 0 to 18446744073709551615, not 'x1'"),
    ("CORVANE_RELEASE_GIL", "yes", "CORVANE_RELEASE_GIL must be empty, 0 or 1, not 'yes'"),
    ("CORVANE_TIME_LIMIT", "0", "CORVANE_TIME_LIMIT must be a positive, finite decimal number of seconds, not '0'"),
]


def expect_refusal(label, call, expected, counters):
    kind, message = expected
    try:
        call()
    except BaseException as exc:  # noqa: B036
        if type(exc) is not kind:
            raise SoakFailure(f"refusal '{label}': {type(exc).__name__}: {exc}, expected {kind.__name__}") from exc
        if message is not None and not (exc.args == (message,) if kind is ValueError or "PyArray" in message
                                        or "Task" in message else str(exc).startswith(message)):
            raise SoakFailure(f"refusal '{label}': {kind.__name__} {exc.args!r}, expected {message!r}") from exc
        counters["refusals"] += 1
        return
    raise SoakFailure(f"refusal '{label}': nothing was raised, expected {kind.__name__}")


def refuse_some(rng, counters, env_too):
    for index in rng.choice(len(REFUSALS), size=3, replace=False):
        expect_refusal(*REFUSALS[index], counters)
    if env_too:
        name, value, message = ENV_REFUSALS[rng.integers(0, len(ENV_REFUSALS))]
        saved = os.environ.get(name)
        os.environ[name] = value
        try:
            task = corvane.Task(1, 1, np.ones((1, 1), np.int64), np.ones((1, 1), np.int64), 1, np.zeros((1, 1)))
            expect_refusal(f"{name}={value}", lambda: corvane.ProbabilisticAssignmentSolver(1).solve(task),
                           (ValueError, message), counters)
        finally:
            if saved is None:
                del os.environ[name]
            else:
                os.environ[name] = saved


# ----------------------------------------------------------------------------- logging


class Consumer(logging.Handler):
    """Formats every record and reads its attributes, as a real handler would."""

    def __init__(self):
        super().__init__()
        self.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(threadName)s:%(message)s"))
        self.records = 0
        self.characters = 0

    def emit(self, record):
        self.characters += len(self.format(record)) + len(str(getattr(record, "event", "")))
        self.records += 1


def set_logging(handler, level):
    logger = logging.getLogger("corvane")
    logger.handlers[:] = [handler] if level else []
    logger.setLevel(level or logging.NOTSET)
    logger.propagate = False


# ----------------------------------------------------------------------------- the run


# Seeds come from a fixed set: glibc's setenv keeps every distinct string it
# was given until the process ends, so fresh values would grow the heap.
SEEDS = [str(seed) for seed in np.random.default_rng(7).integers(0, 2**63, size=40)] + ["0", str(2**64 - 1)]


def phase_env(rng):
    env = {}
    if rng.random() < 0.5:
        env["CORVANE_SEED"] = SEEDS[rng.integers(0, len(SEEDS))]
    if rng.random() < 0.15:
        env["CORVANE_TIME_LIMIT"] = str(float(rng.choice([0.001, 0.005, 0.02])))
    if rng.random() < 0.3:
        env["CORVANE_RELEASE_GIL"] = "1"
    return env


def other_thread(seed, stop, counters, failures):
    rng = np.random.default_rng(seed)
    try:
        while not stop.is_set():
            checked_solve(rng, counters)
    except BaseException as exc:  # noqa: B036 - reported by the main thread
        failures.append(exc)


def run(args):
    rng = np.random.default_rng(args.seed)
    handler = Consumer()
    counters = {"solves": 0, "panics": 0, "refusals": 0, "phases": 0}
    other = {"solves": 0, "panics": 0}
    for name in [k for k in os.environ if k.startswith("CORVANE_")]:
        del os.environ[name]
    # Only running figures are kept: a list of every sample would itself grow.
    first = None
    after_low, after_high = math.inf, 0
    start = time.monotonic()
    next_report = 0.0
    warm_peak = 0
    print(f"soak: {args.seconds} s, warm-up {args.warmup} s, bound {args.max_growth} MiB, seed {args.seed}, "
          f"pid {os.getpid()}, MALLOC_ARENA_MAX={os.environ.get('MALLOC_ARENA_MAX', 'unset')}, "
          f"trim {'on' if args.trim else 'off'}", flush=True)
    print(f"{'minute':>7} {'RSS MiB':>8} {'in use':>7} {'free':>6} {'py blocks':>9} {'thr':>3} "
          f"{'solves':>8} {'records':>9}", flush=True)
    csv = open(args.csv, "w") if args.csv else None
    if csv:
        csv.write("seconds,rss_bytes,malloc_used,malloc_free,py_blocks,threads,solves,records\n")
    while True:
        elapsed = time.monotonic() - start
        now = sample(args.trim)
        first = first or now
        total = counters["solves"] + other["solves"]
        if csv:
            csv.write(f"{elapsed:.1f},{now['rss']},{now['malloc_used']},{now['malloc_free']},{now['py_blocks']},"
                      f"{now['threads']},{total},{handler.records}\n")
            csv.flush()
        if elapsed >= next_report or elapsed >= args.seconds:
            print(f"{elapsed / 60:7.2f} {now['rss'] / MIB:8.2f} {now['malloc_used'] / MIB:7.2f} "
                  f"{now['malloc_free'] / MIB:6.2f} {now['py_blocks']:9d} {now['threads']:3d} {total:8d} "
                  f"{handler.records:9d}", flush=True)
            next_report += args.report
        if elapsed <= args.warmup:
            warm_peak = max(warm_peak, now["rss"])
        else:
            after_low, after_high = min(after_low, now["rss"]), max(after_high, now["rss"])
        if elapsed > args.warmup and now["rss"] - warm_peak > args.max_growth * MIB:
            raise SoakFailure(f"RSS grew to {now['rss'] / MIB:.2f} MiB at {elapsed:.0f} s, "
                              f"{(now['rss'] - warm_peak) / MIB:.2f} MiB above the warm-up's peak of "
                              f"{warm_peak / MIB:.2f} MiB (bound {args.max_growth} MiB)")
        if elapsed >= args.seconds:
            break

        # One phase: a mode, a logging level, a few solves and refusals.
        counters["phases"] += 1
        env = phase_env(rng)
        os.environ.update(env)
        set_logging(handler, [None, logging.INFO, logging.DEBUG][rng.integers(0, 3)])
        slow = "CORVANE_TIME_LIMIT" in env
        stop = threading.Event()
        failures = []
        worker = None
        if env.get("CORVANE_RELEASE_GIL") == "1":
            worker = threading.Thread(target=other_thread, args=(int(rng.integers(0, 2**63)), stop, other, failures),
                                      name="soak-other")
            worker.start()
        try:
            phase_end = time.monotonic() + args.sample
            while time.monotonic() < phase_end:
                checked_solve(rng, counters, slow)
                if rng.random() < 0.1:
                    refuse_some(rng, counters, env_too=worker is None)
        finally:
            stop.set()
            if worker is not None:
                worker.join()
            for name in env:
                del os.environ[name]
        if failures:
            raise SoakFailure(f"in the other thread: {failures[0]}") from failures[0]
    if csv:
        csv.close()
    print(f"soak passed: {counters['solves']} solves here and {other['solves']} in other threads "
          f"in {counters['phases']} phases, {counters['panics'] + other['panics']} PanicExceptions where the "
          f"deposit scale is not positive, {counters['refusals']} refusals, {handler.records} records; "
          f"RSS {first['rss'] / MIB:.2f} MiB at the start, warm-up peak {warm_peak / MIB:.2f} MiB, "
          f"after it {after_low / MIB:.2f}..{after_high / MIB:.2f} MiB, final {now['rss'] / MIB:.2f} MiB", flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="how long to run (default 60)")
    parser.add_argument("--warmup", type=float, default=None,
                        help="seconds not judged at the start (default a quarter of the run, at most 120)")
    parser.add_argument("--max-growth", type=float, default=8.0,
                        help="MiB that RSS may rise above the warm-up's peak (default 8)")
    parser.add_argument("--sample", type=float, default=0.25, help="seconds per phase, RSS sampled after each")
    parser.add_argument("--report", type=float, default=10.0, help="seconds between printed lines")
    parser.add_argument("--seed", type=int, default=None, help="seed of the mix (default: fresh)")
    parser.add_argument("--csv", help="write every sample to this file")
    parser.add_argument("--trim", action="store_true", help="malloc_trim(0) before every sample")
    args = parser.parse_args(argv)
    if args.warmup is None:
        args.warmup = min(120.0, args.seconds / 4)
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    try:
        run(args)
    except SoakFailure as failure:
        print(f"soak FAILED (seed {args.seed}): {failure}", file=sys.stderr, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
