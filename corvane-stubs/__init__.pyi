# Type information for the native module `corvane` (PEP 561 stub-only package).
#
# The module itself is a single compiled file whose docstrings carry only the
# text signatures; the descriptions live here, where editors show them and the
# documentation's API reference is generated from them (numpydoc style).
# Integers go through the index protocol and floats through
# `__float__`/`__index__`, so NumPy scalars are as good as Python ones. Arrays
# are never converted: `c` and `b_ij` must be 2-D int64 arrays and `omega` a
# 2-D float64 array (any memory layout).

"""Stochastic solvers for a budget-constrained selection problem with discounts.

A :class:`Task` is a grid of ``m`` x ``n`` cells, each with a cost, a resource
use and a discount, under one budget. :class:`AntColonyAssignmentSolver` and
:class:`ProbabilisticAssignmentSolver` return the best 0/1 assignment they
find and its value; the work runs in C++ on a process-wide pool of native
threads.
"""

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]

@final
class Task:
    """A budget-constrained selection problem over an ``m`` x ``n`` grid of cells.

    The value of an assignment ``x`` (an ``m`` x ``n`` matrix of 0 and 1) is
    ``sum(c * (1 - omega))`` over its chosen cells, and its resources,
    ``sum(b_ij)`` over the same cells, must not exceed ``b_total``. There is
    no limit per row or per column.

    The arrays are copied: changing them afterwards does not change the task.
    A task is never modified after construction, has no readable attributes,
    cannot be subclassed or pickled, and may be shared by any number of
    threads.

    Parameters
    ----------
    m : int
        Number of rows, a non-negative integer (anything with ``__index__``).
    n : int
        Number of columns, a non-negative integer.
    c : numpy.ndarray of int64, shape (m, n)
        Cost of each cell. Any values, zero and negative included.
    b_ij : numpy.ndarray of int64, shape (m, n)
        Resource each cell uses. Any values, zero and negative included.
    b_total : int
        The budget: the most resource the chosen cells may use together.
        Must be positive and below 2**63.
    omega : numpy.ndarray of float64, shape (m, n)
        Discount of each cell, in [0, 1] (NaN is accepted).

    Raises
    ------
    TypeError
        When an argument is missing, repeated or unknown, or has the wrong
        type: an array that is not 2-D or not of the dtype above (arrays are
        never converted; use ``numpy.asarray(a, dtype=numpy.int64)``), or an
        integer given as a float. The message names the parameter.
    OverflowError
        When ``m`` or ``n`` is negative or ``m``, ``n`` or ``b_total`` is out
        of the 64-bit range.
    ValueError
        When the problem data is invalid, with one of five fixed messages in
        Ukrainian: an array whose shape is not (m, n) (``c`` checked first,
        then ``b_ij``, then ``omega``), a discount outside [0, 1], or a
        ``b_total`` that is not positive.
    MemoryError
        When the copies of the arrays do not fit in memory.

    See Also
    --------
    AntColonyAssignmentSolver, ProbabilisticAssignmentSolver

    Examples
    --------
    >>> import numpy as np, corvane
    >>> c = np.array([[5, 3], [2, 7]], dtype=np.int64)
    >>> b_ij = np.array([[2, 1], [1, 2]], dtype=np.int64)
    >>> omega = np.zeros((2, 2))
    >>> task = corvane.Task(2, 2, c, b_ij, 3, omega)
    >>> task.validate()
    True
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
        """Check the task's data again.

        A task is validated when it is built and never changes, so this
        always succeeds.

        Returns
        -------
        bool
            ``True``, the object itself.
        """

@final
class AntColonyAssignmentSolver:
    """Ant colony optimisation: ``kmax`` iterations of ``num_ants`` ants each.

    In every iteration each ant builds a solution from the empty assignment,
    adding one cell at a time drawn with probability proportional to
    ``tau ** alpha * eta ** beta`` among the cells that still fit the budget,
    where ``eta = (1 - omega) * c / b_ij`` is the cell's discounted cost per
    unit of resource and ``tau`` its pheromone. The ants of an iteration are
    built in parallel; then the pheromone evaporates by ``rho`` and every ant
    deposits its value on the cells it chose. The best solution of the whole
    call is returned.

    No parameter is range-checked; the solver holds only these values and can
    be shared by any number of threads.

    Parameters
    ----------
    num_ants : int, default 20
        Ants (solutions built, in parallel) per iteration. A call builds
        ``num_ants * kmax`` solutions in all, and its time grows in
        proportion.
    kmax : int, default 100
        Iterations per call.
    alpha : float, default 1.0
        Exponent of the pheromone in a cell's weight: how strongly earlier
        good solutions steer the next ones.
    beta : float, default 2.0
        Exponent of ``eta`` in a cell's weight: how greedy each construction
        is. With an even integer ``beta`` a cell with negative ``eta`` has a
        positive weight and can be chosen; with ``beta = 0`` every cell that
        fits can be chosen, whatever its ``eta``.
    rho : float, default 0.1
        Evaporation: the share of pheromone lost after each iteration
        (0 keeps all, 1 forgets all).
    initial_pheromone : float, default 1.0
        The pheromone of every cell at the start of each call.

    Raises
    ------
    TypeError
        When an argument is unknown or repeated, an integer parameter is not
        an integer (``2.0`` and ``None`` are refused) or a float parameter has
        no float conversion. The message names the parameter.
    OverflowError
        When ``num_ants`` or ``kmax`` is negative or not below 2**64.

    See Also
    --------
    ProbabilisticAssignmentSolver : the same construction weighted by ``eta`` alone.

    Examples
    --------
    >>> import corvane
    >>> solver = corvane.AntColonyAssignmentSolver(beta=8.0)
    """

    def __new__(
        cls,
        num_ants: SupportsIndex = 20,
        kmax: SupportsIndex = 100,
        alpha: SupportsFloat | SupportsIndex = 1.0,
        beta: SupportsFloat | SupportsIndex = 2.0,
        rho: SupportsFloat | SupportsIndex = 0.1,
        initial_pheromone: SupportsFloat | SupportsIndex = 1.0,
    ) -> AntColonyAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]:
        """Search for the best assignment of `task`.

        Unless ``CORVANE_SEED`` is set, every call draws fresh random numbers,
        so two calls generally return different results. By default the call
        holds the interpreter lock until it returns; with
        ``CORVANE_RELEASE_GIL=1`` it releases it while the ants run and runs
        signal handlers between iterations.

        Parameters
        ----------
        task : Task
            The problem to solve; only read.

        Returns
        -------
        x : numpy.ndarray of int64, shape (m, n)
            A new C-contiguous array of 0 and 1 marking the chosen cells. It
            always respects the budget.
        value : float
            The value of ``x``. The search starts from the empty assignment
            (value 0.0) and keeps a solution only when it is strictly better,
            so when nothing scores above 0.0 the result is all zeros and 0.0.

        Raises
        ------
        TypeError
            When `task` is not a :class:`Task`.
        ValueError
            When ``CORVANE_SEED`` or ``CORVANE_RELEASE_GIL`` holds a value
            they do not accept.
        MemoryError
            When the ants of one iteration do not fit in memory.
        KeyboardInterrupt
            With ``CORVANE_RELEASE_GIL=1``, when Ctrl-C arrives during the
            call (as does any exception a signal handler raises); no result
            is returned.
        BaseException
            ``PanicException`` (derived from ``BaseException``, not
            ``Exception``) when the cell weights add up to infinity, e.g.
            with ``initial_pheromone=0`` and a negative ``alpha``.
        """

@final
class ProbabilisticAssignmentSolver:
    """``kmax`` independent constructions weighted by the heuristic; the best wins.

    Each construction starts from the empty assignment and adds one cell at a
    time, drawn with probability proportional to
    ``eta = (1 - omega) * c / b_ij`` among the cells with a positive ``eta``
    that still fit the budget. All ``kmax`` constructions of a call are built
    in parallel and nothing is learnt between them.

    Parameters
    ----------
    kmax : int, default 100
        Constructions per call; the time of a call grows in proportion. Any
        number is accepted: only the best construction is kept.

    Raises
    ------
    TypeError
        When the argument is unknown or repeated, or ``kmax`` is not an
        integer (``2.0`` and ``None`` are refused).
    OverflowError
        When ``kmax`` is negative or not below 2**64.

    See Also
    --------
    AntColonyAssignmentSolver : adds pheromone that learns from earlier solutions.

    Examples
    --------
    >>> import corvane
    >>> solver = corvane.ProbabilisticAssignmentSolver(kmax=1000)
    """

    def __new__(cls, kmax: SupportsIndex = 100) -> ProbabilisticAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]:
        """Build ``kmax`` assignments of `task` and return the best.

        Unless ``CORVANE_SEED`` is set, every call draws fresh random numbers.
        All constructions run in one batch, so with
        ``CORVANE_RELEASE_GIL=1`` a signal handler runs only once they are
        all built.

        Parameters
        ----------
        task : Task
            The problem to solve; only read.

        Returns
        -------
        x : numpy.ndarray of int64, shape (m, n)
            A new C-contiguous array of 0 and 1 marking the chosen cells. It
            always respects the budget.
        value : float
            The value of ``x``; all zeros and 0.0 when no construction scored
            above 0.0.

        Raises
        ------
        TypeError
            When `task` is not a :class:`Task`.
        ValueError
            When ``CORVANE_SEED`` or ``CORVANE_RELEASE_GIL`` holds a value
            they do not accept.
        KeyboardInterrupt
            With ``CORVANE_RELEASE_GIL=1``, when Ctrl-C arrived during the
            batch (as does any exception a signal handler raises); no result
            is returned.
        """
