"""Reproducible runs: with CORVANE_SEED set, a script's results repeat exactly,
whatever the number of worker threads; unset, they vary from run to run.

Scripts run in child processes, so that each starts from call number 0 with a
pool of the size asked for."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from support import UNDER_ASAN

SCRIPT = textwrap.dedent("""
    import hashlib, json, os, numpy as np, corvane
    ACO, PROB = corvane.AntColonyAssignmentSolver, corvane.ProbabilisticAssignmentSolver
    rng = np.random.default_rng(7)
    tasks = []
    for m, n in ((6, 9), (20, 21)):  # a plain scan per step, and the summed tree
        b = rng.integers(1, 20, (m, n))
        tasks.append(corvane.Task(m, n, rng.integers(1, 100, (m, n)), b, int(b.sum()) // 5,
                                  rng.uniform(0, 0.5, (m, n))))
    results = []
    # Both solvers, batches of one candidate (built on this thread), and
    # repeated calls of one solver.
    for solver in (ACO(num_ants=5, kmax=4), PROB(kmax=40), ACO(num_ants=1, kmax=3), PROB(kmax=1),
                   ACO(num_ants=5, kmax=4)):
        for task in tasks:
            x, value = solver.solve(task)
            results.append([value, hashlib.sha256(x.tobytes()).hexdigest()])
    print(json.dumps(results))
""")


def run_script(code, seed=None, threads=None):
    env = {k: v for k, v in os.environ.items() if k not in ("CORVANE_SEED", "RAYON_NUM_THREADS")}
    if seed is not None:
        env["CORVANE_SEED"] = seed
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_a_seed_repeats_exactly_for_any_thread_count():
    runs = {threads: run_script(SCRIPT, "20261208", threads) for threads in (1, 2, 5)}
    assert runs[1] == runs[2] == runs[5]
    assert run_script(SCRIPT, "+20261208", 2) == runs[1]  # the same number, spelled with a plus
    # Repeated calls of one solver are calls of their own.
    assert runs[1][0:2] != runs[1][8:10]


def test_other_seeds_and_no_seed_give_other_results():
    seeded = run_script(SCRIPT, "1", 2)
    assert run_script(SCRIPT, "2", 2) != seeded
    assert run_script(SCRIPT, "18446744073709551615", 2) != seeded
    unseeded = [run_script(SCRIPT, None, 2), run_script(SCRIPT, "", 2)]
    assert unseeded[0] != unseeded[1] and seeded not in unseeded


# Forks while the pool's threads are alive. Under AddressSanitizer one such
# run timed out (300 s) and 130 more could not repeat it; every other stage
# runs it.
@pytest.mark.skipif(UNDER_ASAN, reason="fork with live threads under AddressSanitizer's runtime")
def test_every_call_counts_seeded_or_not_and_forked_children_continue_the_count():
    # Calls 0 and 2 are seeded in both scripts; call 1 is seeded in one only.
    code = textwrap.dedent("""
        import json, os, sys, numpy as np, corvane
        c = np.arange(1, 31, dtype=np.int64).reshape(5, 6)
        task = corvane.Task(5, 6, c, np.ones((5, 6), np.int64), 9, np.zeros((5, 6)))
        solver = corvane.ProbabilisticAssignmentSolver(kmax=3)
        def call():
            x, value = solver.solve(task)
            return [value, x.ravel().tolist()]
        os.environ["CORVANE_SEED"] = "99"
        results = [call()]
        if sys.argv[1] == "unseeded-middle":
            del os.environ["CORVANE_SEED"]
        results.append(call())
        os.environ["CORVANE_SEED"] = "99"
        results.append(call())
        # Children forked now both make call 3, as this process does next.
        children = []
        for _ in range(2):
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.write(write, json.dumps(call()).encode())
                os._exit(0)
            os.close(write)
            children.append((pid, read))
        for pid, read in children:
            os.waitpid(pid, 0)
            results.append(json.loads(os.read(read, 1 << 16)))
        results.append(call())
        print(json.dumps(results))
    """)
    seeded = run_script(code.replace("sys.argv[1]", "'seeded'"), None, 2)
    mixed = run_script(code.replace("sys.argv[1]", "'unseeded-middle'"), None, 2)
    assert mixed[0] == seeded[0] and mixed[2] == seeded[2]
    assert seeded[0] != seeded[2]
    assert seeded[3] == seeded[4] == seeded[5] == mixed[3]


TIES = textwrap.dedent("""
    import hashlib, json, os, numpy as np, corvane
    # Every cell is worth 1 and uses 1 of a budget of 1000: every candidate
    # takes 1000 cells of its own choice, and all candidates of a call tie.
    task = corvane.Task(40, 50, np.ones((40, 50), np.int64), np.ones((40, 50), np.int64), 1000, np.zeros((40, 50)))
    solver = corvane.SOLVER
    picks = []
    for seed in range(12):  # call k with seed k
        os.environ["CORVANE_SEED"] = str(seed)
        x, value = solver.solve(task)
        assert value == 1000.0
        picks.append(hashlib.sha256(x.tobytes()).hexdigest())
    print(json.dumps(picks))
""")


@pytest.mark.parametrize("solver", ["ProbabilisticAssignmentSolver(kmax=KMAX)",
                                    "AntColonyAssignmentSolver(num_ants=KMAX, kmax=1)"])
def test_tied_candidates_return_the_first_whatever_the_thread_count(solver):
    # Candidate 0 of call k draws the same stream whatever the batch's size,
    # so when all candidates tie a call must return what a batch of one
    # returns, however the candidates were shared out among the threads.
    script = TIES.replace("SOLVER", solver)
    first = run_script(script.replace("KMAX", "1"), threads=1)
    for threads in (1, 2, 3, 5):
        assert run_script(script.replace("KMAX", "64"), threads=threads) == first, threads


@pytest.mark.parametrize("value", ["abc", "-1", "1.5", str(2**64), " 1", "1 ", " ", "+", "0x10", "1e3", "\u0661"])
def test_malformed_seeds_are_refused(monkeypatch, small_task, value):
    solver = corvane.ProbabilisticAssignmentSolver(kmax=3)
    monkeypatch.setenv("CORVANE_SEED", value)
    with pytest.raises(ValueError) as refused:
        solver.solve(small_task)
    message = str(refused.value)
    assert message.startswith("CORVANE_SEED must be empty or a decimal integer from 0 to 18446744073709551615")
    assert message.endswith(f", not {value!r}")
    # Arguments are bound and checked first.
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        solver.solve()
    with pytest.raises(TypeError, match="argument 'task'"):
        solver.solve([1])
    # The solver and the task are as before.
    monkeypatch.setenv("CORVANE_SEED", "5")
    first = solver.solve(small_task)
    assert first[1] > 0.0


def test_seed_is_read_at_every_call(monkeypatch):
    c = np.arange(1, 101, dtype=np.int64).reshape(10, 10)
    task = corvane.Task(10, 10, c, np.ones((10, 10), np.int64), 7, np.zeros((10, 10)))
    solver = corvane.ProbabilisticAssignmentSolver(kmax=1)
    monkeypatch.setenv("CORVANE_SEED", "0")
    seeded = [solver.solve(task)[0].ravel().tolist() for _ in range(2)]
    monkeypatch.delenv("CORVANE_SEED")
    unseeded = [solver.solve(task)[0].ravel().tolist() for _ in range(2)]
    # Distinct calls draw distinct streams, seeded or not.
    assert seeded[0] != seeded[1] and unseeded[0] != unseeded[1]
