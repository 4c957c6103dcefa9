"""Many threads sharing tasks and solvers, forked children that solve, and
interrupts that arrive while a long solve runs."""

import itertools
import os
import select
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from support import ACO, PROB, Task, check_result, random_task, run_python


def thread_count():
    return len(os.listdir("/proc/self/task"))


def test_threads_share_tasks_and_solvers():
    rng = np.random.default_rng()
    tasks = [random_task(rng, 12, 9), random_task(rng, 7, 15, fortran=True), random_task(rng, 1, 30)]
    solvers = [ACO(num_ants=6, kmax=4), PROB(kmax=20), ACO(num_ants=1, kmax=3), PROB(kmax=1)]
    start = threading.Barrier(8)
    results, failures = [], []

    def work(seed):
        local = np.random.default_rng(seed)
        start.wait()
        try:
            for _ in range(12):
                task, data = tasks[local.integers(len(tasks))]
                solver = solvers[local.integers(len(solvers))]
                results.append((solver.solve(task), data))
                # Constructions interleave with the solves of other threads.
                Task(2, 2, np.ones((2, 2), np.int64), np.ones((2, 2), np.int64), 1, np.zeros((2, 2)))
        except BaseException as exc:  # noqa: BLE001
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a solving thread hangs"
    assert failures == []
    assert len(results) == 8 * 12
    for result, data in results:
        check_result(result, data)
    for task, data in tasks:
        check_result(solvers[0].solve(task), data)


def solve_in_child(task, data):
    """Forks; the child solves with batches that need its pool and reports on
    a pipe. Returns what the child wrote, failing on a hang or a crash."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        # Python 3.12+ warns that forking a process with threads may deadlock.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            threads_after_fork = thread_count()
            check_result(ACO(num_ants=5, kmax=3).solve(task), data)
            check_result(PROB(kmax=16).solve(task), data)
            os.write(write_end, f"ok {threads_after_fork} {thread_count()}".encode())
            status = 0
        except BaseException as exc:  # noqa: BLE001
            os.write(write_end, f"failed {exc!r}".encode()[:4000])
        finally:
            os._exit(status)
    os.close(write_end)
    deadline = time.monotonic() + 120
    report = b""
    try:
        while True:
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                os.kill(pid, signal.SIGKILL)
                pytest.fail("the forked child did not finish its solves within 120 s")
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            report += chunk
    finally:
        os.close(read_end)
        _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (status, report)
    return report.decode()


def test_forked_children_solve_with_a_fresh_pool_while_threads_solve():
    rng = np.random.default_rng()
    task, data = random_task(rng, 10, 10)
    PROB(kmax=8).solve(task)  # the parent's pool exists before any fork
    native_threads = thread_count() - threading.active_count()  # the pool, and any of NumPy's BLAS
    assert native_threads >= 1
    stop = threading.Event()
    failures = []

    def keep_solving():
        try:
            while not stop.is_set():
                check_result(ACO(num_ants=4, kmax=2).solve(task), data)
        except BaseException as exc:  # noqa: BLE001
            failures.append(exc)

    def fork_from_thread(reports):
        reports.append(solve_in_child(task, data))

    solvers = [threading.Thread(target=keep_solving) for _ in range(3)]
    for thread in solvers:
        thread.start()
    try:
        reports = [solve_in_child(task, data) for _ in range(3)]
        forker = threading.Thread(target=fork_from_thread, args=(reports,))
        forker.start()
        forker.join(timeout=200)
        assert not forker.is_alive()
    finally:
        stop.set()
        for thread in solvers:
            thread.join(timeout=200)
    assert failures == []
    assert len(reports) == 4
    for report in reports:
        state, after_fork, after_solves = report.split()
        # Only the forking thread survives a fork; the child's solves start
        # workers of their own (a pool no larger than the parent's).
        assert state == "ok" and int(after_fork) == 1, report
        assert 2 <= int(after_solves) <= 1 + native_threads, report
    check_result(PROB(kmax=8).solve(task), data)


@pytest.mark.slow
def test_forked_child_that_exits_normally_leaves_nothing_behind():
    # The child ends through the interpreter's normal exit. In the sanitizer
    # stage LeakSanitizer then checks it: the generators of the parent's worker
    # threads, which do not exist in the child, must have been freed, and the
    # parent's pool kept reachable.
    done = run_python("""
        import os, sys, numpy as np, corvane
        task = corvane.Task(4, 4, np.ones((4, 4), np.int64), np.ones((4, 4), np.int64), 6, np.zeros((4, 4)))
        corvane.ProbabilisticAssignmentSolver(kmax=16).solve(task)
        pid = os.fork()
        if pid == 0:
            x, value = corvane.AntColonyAssignmentSolver(num_ants=4, kmax=2).solve(task)
            sys.exit(0 if value == 6.0 else 3)
        sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """)
    assert done.returncode == 0, done.stderr
    assert "LeakSanitizer" not in done.stderr


def long_solve(task):
    """A probabilistic solver whose solve of `task` takes about two seconds
    of CPU time (all threads together), and that CPU time. Measured in CPU
    time, the length of a solve does not depend on how busy the machine is."""
    PROB(kmax=40).solve(task)  # the pool and the caches are ready
    started = time.process_time()
    PROB(kmax=200).solve(task)
    per_sample = max((time.process_time() - started) / 200, 1e-6)
    kmax = max(200, int(2.0 / per_sample))
    return PROB(kmax=kmax), kmax * per_sample


# Sends SIGINT to process argv[1] once it has used argv[2] more seconds of CPU
# time than when this started, and prints the CPU time it read just before.
CPU_WATCHER = """
import os, signal, sys, time
pid, more = int(sys.argv[1]), float(sys.argv[2])
def cpu():
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
start = cpu()
print("watching", flush=True)
while (now := cpu()) < start + more:
    time.sleep(0.005)
