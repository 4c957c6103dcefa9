"""Typed use of corvane, checked by mypy --strict and run by test_typing.py.

Every call in `refused()` carries a `# type: ignore[...]`: under --strict an
ignore that is not needed is an error itself, so the stubs cannot quietly start
accepting these calls. Each of them fails at run time as well.
"""

from collections.abc import Callable
from typing import Literal, assert_type

import numpy as np
import numpy.typing as npt

import corvane


def build() -> corvane.Task:
    c = np.array([[5, 3, 0], [2, 7, 1]], dtype=np.int64)
    b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    omega = np.array([[0.1, 0.0, 0.5], [0.2, 0.3, 0.0]])
    # Integers by the index protocol, so NumPy scalars do as well as Python ints.
    task = corvane.Task(np.int64(2), 3, c, b_ij, b_total=np.uint16(4), omega=omega)
    assert_type(task.validate(), Literal[True])
    return task


def solve_all(task: corvane.Task) -> list[tuple[npt.NDArray[np.int64], float]]:
    solvers: list[corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver] = [
        corvane.AntColonyAssignmentSolver(),
        corvane.AntColonyAssignmentSolver(np.uint8(4), 3, alpha=1, beta=np.float32(2.0), rho=True),
        corvane.ProbabilisticAssignmentSolver(),
        corvane.ProbabilisticAssignmentSolver(kmax=10),
    ]
    results = []
    for solver in solvers:
        x, value = solver.solve(task=task)
        assert_type(x, npt.NDArray[np.int64])
        assert_type(value, float)
        results.append((x, value))
    return results


def refused() -> list[Callable[[], object]]:
    task = build()
    ints = np.zeros((1, 1), dtype=np.int64)
    floats = np.zeros((1, 1))
    return [
        lambda: corvane.Task(1, 1),  # type: ignore[call-arg]
        lambda: corvane.Task(1, 1, floats, ints, 1, floats),  # type: ignore[arg-type]
        lambda: corvane.Task(1, 1, ints, ints, 1, ints),  # type: ignore[arg-type]
        lambda: corvane.Task(1, 1, [[1]], ints, 1, floats),  # type: ignore[arg-type]
        lambda: corvane.Task(1.0, 1, ints, ints, 1, floats),  # type: ignore[arg-type]
        lambda: corvane.ProbabilisticAssignmentSolver(kmax=2.0),  # type: ignore[arg-type]
        lambda: corvane.ProbabilisticAssignmentSolver(k=1),  # type: ignore[call-arg]
        lambda: corvane.AntColonyAssignmentSolver(alpha="1"),  # type: ignore[arg-type]
        lambda: corvane.AntColonyAssignmentSolver(rho=None),  # type: ignore[arg-type]
        lambda: corvane.ProbabilisticAssignmentSolver().solve([task]),  # type: ignore[arg-type]
        lambda: corvane.AntColonyAssignmentSolver().solve(),  # type: ignore[call-arg]
        lambda: task.m,  # type: ignore[attr-defined]
        derive_from_task,
    ]


def derive_from_task() -> object:
    class Derived(corvane.Task):  # type: ignore[misc]
        pass

    return Derived
