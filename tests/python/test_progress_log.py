"""Progress records on the "corvane" logger: what a solve writes when the
logger takes INFO or DEBUG records, that it writes nothing otherwise, and what
handlers may do (raise, re-enter solve, log, take long, be interrupted). What
needs the environment or signals runs in child processes (support.py)."""

import logging
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import corvane
from support import UNDER_ASAN
from support import (CHILD_PRELUDE, RECORD_ATTRIBUTES, check_maximal, child_env, listen, run_child, sized_task,
                     stop_listening)

ANT = "AntColonyAssignmentSolver"
PROB = "ProbabilisticAssignmentSolver"
MODES = {"held": {}, "released": {"CORVANE_RELEASE_GIL": "1"}}
NUMBER = r"-?\d+(?:\.\d+)?"


@pytest.fixture
def records():
    yield listen()
    stop_listening()


@pytest.mark.parametrize("name, parameters, total", [
    (ANT, {"num_ants": 3, "kmax": 4, "alpha": 1.0, "beta": 3.0, "rho": 0.25, "initial_pheromone": 1.5}, 12),
    (PROB, {"kmax": 7}, 7),
])
def test_records_and_their_attributes(records, name, parameters, total):
    x, value = getattr(corvane, name)(**parameters).solve(sized_task(12, 13))
    # A progress record comes only after a second: on a loaded machine it may.
    rs = [r for r in records.records if r.event != "progress"]
    ant = name == ANT
    assert [r.event for r in rs] == ["start"] + ["iteration"] * 4 * ant + ["end"]
    for r in records.records:
        # Every record points at the call of solve, like any other log call.
        assert (r.name, r.filename) == ("corvane", os.path.basename(__file__))
        assert all(hasattr(r, attribute) for attribute in RECORD_ATTRIBUTES)
        assert (r.solver, r.kmax, r.candidates_total) == (name, parameters["kmax"], total)
        assert type(r.iteration) is int and type(r.candidates_done) is int and type(r.best) is float
        assert r.elapsed >= 0.0 and (r.remaining is None or r.remaining >= 0.0)
    assert [r.elapsed for r in records.records] == sorted(r.elapsed for r in records.records)

    start, end = rs[0], rs[-1]
    assert start.levelno == logging.INFO and (start.m, start.n) == (12, 13)
    assert start.parameters == parameters and start.threads >= 1
    assert (start.seed, start.release_gil, start.time_limit) == (None, False, None)
    assert (start.iteration, start.candidates_done, start.best, start.remaining) == (0, 0, 0.0, None)
    shown = ", ".join(f"{k}={v!r}" for k, v in parameters.items())
    plural = "" if start.threads == 1 else "s"
    assert start.getMessage() == f"{name}: solving a 12x13 task with {shown} on {start.threads} thread{plural}"

    assert end.levelno == logging.INFO and (end.best, end.remaining) == (value, 0.0)
    assert (end.iteration, end.candidates_done) == (parameters["kmax"], total)
    assert re.fullmatch(rf"{name}: done, best {value:.1f}, {total} candidates in \d+\.\d s", end.getMessage())

    best = 0.0
    for k, r in enumerate(rs[1:-1], 1):  # one DEBUG record per iteration
        assert r.levelno == logging.DEBUG and (r.iteration, r.candidates_done) == (k, 3 * k)
        assert best <= r.best and r.iteration_best <= r.best
        best = r.best
        assert r.getMessage() == f"{name}: iteration {k}/4 done, best of its ants {r.iteration_best:.1f}, " \
                                 f"best so far {r.best:.1f}"
    assert best == value or not ant


LEFT_BEHIND = """
    import gc
    from collections import deque
    handler = listen()
    handler.records = deque(maxlen=1)
    task = sized_task(2, 3)
    grown = []
    for solver in (corvane.AntColonyAssignmentSolver(num_ants=2, kmax=3), corvane.ProbabilisticAssignmentSolver(3)):
        for _ in range(100):
            solver.solve(task)
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(1000):
            solver.solve(task)
        gc.collect()
        grown.append(sys.getallocatedblocks() - before)
    print(json.dumps(grown))
"""


