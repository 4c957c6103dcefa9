# Type information for the native module `corvane` (PEP 561 stub-only package).
#
# The module itself is a single compiled file; these declarations describe what
# it accepts and returns. Integers go through the index protocol and floats
# through `__float__`/`__index__`, so NumPy scalars are as good as Python ones.
# Arrays are never converted: `c` and `b_ij` must be 2-D int64 arrays and
# `omega` a 2-D float64 array (any memory layout).

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]

_Float = SupportsFloat | SupportsIndex
_Assignment = tuple[npt.NDArray[np.int64], float]

@final
class Task:
    """A budget-constrained selection problem over an m x n grid of cells.

    Raises ValueError when the shapes do not match m x n, a discount lies
    outside [0, 1] or b_total is not positive.
    """

    def __new__(
        cls,
        m: SupportsIndex,
        n: SupportsIndex,
        c: npt.NDArray[np.int64],
        b_ij: npt.NDArray[np.int64],
        b_total: SupportsIndex,
        omega: npt.NDArray[np.float64],
    ) -> Task: ...
    def validate(self) -> Literal[True]:
        """Always True: a Task that exists has passed validation."""

@final
class AntColonyAssignmentSolver:
    """Ant colony optimisation: kmax iterations of num_ants ants each."""

    def __new__(
        cls,
        num_ants: SupportsIndex = 20,
        kmax: SupportsIndex = 100,
        alpha: _Float = 1.0,
        beta: _Float = 2.0,
        rho: _Float = 0.1,
        initial_pheromone: _Float = 1.0,
    ) -> AntColonyAssignmentSolver: ...
    def solve(self, task: Task) -> _Assignment:
        """The best assignment found (a new C-contiguous int64 array of shape
        (m, n)) and its value."""

@final
class ProbabilisticAssignmentSolver:
    """kmax independent constructions weighted by the heuristic; the best wins."""

    def __new__(cls, kmax: SupportsIndex = 100) -> ProbabilisticAssignmentSolver: ...
    def solve(self, task: Task) -> _Assignment:
        """The best assignment found (a new C-contiguous int64 array of shape
        (m, n)) and its value."""
