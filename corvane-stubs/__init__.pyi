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

The module has no settings of its own: what goes beyond the arguments is set
through the environment, read at the start of every ``solve`` --
``CORVANE_SEED`` (runs that repeat), ``CORVANE_RELEASE_GIL`` (release the
interpreter lock while solving) and ``CORVANE_TIME_LIMIT`` (a limit on a
solve's wall time) -- and through progress records on the ``corvane`` logger
of the standard ``logging`` module. The *Notes* of
:meth:`AntColonyAssignmentSolver.solve` and
:meth:`ProbabilisticAssignmentSolver.solve` sum them up.

See :doc:`/getting-started` for a first solve, the :doc:`user guide
</guide/index>` for the model, the methods and their parameters, and
:doc:`/errors` for every exception, its message and what to do about it.
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
        Number of rows, a non-negative integer (anything with ``__index__``,
        NumPy integers included).
    n : int
        Number of columns, a non-negative integer.
    c : numpy.ndarray of int64
        Cost of each cell, shape ``(m, n)``. Any values, zero and negative
        included.
    b_ij : numpy.ndarray of int64
        Resource each cell uses, shape ``(m, n)``. Any values, zero and
        negative included.
    b_total : int
        The budget: the most resource the chosen cells may use together.
        Must be positive and below 2**63.
    omega : numpy.ndarray of float64
        Discount of each cell, shape ``(m, n)``, in [0, 1] (NaN is accepted).

    Raises
    ------
    TypeError
        When an argument is missing, repeated or unknown, or has the wrong
        type: an array that is not 2-D or not of the dtype above (arrays are
        never converted; use ``numpy.asarray(a, dtype=numpy.int64)``), or an
        integer given as a float. The message names the parameter
        (:ref:`errors-arguments`).
    OverflowError
        When ``m`` or ``n`` is negative or ``m``, ``n`` or ``b_total`` is out
        of the 64-bit range; the interpreter's message, without the
        parameter's name (:ref:`errors-arguments`).
    ValueError
        When the problem data is invalid, with one of five fixed messages in
        Ukrainian: an array whose shape is not (m, n) (``c`` checked first,
        then ``b_ij``, then ``omega``), a discount outside [0, 1], or a
        ``b_total`` that is not positive (:ref:`errors-invalid-data`, with
        their translations).
    MemoryError
        When the copies of the arrays do not fit in memory; the message says
        how many bytes the task needs and which limit refused them
        (:ref:`errors-memory`).

    See Also
    --------
    corvane.AntColonyAssignmentSolver.solve : Solve a task by ant colony optimisation.
    corvane.ProbabilisticAssignmentSolver.solve : Solve a task by independent random constructions.

    Notes
    -----
    The arguments are checked in the order of the signature and the first
    problem found is reported; :doc:`/errors` lists every message. The model
    behind the task, and which cells each solver can choose when costs,
    resources or discounts are zero or negative: :doc:`/guide/problem`.

    Examples
    --------
    A task of 2 x 3 cells under a budget of 4:

    >>> import numpy as np, corvane
    >>> c = np.array([[4, 3, 6], [2, 8, 1]], dtype=np.int64)
    >>> b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    >>> omega = np.array([[0.5, 0.0, 0.25], [0.0, 0.25, 0.0]])
    >>> task = corvane.Task(2, 3, c, b_ij, 4, omega)
    >>> task.validate()
    True

    What each cell is worth when chosen:

    >>> c * (1 - omega)
    array([[2. , 3. , 4.5],
           [2. , 6. , 1. ]])

    Arrays are never converted: one of another dtype is refused, and the
    message names it. Convert it explicitly:

    >>> c32 = c.astype(np.int32)
    >>> corvane.Task(2, 3, c32, b_ij, 4, omega)
    Traceback (most recent call last):
        ...
    TypeError: argument 'c': 'ndarray' object cannot be converted to 'PyArray<T, D>'
    >>> task = corvane.Task(2, 3, np.asarray(c32, dtype=np.int64), b_ij, 4, omega)

    Any solver solves it; the result is a 0/1 array of the task's shape within
    the budget:

    >>> x, value = corvane.ProbabilisticAssignmentSolver().solve(task)
    >>> x.shape, x.dtype
    ((2, 3), dtype('int64'))
    >>> int((b_ij * x).sum()) <= 4
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

        See Also
        --------
        corvane.Task : The checks made when a task is built.

        Notes
        -----
        Invalid data never makes a task: the constructor refuses it with a
        ``ValueError`` (:ref:`errors-invalid-data`; every exception is in
        :doc:`/errors`).

        Examples
        --------
        >>> import numpy as np, corvane
        >>> ones = np.ones((1, 2), dtype=np.int64)
        >>> task = corvane.Task(1, 2, ones, ones, 1, np.zeros((1, 2)))
        >>> task.validate()
        True
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
        proportion. Each ant of an iteration keeps an ``m`` x ``n`` solution,
        so this also sets a call's memory.
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
        no float conversion. The message names the parameter
        (:ref:`errors-arguments`).
    OverflowError
        When ``num_ants`` or ``kmax`` is negative or not below 2**64
        (:ref:`errors-arguments`).

    See Also
    --------
    corvane.AntColonyAssignmentSolver.solve : Run the search on a task.
    corvane.ProbabilisticAssignmentSolver : The same construction weighted by ``eta`` alone.
    corvane.Task : The problem to solve.

    Notes
    -----
    What each parameter does to the search: :doc:`/guide/solvers`; which
    method to use and how to tune it, with measurements:
    :doc:`/guide/choosing`. A call's time and memory, progress records, time
    limits and interrupting: :doc:`/guide/long-solves`. Every exception the
    constructor and ``solve`` raise: :doc:`/errors`.

    Examples
    --------
    A task of 2 x 3 cells under a budget of 4 (the one of :class:`~corvane.Task`):

    >>> import numpy as np, corvane
    >>> c = np.array([[4, 3, 6], [2, 8, 1]], dtype=np.int64)
    >>> b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    >>> omega = np.array([[0.5, 0.0, 0.25], [0.0, 0.25, 0.0]])
    >>> task = corvane.Task(2, 3, c, b_ij, 4, omega)

    A solver holds only its parameters and solves any number of tasks:

    >>> solver = corvane.AntColonyAssignmentSolver(num_ants=10, kmax=50)
    >>> x, value = solver.solve(task)

    On a task this small the 500 ants find the best assignment: cells (0, 1),
    (1, 0) and (1, 1), worth 3 + 2 + 6 and using all the budget.

    >>> x
    array([[0, 1, 0],
           [1, 1, 0]])
    >>> value
    11.0
    >>> int((b_ij * x).sum())
    4
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

        Runs ``kmax`` iterations of ``num_ants`` ants on the process-wide
        thread pool and returns the best solution of the whole call. Unless
        ``CORVANE_SEED`` is set, every call draws fresh random numbers, so two
        calls generally return different results. By default the call holds
        the interpreter lock until it returns (see *Notes* for what the
        environment and logging change).

        Parameters
        ----------
        task : Task
            The problem to solve; only read.

        Returns
        -------
        x : numpy.ndarray of int64
            A new C-contiguous array of shape ``(m, n)`` holding 0 and 1,
            marking the chosen cells. It always respects the budget.
        value : float
            The value of ``x``. The search starts from the empty assignment
            (value 0.0) and keeps a solution only when it is strictly better,
            so when nothing scores above 0.0 the result is all zeros and 0.0.

        Raises
        ------
        TypeError
            When `task` is not a :class:`~corvane.Task`
            (:ref:`errors-arguments`).
        ValueError
            When ``CORVANE_SEED``, ``CORVANE_RELEASE_GIL`` or
            ``CORVANE_TIME_LIMIT`` holds a value it does not accept; the
            message names the variable and shows the value. They are read in
            that order, after `task` is checked and before any work
            (:ref:`errors-environment`).
        MemoryError
            When the ants of one iteration do not fit in memory, before any
            solving work; the message says what did not fit and which limit
            refused it (:ref:`errors-memory`).
        KeyboardInterrupt
            From Ctrl-C during the call, where the call runs signal handlers:
            with ``CORVANE_RELEASE_GIL=1`` between iterations, and with
            progress records on (the ``corvane`` logger takes INFO or DEBUG)
            in either mode, at least every 0.25 s. Any other exception a
            signal handler or a logging handler raises ends the call the same
            way. No result is returned; the solver, the task and the thread
            pool stay usable (:ref:`errors-signals`). Otherwise Ctrl-C takes
            effect once the call returns, and its result is lost.
        BaseException
            ``PanicException`` (derived from ``BaseException``, not
            ``Exception``) when the cell weights add up to infinity, e.g.
            with ``initial_pheromone=0`` and a negative ``alpha``
            (:ref:`errors-panic`).

        See Also
        --------
        corvane.ProbabilisticAssignmentSolver.solve : The other method's search.
        corvane.Task : The problem and the checks on its data.

        Notes
        -----
        Three environment variables, read at the start of every call, change
        how it runs; unset, the call runs as described above. A malformed
        value raises ``ValueError``.

        ``CORVANE_SEED``
            A decimal integer from 0 to 2**64 - 1: a script's results repeat
            exactly, whatever the number of worker threads. Unset or empty:
            fresh operating-system entropy for every call
            (:doc:`/guide/reproducibility`).
        ``CORVANE_RELEASE_GIL``
            ``1``: the call releases the interpreter lock while the ants run
            and while it updates the pheromone, so other Python threads run
            meanwhile, and takes it back between iterations to run pending
            signal handlers. ``0`` or empty: the call holds the lock
            throughout (:doc:`/guide/threads`).
        ``CORVANE_TIME_LIMIT``
            A positive decimal number of seconds (``30``, ``2.5``, ``1e3``):
            once that much wall time has passed since the call began, no new
            ant starts and the ants still being built are abandoned. The
            iteration cut short is the last; the ants it built count as a whole
            iteration's would, and the best solution found so far is returned,
            a valid result like any other. At least one ant always completes,
            however short the limit. An empty value is refused: remove the
            variable instead (:doc:`/guide/long-solves`).

        Logging: when the ``corvane`` logger takes INFO records (for instance
        after ``logging.basicConfig(level=logging.INFO)``), a call logs when it
        starts, its progress (at most once a second), when a time limit
        stopped it and when it ends; with DEBUG also one record per
        iteration, with the best value of its ants and the best so far. Each
        record carries its numbers as attributes (``record.event``,
        ``record.best``, ...). The records are written from the calling
        thread, which also runs pending signal handlers at least every 0.25 s,
        so Ctrl-C stops the call in either mode. When the logger takes neither
        level, the call logs nothing and runs exactly as without logging
        (:doc:`/guide/long-solves`).

        Worker threads: ``RAYON_NUM_THREADS``, read when the pool is created
        (:doc:`/guide/threads`). What holds for every call in every mode:
        :doc:`/guide/guarantees`.

        Examples
        --------
        >>> import os
        >>> import numpy as np, corvane
        >>> c = np.array([[4, 3, 6], [2, 8, 1]], dtype=np.int64)
        >>> b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
        >>> omega = np.array([[0.5, 0.0, 0.25], [0.0, 0.25, 0.0]])
        >>> task = corvane.Task(2, 3, c, b_ij, 4, omega)
        >>> x, value = corvane.AntColonyAssignmentSolver().solve(task)

        ``x`` marks the chosen cells, within the budget, and ``value`` is what
        they are worth:

        >>> x.dtype, x.shape, x.flags.c_contiguous
        (dtype('int64'), (2, 3), True)
        >>> int((b_ij * x).sum()) <= 4
        True
        >>> value == float((c * (1 - omega))[x == 1].sum())
        True

        With a time limit, a search that would run for hours returns the best
        it found after a fifth of a second:

        >>> os.environ["CORVANE_TIME_LIMIT"] = "0.2"
        >>> x, value = corvane.AntColonyAssignmentSolver(kmax=10**9).solve(task)
        >>> value
        11.0

        A value the variable does not accept:

        >>> os.environ["CORVANE_TIME_LIMIT"] = "abc"
        >>> corvane.AntColonyAssignmentSolver().solve(task)
        Traceback (most recent call last):
            ...
        ValueError: CORVANE_TIME_LIMIT must be a positive, finite decimal number of seconds, not 'abc'
        >>> del os.environ["CORVANE_TIME_LIMIT"]
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
        integer (``2.0`` and ``None`` are refused) (:ref:`errors-arguments`).
    OverflowError
        When ``kmax`` is negative or not below 2**64
        (:ref:`errors-arguments`).

    See Also
    --------
    corvane.ProbabilisticAssignmentSolver.solve : Run the constructions on a task.
    corvane.AntColonyAssignmentSolver : Adds pheromone that learns from earlier solutions.
    corvane.Task : The problem to solve.

    Notes
    -----
    How the constructions choose cells: :doc:`/guide/solvers`; which method
    to use, with measurements: :doc:`/guide/choosing`. A call's time,
    progress records, time limits and interrupting:
    :doc:`/guide/long-solves`. Every exception the constructor and ``solve``
    raise: :doc:`/errors`.

    Examples
    --------
    A task of 2 x 3 cells under a budget of 4 (the one of :class:`~corvane.Task`):

    >>> import numpy as np, corvane
    >>> c = np.array([[4, 3, 6], [2, 8, 1]], dtype=np.int64)
    >>> b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
    >>> omega = np.array([[0.5, 0.0, 0.25], [0.0, 0.25, 0.0]])
    >>> task = corvane.Task(2, 3, c, b_ij, 4, omega)
    >>> solver = corvane.ProbabilisticAssignmentSolver(kmax=1000)
    >>> x, value = solver.solve(task)

    On a task this small one of the 1000 constructions is the best
    assignment: cells (0, 1), (1, 0) and (1, 1), worth 3 + 2 + 6 and using
    all the budget.

    >>> x
    array([[0, 1, 0],
           [1, 1, 0]])
    >>> value
    11.0
    >>> int((b_ij * x).sum())
    4
    """

    def __new__(cls, kmax: SupportsIndex = 100) -> ProbabilisticAssignmentSolver: ...
    def solve(self, task: Task) -> tuple[npt.NDArray[np.int64], float]:
        """Build ``kmax`` assignments of `task` and return the best.

        All constructions run in one batch on the process-wide thread pool.
        Unless ``CORVANE_SEED`` is set, every call draws fresh random numbers,
        so two calls generally return different results. By default the call
        holds the interpreter lock until it returns (see *Notes* for what the
        environment and logging change).

        Parameters
        ----------
        task : Task
            The problem to solve; only read.

        Returns
        -------
        x : numpy.ndarray of int64
            A new C-contiguous array of shape ``(m, n)`` holding 0 and 1,
            marking the chosen cells. It always respects the budget.
        value : float
            The value of ``x``; all zeros and 0.0 when no construction scored
            above 0.0.

        Raises
        ------
        TypeError
            When `task` is not a :class:`~corvane.Task`
            (:ref:`errors-arguments`).
        ValueError
            When ``CORVANE_SEED``, ``CORVANE_RELEASE_GIL`` or
            ``CORVANE_TIME_LIMIT`` holds a value it does not accept; the
            message names the variable and shows the value. They are read in
            that order, after `task` is checked and before any work
            (:ref:`errors-environment`).
        MemoryError
            When what the call needs to build its constructions does not fit
            in memory (:ref:`errors-memory`). Any ``kmax`` fits: only the best
            construction is kept.
        KeyboardInterrupt
            From Ctrl-C during the call, where the call runs signal handlers:
            with ``CORVANE_RELEASE_GIL=1`` once the batch is built, and with
            progress records on (the ``corvane`` logger takes INFO or DEBUG)
            in either mode, at least every 0.25 s while the batch runs. Any
            other exception a signal handler or a logging handler raises ends
            the call the same way. No result is returned; the solver, the task
            and the thread pool stay usable (:ref:`errors-signals`). Otherwise
            Ctrl-C takes effect once the call returns, and its result is lost.

        See Also
        --------
        corvane.AntColonyAssignmentSolver.solve : The other method's search.
        corvane.Task : The problem and the checks on its data.

        Notes
        -----
        Three environment variables, read at the start of every call, change
        how it runs; unset, the call runs as described above. A malformed
        value raises ``ValueError``.

        ``CORVANE_SEED``
            A decimal integer from 0 to 2**64 - 1: a script's results repeat
            exactly, whatever the number of worker threads. Unset or empty:
            fresh operating-system entropy for every call
            (:doc:`/guide/reproducibility`).
        ``CORVANE_RELEASE_GIL``
            ``1``: the call releases the interpreter lock while the batch
            runs, so other Python threads run meanwhile, and takes it back
            once the batch is built to run pending signal handlers. ``0`` or
            empty: the call holds the lock throughout
            (:doc:`/guide/threads`).
        ``CORVANE_TIME_LIMIT``
            A positive decimal number of seconds (``30``, ``2.5``, ``1e3``):
            once that much wall time has passed since the call began, no new
            construction starts and those still being built are abandoned.
            The result is the best of the constructions built (ties go to the
            lowest index), a valid result like any other. At least one
            construction always completes, however short the limit. An empty
            value is refused: remove the variable instead
            (:doc:`/guide/long-solves`).

        Logging: when the ``corvane`` logger takes INFO records (for instance
        after ``logging.basicConfig(level=logging.INFO)``), a call logs when it
        starts, its progress (at most once a second, also from the middle of
        the batch), when a time limit stopped it and when it ends. Each record
        carries its numbers as attributes (``record.event``,
        ``record.candidates_done``, ``record.best``, ...). The records are
        written from the calling thread, which also runs pending signal
        handlers at least every 0.25 s, so Ctrl-C stops the call in either
        mode. When the logger takes neither INFO nor DEBUG, the call logs
        nothing and runs exactly as without logging
        (:doc:`/guide/long-solves`).

        Worker threads: ``RAYON_NUM_THREADS``, read when the pool is created
        (:doc:`/guide/threads`). What holds for every call in every mode:
        :doc:`/guide/guarantees`.

        Examples
        --------
        >>> import logging
        >>> import numpy as np, corvane
        >>> c = np.array([[4, 3, 6], [2, 8, 1]], dtype=np.int64)
        >>> b_ij = np.array([[2, 1, 3], [1, 2, 2]], dtype=np.int64)
        >>> omega = np.array([[0.5, 0.0, 0.25], [0.0, 0.25, 0.0]])
        >>> task = corvane.Task(2, 3, c, b_ij, 4, omega)
        >>> x, value = corvane.ProbabilisticAssignmentSolver().solve(task)

        ``x`` marks the chosen cells, within the budget, and ``value`` is what
        they are worth:

        >>> x.dtype, x.shape, x.flags.c_contiguous
        (dtype('int64'), (2, 3), True)
        >>> int((b_ij * x).sum()) <= 4
        True
        >>> value == float((c * (1 - omega))[x == 1].sum())
        True

        The records of a call, collected by a handler of one's own:

        >>> class Collect(logging.Handler):
        ...     def emit(self, record):
        ...         records.append(record)
        >>> records, handler = [], Collect()
        >>> logger = logging.getLogger("corvane")
        >>> logger.addHandler(handler)
        >>> logger.setLevel(logging.INFO)
        >>> x, value = corvane.ProbabilisticAssignmentSolver(kmax=500).solve(task)
        >>> logger.removeHandler(handler)
        >>> logger.setLevel(logging.NOTSET)
        >>> records[0].event, records[-1].event
        ('start', 'end')
        >>> records[-1].candidates_done, records[-1].best == value
        (500, True)
        """