@pytest.mark.skipif(not sys.getallocatedblocks(), reason="counts pymalloc's blocks (PYTHONMALLOC=malloc here)")
def test_records_leave_nothing_behind():
    # A record kept alive, or a reference to any of its values, adds blocks
    # on every call; a clean run grows by a block or two. (In a child: the
    # test runner's own logging would count too.)
    assert all(grown < 100 for grown in run_child(LEFT_BEHIND))


def test_nothing_is_written_or_imported_when_the_logger_is_off(records):
    # Enabled for WARNING only, or never configured: no record.
    records.setLevel(logging.DEBUG)
    logging.getLogger("corvane").setLevel(logging.WARNING)
    corvane.AntColonyAssignmentSolver(num_ants=2, kmax=3).solve(sized_task(5, 6))
    stop_listening()
    root = logging.getLogger()
    root.addHandler(records)  # the root logger stays at WARNING
    try:
        corvane.ProbabilisticAssignmentSolver(kmax=3).solve(sized_task(5, 6))
    finally:
        root.removeHandler(records)
    assert records.records == []
    # A script that never imports logging: solve does not import it either.
    code = textwrap.dedent("""
        import json, sys, numpy as np, corvane
        task = corvane.Task(2, 3, np.ones((2, 3), np.int64), np.ones((2, 3), np.int64), 4, np.zeros((2, 3)))
        for solver in (corvane.AntColonyAssignmentSolver(kmax=2), corvane.ProbabilisticAssignmentSolver(2)):
            solver.solve(task)
        print(json.dumps("logging" in sys.modules))
    """)
    done = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "false\n"), done.stderr


LONG_BATCH = """
    # One batch that would take long (minutes, or several seconds for the ant
    # colony's one iteration): its first progress record comes from inside it.
    solves = {"ProbabilisticAssignmentSolver": (ValueError, dict(kmax=10**9), (10, 10)),
              "AntColonyAssignmentSolver": (KeyboardInterrupt, dict(num_ants=1000, kmax=1), (300, 300))}
    seen = {}
    for name, (exception, parameters, (m, n)) in solves.items():
        def stop_at_progress(record):
            if record.event == "progress" and record.candidates_done > 0:
                raise exception("enough")
        handler = listen(stop_at_progress)
        solver, task = getattr(corvane, name)(**parameters), sized_task(m, n)
        references = sys.getrefcount(solver), sys.getrefcount(task)
        try:
            solver.solve(task)
        except exception:
            pass
        progress = handler.records[-1]
        seen[name] = [progress.event, progress.levelno, progress.getMessage(),
                      *[getattr(progress, attribute) for attribute in RECORD_ATTRIBUTES[2:]],
                      (sys.getrefcount(solver), sys.getrefcount(task)) == references]
    # The solves ended there, with the exceptions: no end record, nothing held
    # on to, and the pool works on.
    listen(level=logging.WARNING)
    seen["again"] = check_maximal(corvane.AntColonyAssignmentSolver(num_ants=2, kmax=2).solve(sized_task(6, 7)), 6, 7)
    print(json.dumps(seen))
"""


@pytest.mark.parametrize("mode", MODES)
def test_progress_inside_one_long_batch(mode):
    # The ant colony's iteration runs to its end: minutes under a sanitizer on a busy machine.
    seen = run_child(LONG_BATCH, timeout=600, **MODES[mode])
    assert seen.pop("again")
    for name, (event, level, message, iteration, kmax, done, total, best, elapsed, left, same) in seen.items():
        assert (event, level, same) == ("progress", logging.INFO, True)
        assert 0 < done < total and best > 0.0 and left > 0.0 and elapsed > 0.0
        if name == ANT:
            assert (iteration, kmax, total) == (0, 1, 1000)
            at = rf"iteration 0/1, ants {done}/1000"
        else:
            assert iteration == done and kmax == total == 10**9
            at = rf"sample {done}/{10**9}"
        assert re.fullmatch(rf"{name}: {at}, best {NUMBER}, {NUMBER} s elapsed, about {NUMBER} s left", message)


