import ctypes

import numpy as np
import pytest

from support import Task


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: slow by nature (statistics over many samples, long loops, checks that only a sanitizer "
        "makes worth their time); tests/run_tests.sh leaves them to .ci/stages/06-slow.sh")


def pytest_sessionfinish(session):
    # An xdist worker is ended by its controller, with a deadline, before
    # LeakSanitizer's check at exit gets to run, so under the sanitizer stage
    # each worker checks for leaks itself once its tests are done. A report goes
    # where ASAN_OPTIONS' log_path says; the stage fails when there is one.
    if hasattr(session.config, "workerinput"):
        check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
        if check is not None:
            check()


@pytest.fixture
def small_task():
    c = np.array([[5, 3, 0], [2, 7, 1]], dtype=np.int64)
    b = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    omega = np.array([[0.1, 0.0, 0.5], [0.2, 0.3, 0.0]])
    return Task(2, 3, c, b, 4, omega)
