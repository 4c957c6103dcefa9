"""Memory that runs out: a batch too large to hold is refused before any
candidate is built, with a message that says what did not fit; a failed
allocation at any point of a call ends it with MemoryError (or, where the
result cannot be handed over, the PanicException specified for that), never
with a crash or a SystemError, and the task and the solvers stay usable.
Each case that fills memory runs in a child process of its own."""

import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from support import UNDER_ASAN, Task

PRELUDE = """
import os
import numpy as np
import corvane
ACO, PROB = corvane.AntColonyAssignmentSolver, corvane.ProbabilisticAssignmentSolver
threads = lambda: len(os.listdir("/proc/self/task"))

def random_task(side, seed=1):
    rng = np.random.default_rng(seed)
    c, b = rng.integers(1, 100, (side, side)), rng.integers(1, 20, (side, side))
    return corvane.Task(side, side, c, b, int(b.sum()) // 10, rng.uniform(0.0, 0.5, (side, side)))
"""


def run_child(source):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps terabytes of shadow memory, so the address space "
                    "cannot be limited, and its operator new ends the process instead of throwing")
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_a_batch_beyond_the_address_space_is_refused_before_any_work():
    out = run_child("""
        import resource
        task = random_task(1024)
        limit = 2 * 1024**3
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        before = threads()
        try:
            ACO(num_ants=30000, kmax=1).solve(task)
        except MemoryError as error:
            print(error)
        print(threads() - before)
        # Under the same limit, a batch that fits is built as usual.
        x, value = ACO(num_ants=2, kmax=1).solve(task)
        assert x.sum() > 0 and value > 0.0
    """)
    message, started = out.splitlines()
    # Refused by the address space, or up front when the machine has less than that to spare.
    found = re.fullmatch(r"not enough memory for a batch of 30000 ants of 1048576 cells each \((\d+) bytes\)"
                         r"(: the .+)?", message)
    assert found, message
    assert int(found.group(1)) >= 30000 * 1048576 // 8
    assert started == "0"  # refused before the worker pool started


def test_a_task_beyond_what_the_process_can_get_is_refused_naming_the_limit():
    side = 2**20  # 2^40 cells: 24 TiB of copies
    ones = np.broadcast_to(np.int64(1), (side, side))
    with pytest.raises(MemoryError) as refused:
        Task(side, side, ones, ones, 1, np.broadcast_to(0.0, (side, side)))
    assert re.fullmatch(r"not enough memory for a 1048576×1048576 task \(26388279066624 bytes\): the (machine has \d+ "
                        r"bytes available \(MemAvailable plus SwapFree\)|control group /\S+ has \d+ bytes left .*)",
                        str(refused.value)), str(refused.value)


def test_every_interpreter_allocation_of_a_call_may_fail():
    # _testcapi.set_nomemory(start, stop) fails the interpreter's allocations
    # numbered start + 1 .. stop (all from start + 1 on when stop is 0). Each
    # call goes through functools.partial, which checks what corvane returns:
    # a null result without an exception would be a SystemError naming it.
    pytest.importorskip("_testcapi")
    out = run_child("""
        import sys
        from functools import partial
        import _testcapi
        c = np.arange(12, dtype=np.int64).reshape(3, 4)
        b = np.array([[1, 2, 3, 4]] * 3, dtype=np.int64)
        w = np.full((3, 4), 0.25)
        task = corvane.Task(3, 4, c, b, 7, w)
        ant, prob = ACO(num_ants=3, kmax=2), PROB(kmax=3)

        def made(result):
            return type(result) is corvane.Task and result.validate() is True

        def solved(result):
            if type(result) is not tuple:
                return False
            x, value = result
            chosen = x == 1
            return (x.shape == (3, 4) and x.dtype == np.int64 and np.all(chosen | (x == 0))
                    and b[chosen].sum() <= 7 and value == sum(float(c[i, j]) * 0.75 for i, j in zip(*np.nonzero(x))))

        def raised(kind, message):
            return lambda result: type(result) is kind and str(result) == message

        # (environment, name, call, whether a result is the one the call makes with memory to spare)
        calls = [
            ({}, "Task", partial(corvane.Task, 3, 4, c, b, 7, w), made),
            ({}, "Task by keyword", partial(corvane.Task, m=np.int64(3), n=4, c=c, b_ij=b, b_total=7, omega=w), made),
            ({}, "refused Task", partial(corvane.Task, 3, 4, c, b, 0, w),
             raised(ValueError, "Загальний ресурс повинен бути додатнім")),
            ({}, "wrapped TypeError", partial(ACO, num_ants=2.5),
             raised(TypeError, "argument 'num_ants': 'float' object cannot be interpreted as an integer")),
            ({}, "ant colony", partial(ant.solve, task), solved),
            ({}, "probabilistic", partial(prob.solve, task=task), solved),
            ({"CORVANE_SEED": "7"}, "seeded", partial(ant.solve, task), solved),
            ({"CORVANE_RELEASE_GIL": "1"}, "lock released", partial(prob.solve, task), solved),
            ({"CORVANE_SEED": "x"}, "refused seed", partial(prob.solve, task), raised(
                ValueError, "CORVANE_SEED must be empty or a decimal integer from 0 to 18446744073709551615, not 'x'")),
        ]

        def attempt(call):
            try:
                return call()
            except BaseException as error:
                return error

        def outcome(call, start, stop):
            _testcapi.set_nomemory(start, stop)
            try:
                return attempt(call)
            finally:
                _testcapi.remove_mem_hooks()

        def problem(result, expected):
            if expected(result) or isinstance(result, MemoryError):
                return None
            if type(result).__name__ == "PanicException" and str(result) == "Python API call failed":
                return None if expected is solved else repr(result)  # the result could not be handed over
            return repr(result)

        for environment, name, call, expected in calls:
            os.environ.update(environment)
            assert expected(attempt(call)), name  # NumPy's table and the pool exist from now on
            held = [sys.getrefcount(obj) for obj in (task, ant, prob, c, b, w)]
            points = 0
            while True:  # every allocation from the (points + 1)-th on fails: memory stays exhausted
                result = outcome(call, points, 0)
                assert problem(result, expected) is None, (name, points, problem(result, expected))
                assert expected(attempt(call)), name
                if expected(result):
                    break
                points += 1
            failed = 0
            for k in range(points):  # allocation k + 1 alone fails
                result = outcome(call, k, k + 1)
                assert problem(result, expected) is None, (name, k, problem(result, expected))
                assert expected(attempt(call)), name
                failed += not expected(result)
            del result
            assert [sys.getrefcount(obj) for obj in (task, ant, prob, c, b, w)] == held, name
            for variable in environment:
                del os.environ[variable]
            print(f"{name}: {points} {failed}")
    """)
    counts = dict(line.split(": ") for line in out.splitlines())
    assert len(counts) == 9, out
    for name, numbers in counts.items():
        points, failed = map(int, numbers.split())
        assert points > 0 and failed > 0, (name, points, failed)