RAISING = """
    small = sized_task(6, 7)
    cases = [  # the record whose handler raises, what it raises, and the solve
        ("start", ValueError, corvane.AntColonyAssignmentSolver(num_ants=3, kmax=3)),
        ("start", KeyboardInterrupt, corvane.ProbabilisticAssignmentSolver(kmax=5)),
        ("iteration", KeyboardInterrupt, corvane.AntColonyAssignmentSolver(num_ants=3, kmax=3)),
        ("end", ValueError, corvane.ProbabilisticAssignmentSolver(kmax=5)),
        ("end", KeyboardInterrupt, corvane.AntColonyAssignmentSolver(num_ants=3, kmax=3)),
    ]
    outcomes = []
    for event, exception, solver in cases:
        def raise_at(record):
            if record.event == event:
                raise exception(event)
        handler = listen(raise_at)
        references = sys.getrefcount(solver), sys.getrefcount(small)
        try:
            solver.solve(small)
            outcome = "returned"
        except exception as raised:
            outcome = [type(raised).__name__, str(raised)]
        listen()
        # Nothing held on to: the solver, the task and the pool work on.
        same = (sys.getrefcount(solver), sys.getrefcount(small)) == references
        outcomes.append([outcome, handler.events()[-1], same, check_maximal(solver.solve(small), 6, 7)])
    print(json.dumps(outcomes))
"""


@pytest.mark.parametrize("mode", MODES)
def test_a_handler_that_raises_ends_the_solve_with_its_exception(mode):
    outcomes = run_child(RAISING, **MODES[mode])
    # (A handler that raises at a progress record: test_progress_inside_one_long_batch.)
    assert [outcome[:2] for outcome in outcomes] == [
        [["ValueError", "start"], "start"], [["KeyboardInterrupt", "start"], "start"],
        [["KeyboardInterrupt", "iteration"], "iteration"], [["ValueError", "end"], "end"],
        [["KeyboardInterrupt", "end"], "end"]]
    assert all(outcome[2:] == [True, True] for outcome in outcomes), outcomes


BUSY_HANDLER = """
    task, inner_task = sized_task(10, 10), sized_task(6, 7)
    inner = []
    def busy(record):
        if getattr(record, "event", None) == "progress" and not inner:
            # Re-enters solve (whose own records come here too), logs, and takes long.
            inner.append(check_maximal(corvane.AntColonyAssignmentSolver(num_ants=3, kmax=4).solve(inner_task), 6, 7))
            logging.getLogger("corvane").warning("the handler's own record")
            time.sleep(1.5)  # past the time limit
    handler = listen(busy, logging.INFO)
    result = corvane.ProbabilisticAssignmentSolver(kmax=10**9).solve(task)
    seen = [(getattr(r, "solver", None), getattr(r, "event", r.getMessage()), getattr(r, "candidates_done", None))
            for r in handler.records]
    print(json.dumps([inner, check_maximal(result, 10, 10), seen]))
"""


@pytest.mark.parametrize("mode", MODES)
def test_a_handler_may_solve_log_and_take_long(mode):
    # The time limit ends the outer solve (its batch would take hours) as
    # soon as the handler returns.
    inner, valid, seen = run_child(BUSY_HANDLER, CORVANE_TIME_LIMIT="2.0", **MODES[mode])
    assert inner == [True] and valid
    outer = [(event, done) for solver, event, done in seen if solver != ANT]
    events = [event for event, _ in outer]
    assert events[:3] == ["start", "progress", "the handler's own record"] and events[-2:] == ["time limit", "end"]
    assert set(events[3:-2]) <= {"progress"}
    # The inner solve's records came while the outer's progress record was handled.
    assert [(solver, event) for solver, event, _ in seen[2:4]] == [(ANT, "start"), (ANT, "end")]
    # The outer batch ran on while the handler took long.
    assert outer[-1][1] > outer[1][1] + 1000