os.kill(pid, signal.SIGINT)
print(now, flush=True)
"""


def interrupt_after_cpu(how, seconds):
    """Arranges for a signal that raises KeyboardInterrupt to arrive once
    this process has used `seconds` more CPU time; returns a function that
    gives the process's CPU time when the signal was sent."""
    if how == "cpu-timer":
        def on_timer(signum, frame):
            raise KeyboardInterrupt

        signal.signal(signal.SIGPROF, on_timer)
        sent = time.process_time() + seconds
        signal.setitimer(signal.ITIMER_PROF, seconds)
        return lambda: sent
    # A real SIGINT from another process, as a Ctrl-C sends.
    env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "PYTHONMALLOC")}
    watcher = subprocess.Popen([sys.executable, "-c", CPU_WATCHER, str(os.getpid()), str(seconds)],
                               stdout=subprocess.PIPE, text=True, env=env)
    assert watcher.stdout.readline() == "watching\n"
    return lambda: float(watcher.communicate(timeout=120)[0])


@pytest.mark.parametrize("how", ["cpu-timer", "sigint"])
def test_keyboard_interrupt_takes_effect_after_solve_returns(how):
    rng = np.random.default_rng()
    task, data = random_task(rng, 30, 30)
    solver, cpu_seconds = long_solve(task)
    previous = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGPROF)}
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(3):  # retried only when the signal did not come while solve ran
            returned = []
            sent_at = interrupt_after_cpu(how, 0.1 * cpu_seconds)
            try:
                # list.extend stores what solve returns, then the process's CPU
                # time, before any bytecode runs (both are C calls), so the
                # result survives the interrupt that follows.
                returned.extend(itertools.chain(map(solver.solve, [task]), itertools.starmap(time.process_time, [()])))
                # A signal that a worker thread took is seen by the interpreter
                # when this thread next takes the lock back, after a sleep.
                for _ in range(600):
                    time.sleep(0.1)
                pytest.fail("no KeyboardInterrupt arrived")
            except KeyboardInterrupt:
                pass
            if len(returned) < 2 or sent_at() < returned[1]:
                break
        else:
            pytest.fail("the signal never came while a solve ran")
    finally:
        signal.setitimer(signal.ITIMER_PROF, 0)
        for number, handler in previous.items():
            signal.signal(number, handler)
    # The signal came early in the solve (after a tenth of its CPU time),
    # yet solve ran to its end and returned its result; only then did the
    # interrupt take effect.
    assert len(returned) == 2
    check_result(returned[0], data)
    # Nothing is corrupted: the task and both kinds of solver still work.
    assert task.validate() is True
    check_result(PROB(kmax=5).solve(task), data)
    check_result(ACO(num_ants=3, kmax=2).solve(task), data)
