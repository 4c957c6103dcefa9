import numpy as np
import pytest

import corvane


def make_task(c, b_ij=None, b_total=None, omega=None):
    """A Task over `c`, with unit resources, no discounts and a budget that
    fits every cell unless given otherwise."""
    c = np.asarray(c, dtype=np.int64)
    m, n = c.shape
    if b_ij is None:
        b_ij = np.ones((m, n), dtype=np.int64)
    if omega is None:
        omega = np.zeros((m, n))
    if b_total is None:
        b_total = max(1, int(np.clip(b_ij, 0, None).sum()))
    return corvane.Task(m, n, c, b_ij, b_total, omega)


def objective(x, c, omega):
    """The discounted total of the chosen cells, summed in row-major order."""
    value = 0.0
    for i, j in zip(*np.nonzero(np.asarray(x) == 1)):
        value += float(c[i, j]) * (1.0 - float(omega[i, j]))
    return value


@pytest.fixture
def small_task():
    c = np.array([[5, 3, 0], [2, 7, 1]], dtype=np.int64)
    b = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    omega = np.array([[0.1, 0.0, 0.5], [0.2, 0.3, 0.0]])
    return corvane.Task(2, 3, c, b, 4, omega)