SEEDED = """
    import hashlib
    if sys.argv[1:] == ["listen"]:
        handler = listen(lambda record: logging.Formatter().format(record))
    tasks = [sized_task(6, 9), sized_task(20, 21), sized_task(300, 300)]
    results = []
    # Batches of one candidate run on the pool when watched; the last solve
    # takes a few seconds, long enough for records from inside its batch.
    for solver, task in [(corvane.AntColonyAssignmentSolver(num_ants=5, kmax=4), tasks[0]),
                         (corvane.AntColonyAssignmentSolver(num_ants=1, kmax=3), tasks[1]),
                         (corvane.ProbabilisticAssignmentSolver(kmax=1), tasks[1]),
                         (corvane.ProbabilisticAssignmentSolver(kmax=40), tasks[0]),
                         (corvane.ProbabilisticAssignmentSolver(kmax=80), tasks[2])]:
        x, value = solver.solve(task)
        results.append([value, hashlib.sha256(x.tobytes()).hexdigest()])
    print(json.dumps(results))
"""


@pytest.mark.parametrize("mode", MODES)
def test_records_change_no_seeded_result(mode):
    code = SEEDED.replace("sys.argv[1:]", '["listen"]')
    quiet = run_child(SEEDED, CORVANE_SEED="12", **MODES[mode])
    assert run_child(code, CORVANE_SEED="12", **MODES[mode]) == quiet


INTERRUPTED = """
    import signal
    # A run in the background inherits SIGINT ignored: take it as a terminal would.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    def tell(record):
        if record.event == "progress":
            print("progress", flush=True)
    listen(tell, logging.INFO)
    try:
        corvane.ProbabilisticAssignmentSolver(kmax=10**9).solve(sized_task(10, 10))
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    listen()
    print(json.dumps(check_maximal(corvane.ProbabilisticAssignmentSolver(kmax=5).solve(sized_task(6, 7)), 6, 7)))
"""


@pytest.mark.parametrize("mode", MODES)
def test_ctrl_c_stops_a_solve_with_progress_on(mode):
    process = subprocess.Popen([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(INTERRUPTED)],
                               env=child_env(**MODES[mode]), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        assert process.stdout.readline() == "progress\n"
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 0, err
    lines = out.splitlines()
    assert lines[-2:] == ["interrupted", "true"] and set(lines[:-2]) <= {"progress"}, out


DAEMON = """
    import threading
    logging.basicConfig(level=logging.INFO)
    task = sized_task(10, 10)
    def solve_on():
        while True:
            try:
                corvane.ProbabilisticAssignmentSolver(kmax=10**9).solve(task)
            except BaseException:
                pass
    threading.Thread(target=solve_on, daemon=True).start()
    time.sleep({delay})
    print(json.dumps("leaving"))
"""


# The interpreter ends the daemon thread inside the Python call that writes
# a record (the handler gives the lock up to write): LeakSanitizer then
# reports the blocks of that call (its arguments) that the interpreter
# abandons with the thread, as it would for any daemon thread ended there.
@pytest.mark.skipif(UNDER_ASAN, reason="LeakSanitizer reports the call the interpreter abandons with the thread")
@pytest.mark.parametrize("delay", [0.05, 1.0, 2.02])
def test_the_interpreter_exits_cleanly_under_a_daemon_thread_writing_progress(delay):
    # The daemon thread wants the lock back for its next record (lock
    # released) or holds it while its handler writes to stderr (lock held)
    # as the interpreter shuts down: no crash, no hang.
    for mode in MODES:
        assert run_child(DAEMON.format(delay=delay), timeout=60, **MODES[mode]) == "leaving"


PACED = """
    handler = listen(level=logging.INFO)
    corvane.ProbabilisticAssignmentSolver(kmax=10**12).solve(sized_task(30, 30))
    print(json.dumps([[r.event, r.elapsed, r.remaining] for r in handler.records]))
"""


def test_progress_is_paced_and_expects_no_more_than_the_limit_leaves():
    seen = run_child(PACED, CORVANE_TIME_LIMIT="2.5")
    progress = [(elapsed, left) for event, elapsed, left in seen if event == "progress"]
    # A record a second at most (the solve may end late on a busy machine).
    assert 1 <= len(progress) <= seen[-1][1] + 2
    # At the pace so far, ten to the twelfth samples would take days.
    assert all(left <= max(0.0, 2.5 - elapsed) + 1e-9 for elapsed, left in progress)
