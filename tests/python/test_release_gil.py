"""CORVANE_RELEASE_GIL=1: solve gives up the interpreter lock while it works,
takes it back between batches to run signal handlers, and stops there when
one raises. Unset, solve holds the lock throughout (test_concurrency.py)."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from support import ACO, PROB, Task, TaskData, check_result
from test_seeded_runs import SCRIPT, run_script

TASK = """
import numpy as np, corvane
rng = np.random.default_rng(3)
b = rng.integers(1, 20, (100, 100))
task = corvane.Task(100, 100, rng.integers(1, 100, (100, 100)), b, int(b.sum()) // 10,
                    rng.uniform(0, 0.5, (100, 100)))
"""


def child(code, release, threads=2, **popen):
    env = {k: v for k, v in os.environ.items() if k not in ("CORVANE_RELEASE_GIL", "CORVANE_SEED")}
    env["RAYON_NUM_THREADS"] = str(threads)
    if release:
        env["CORVANE_RELEASE_GIL"] = "1"
    return subprocess.Popen([sys.executable, "-c", TASK + textwrap.dedent(code)], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)


# Another thread notes every pause of more than a millisecond in its loop;
# the script prints the longest stretch of the solve that such a pause
# covered, as a share of the solve.
PAUSES = """
import sys, threading, time
sys.setswitchinterval(0.0005)  # the lock changes hands at once when it is free
pauses = []
stop = False
def note_pauses():
    last = time.perf_counter()
    while not stop:
        now = time.perf_counter()
        if now - last > 0.001:
            pauses.append((last, now))
        last = now
thread = threading.Thread(target=note_pauses)
thread.start()
time.sleep(0.2)
start = time.perf_counter()
corvane.AntColonyAssignmentSolver(kmax=60).solve(task)
end = time.perf_counter()
stop = True
thread.join()
print(max([min(now, end) - max(last, start) for last, now in pauses] + [0.0]) / (end - start))
"""


@pytest.mark.parametrize("release", [True, False], ids=["released", "held"])
def test_other_threads_run_during_a_solve_only_when_released(release):
    # One worker thread, so that a core is left for the other thread. Held,
    # the lock keeps it waiting from before the solve to its end; released,
    # it runs throughout, paused only as long as the system makes it wait
    # for a core, which on a busy machine is still a small part of a solve.
    process = child(PAUSES, release, threads=1)
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    longest = float(out)
    if release:
        assert longest < 0.5, longest
    else:
        assert longest > 0.9, longest


INTERRUPTED = """
import signal
# A process started in the background inherits SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
solver = {solver}
print("solving", flush=True)
try:
    solver.solve(task)
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("finished", flush=True)
# The solver, the task and the pool work on.
x, value = corvane.AntColonyAssignmentSolver(kmax=3).solve(task)
assert x.sum() > 0 and value > 0
x, value = corvane.ProbabilisticAssignmentSolver(kmax=5).solve(task)
assert x.sum() > 0 and value > 0
print("solved again")
"""


@pytest.mark.parametrize("solver, wait", [
    # 10^9 iterations take years: only the interrupt, at the end of the
    # iteration it arrives in, ends the solve.
    ("corvane.AntColonyAssignmentSolver(kmax=10**9)", 1.0),
    # Its one batch is not cut: the interrupt is raised when it ends, and no
    # result is returned.
    ("corvane.ProbabilisticAssignmentSolver(kmax=3000)", 0.05),
], ids=["ant colony, between iterations", "probabilistic, after its batch"])
def test_ctrl_c_stops_a_released_solve(solver, wait):
    process = child(INTERRUPTED.format(solver=solver), release=True)
    try:
        assert process.stdout.readline() == "solving\n"
        time.sleep(wait)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert out.splitlines() == ["interrupted", "solved again"], out


OVERLAPPING = """
import hashlib, json, os, sys, threading, time
solver = corvane.AntColonyAssignmentSolver(kmax=15)
results = {}
def run(name):
    start = time.perf_counter()
    x, value = solver.solve(task)
    results[name] = [value, hashlib.sha256(x.tobytes()).hexdigest(), start, time.perf_counter()]
if sys.argv[1] == "together":
    threads = [threading.Thread(target=run, args=(name,)) for name in "ab"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
else:
    run("a")
    run("b")
print(json.dumps(results))
"""


def test_two_threads_solve_at_once_and_get_what_each_would_alone():
    outcomes = {}
    for how in ("together", "one after the other"):
        code = OVERLAPPING.replace("sys.argv[1]", repr(how))
        env = dict(os.environ, CORVANE_RELEASE_GIL="1", CORVANE_SEED="8", RAYON_NUM_THREADS="2")
        done = subprocess.run([sys.executable, "-c", TASK + textwrap.dedent(code)], env=env, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        outcomes[how] = json.loads(done.stdout)
    together = outcomes["together"]
    (_, _, start_a, end_a), (_, _, start_b, end_b) = together["a"], together["b"]
    assert start_a < end_b and start_b < end_a, "the solves did not overlap"
    # Calls 0 and 1 in either order: the same two results as one after the other.
    assert sorted(r[:2] for r in together.values()) == sorted(r[:2] for r in outcomes["one after the other"].values())


FORKING = """
import os, threading
solver = corvane.AntColonyAssignmentSolver(kmax=60)
result = {}
solving = threading.Thread(target=lambda: result.setdefault("parent", solver.solve(task)))
solving.start()
import time
time.sleep(0.3)  # well inside the solve
pid = os.fork()
if pid == 0:
    # The solve's thread does not exist here; this process solves on a pool of its own.
    x, value = corvane.AntColonyAssignmentSolver(num_ants=4, kmax=3).solve(task)
    os._exit(0 if x.sum() > 0 and value > 0 else 1)
_, status = os.waitpid(pid, 0)
solving.join()
x, value = result["parent"]
print(os.waitstatus_to_exitcode(status), int(x.sum() > 0 and value > 0))
"""


def test_a_fork_during_a_released_solve():
    process = child(FORKING, release=True)
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    assert out.split() == ["0", "1"], out + err


def test_released_solves_repeat_seeded_results_exactly():
    env = dict(os.environ, CORVANE_RELEASE_GIL="1")
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=dict(env, CORVANE_SEED="4"), capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == run_script(SCRIPT, "4", 2)


def test_released_solves_from_threads_are_valid(monkeypatch):
    import threading

    monkeypatch.setenv("CORVANE_RELEASE_GIL", "1")
    rng = np.random.default_rng(5)
    c, b = rng.integers(1, 50, (12, 13)), rng.integers(1, 9, (12, 13))
    omega = rng.uniform(0, 0.4, (12, 13))
    task = Task(12, 13, c, b, 60, omega)
    data = TaskData(12, 13, c, b, 60, omega)
    results = []

    def solve_some():
        for solver in (ACO(num_ants=4, kmax=6), PROB(9), ACO(num_ants=1, kmax=3)):
            results.append(solver.solve(task))

    threads = [threading.Thread(target=solve_some) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 12
    for result in results:
        check_result(result, data)


@pytest.mark.parametrize("value", ["2", "true", "yes", " 1", "1 ", "01", "-1", "on"])
def test_malformed_values_are_refused(monkeypatch, small_task, value):
    solver = PROB(kmax=3)
    monkeypatch.setenv("CORVANE_RELEASE_GIL", value)
    with pytest.raises(ValueError) as refused:
        solver.solve(small_task)
    assert str(refused.value) == f"CORVANE_RELEASE_GIL must be empty, 0 or 1, not {value!r}"
    for allowed in ("", "0", "1"):
        monkeypatch.setenv("CORVANE_RELEASE_GIL", allowed)
        assert solver.solve(small_task)[1] > 0.0


ABANDONED = """
import threading, time
solver = {solver}
def solve_on():
    while True:
        try:
            solver.solve(task)
        except BaseException:  # a failed solve (PanicException) is tried again
            pass
threading.Thread(target=solve_on, daemon=True).start()
time.sleep({delay})
print("leaving")
"""


@pytest.mark.parametrize("solver", ["corvane.AntColonyAssignmentSolver(kmax=10**6)",
                                    "corvane.ProbabilisticAssignmentSolver(kmax=2000)",
                                    # every ant fails at its first step: 1 / 0 ** 1
                                    "corvane.AntColonyAssignmentSolver(num_ants=2000, kmax=1, alpha=-1.0, "
                                    "initial_pheromone=0.0)"])
def test_the_interpreter_exits_cleanly_under_a_daemon_thread_solving(solver):
    # The script ends while a daemon thread is still solving: when that thread
    # next wants the lock back, the interpreter is shutting down (or gone),
    # whether the solve is between iterations, done or failing.
    # It must neither crash nor hold up the exit.
    for delay in (0.05, 0.2, 0.5, 1.0):
        process = child(ABANDONED.format(solver=solver, delay=delay), release=True)
        out, err = process.communicate(timeout=60)
        assert (process.returncode, out) == (0, "leaving\n"), (delay, err)


POOL_SIZE = """
import os, sys, threading, time
b = rng.integers(1, 20, (400, 400))  # long enough in its set-up to let the other thread in
large = corvane.Task(400, 400, rng.integers(1, 100, (400, 400)), b, int(b.sum()) // 10, np.zeros((400, 400)))
sys.setswitchinterval(100)  # the other thread runs only when solve gives the lock up
go = threading.Event()
meddler = []
def meddle():
    meddler.append(threading.get_native_id())
    go.wait()  # then waits for the lock
    os.environ["RAYON_NUM_THREADS"] = "1"
    for i in range(200):  # grows the environment while the solve may be reading it
        os.environ[f"CORVANE_TEST_{i}"] = "x"
before = len(os.listdir("/proc/self/task"))
thread = threading.Thread(target=meddle)
thread.start()
go.set()
corvane.AntColonyAssignmentSolver(kmax=1).solve(large)
thread.join()
while str(meddler[0]) in os.listdir("/proc/self/task"):  # still on its way out
    time.sleep(0.01)
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_the_pool_size_is_what_the_environment_said_when_the_first_solve_was_called():
    # The first solve reads the thread count before it gives up the lock:
    # another thread changing the environment meanwhile changes nothing.
    started = {}
    for release in (False, True):
        process = child(POOL_SIZE, release=release, threads=3)
        out, err = process.communicate(timeout=60)
        assert process.returncode == 0, err
        started[release] = int(out)
    assert started[True] == started[False] >= 2
