"""Hostile conversion hooks, one case per function: run by
test_hostile_hooks.py in a child process each (a fault there is a crash, not a
failed assertion in the test process), and under AddressSanitizer in CI.

Every hook attacks what the call has bound but not yet read: it empties or
refills the caller's keyword dict (reached through gc.get_referrers), changes
the arrays of other arguments in place, re-enters the module, raises a
BaseException, or forces a collection. Each case checks that the call ends in
the result the caller's data calls for, or in the exception it calls for.

    python3 hostile_hooks.py CASE [REPEATS]
"""

import functools
import gc
import itertools
import sys

import numpy as np

import corvane
from support import RANGE_MESSAGE, SHAPE_MESSAGES, block_counter

COSTS = ((3,), (4,))
RESOURCES = ((1,), (2,))


def caller_arrays():
    """Fresh arrays of a 2 x 1 task whose every cell fits a budget of 1000."""
    return (np.array(COSTS, np.int64), np.array(RESOURCES, np.int64), np.zeros((2, 1)))


def clear_referring_dicts(obj, refill=None):
    """Empties every dict holding `obj` (the call's keyword dict among them),
    then fills it with `refill`, and churns the allocator so that freed
    memory gets reused."""
    for referrer in gc.get_referrers(obj):
        if isinstance(referrer, dict) and "__builtins__" not in referrer:
            referrer.clear()
            if refill:
                referrer.update(refill)
    return [np.full((2, 1), 9, np.int64) for _ in range(20)] + [float(k) + 0.5 for k in range(200)]


def whole_grid_value(task):
    """Value of the one candidate of ProbabilisticAssignmentSolver(1): every cell
    fits and is worth taking, so it takes them all."""
    x, value = corvane.ProbabilisticAssignmentSolver(1).solve(task)
    assert x.tolist() == [[1], [1]], x
    return value


class ClearsKeywords:
    """An integer whose conversion empties the keyword dict it was passed in."""

    def __init__(self, value, refill=None):
        self.value = value
        self.refill = refill

    def __index__(self):
        self.churn = clear_referring_dicts(self, self.refill)
        return self.value


def task_keywords_cleared():
    for position in ("m", "n", "b_total"):
        for refill in (None, "other arrays"):
            c, b, w = caller_arrays()
            values = {"m": 2, "n": 1, "b_total": 1000}
            other = None
            if refill:
                other = {"c": np.full((2, 1), 50, np.int64), "b_ij": np.ones((2, 1), np.int64), "omega": np.ones((2, 1))}
            values[position] = ClearsKeywords(values[position], other)
            kwargs = dict(values, c=c, b_ij=b, omega=w)
            del c, b, w  # the keyword dict holds the only references
            task = corvane.Task(**kwargs)
            assert not kwargs or refill, kwargs
            assert whole_grid_value(task) == 7.0, position


def reproducer_of_the_keyword_crash():
    """The first report: 100 out of 100 calls must return the caller's data."""
    for _ in range(100):
        c, b, w = caller_arrays()
        kwargs = {"m": ClearsKeywords(2), "n": 1, "c": c, "b_ij": b, "b_total": 1000, "omega": w}
        del c, b, w
        assert whole_grid_value(corvane.Task(**kwargs)) == 7.0


def solver_keywords_cleared():
    c, b, w = caller_arrays()
    task = corvane.Task(2, 1, c, b, 1000, w)
    # Fresh float objects that only the keyword dict holds. With no pheromone
    # every weight is 0, so the solve must come back empty; a freed float
    # read again would likely hold one of the churn values instead.
    for position in ("num_ants", "kmax", "alpha"):
        values = {"num_ants": 3, "kmax": 4, "alpha": float("1.25"), "beta": float("2.0"), "rho": float("0.5"),
                  "initial_pheromone": float("0.0")}
        if position == "alpha":
            values["alpha"] = Real(1.25, clears=True)
        else:
            values[position] = ClearsKeywords(values[position])
        solver = corvane.AntColonyAssignmentSolver(**values)
        del values
        x, value = solver.solve(task)
        assert x.tolist() == [[0], [0]] and value == 0.0, (position, x, value)


class Real:
    def __init__(self, value, clears=False, reenter=False):
        self.value = value
        self.clears = clears
        self.reenter = reenter

    def __float__(self):
        if self.clears:
            self.churn = clear_referring_dicts(self)
        if self.reenter:
            reenter()
        return self.value


def reenter():
    """Builds a task and solves it with both solvers from inside a hook."""
    c, b, w = caller_arrays()
    task = corvane.Task(2, 1, c, b, 1000, w)
    assert whole_grid_value(task) == 7.0
    x, value = corvane.AntColonyAssignmentSolver(num_ants=2, kmax=2).solve(task)
    assert x.tolist() == [[1], [1]] and value == 7.0


class Reenters:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        reenter()
        return self.value


def reentry_from_conversions():
    c, b, w = caller_arrays()
    task = corvane.Task(Reenters(2), 1, c, b, Reenters(1000), w)
    assert whole_grid_value(task) == 7.0
    solver = corvane.AntColonyAssignmentSolver(num_ants=Reenters(2), alpha=Real(1.0, reenter=True))
    x, value = solver.solve(task)
    assert x.tolist() == [[1], [1]] and value == 7.0
    x, value = corvane.ProbabilisticAssignmentSolver(kmax=Reenters(3)).solve(task)
    assert value == 7.0


class Interrupt(BaseException):
    pass


class RaisesAfterClearing:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        self.churn = clear_referring_dicts(self)
        raise self.exception

    __float__ = __index__


def base_exceptions_come_through_unchanged():
    for make in (KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt):
        for call in (
            lambda hook: corvane.Task(hook, 1, *caller_arrays()[:2], 1000, caller_arrays()[2]),
            lambda hook: corvane.Task(**dict(zip(("m", "n", "c", "b_ij", "b_total", "omega"),
                                                 (2, 1, *caller_arrays()[:2], hook, np.zeros((2, 1)))))),
            lambda hook: corvane.AntColonyAssignmentSolver(kmax=hook, rho=float("0.5")),
            lambda hook: corvane.AntColonyAssignmentSolver(rho=hook, initial_pheromone=float("0.5")),
            lambda hook: corvane.ProbabilisticAssignmentSolver(kmax=hook),
        ):
            raised = make("from the hook")
            try:
                call(RaisesAfterClearing(raised))
            except BaseException as exc:  # noqa: BLE001
                assert exc is raised, (type(exc), exc)
            else:
                raise AssertionError("the hook's exception was swallowed")


class Collects:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        self.churn = clear_referring_dicts(self)
        gc.collect()
        return self.value


def collections_inside_hooks():
    c, b, w = caller_arrays()
    kwargs = {"m": Collects(2), "n": Collects(1), "c": c, "b_ij": b, "b_total": Collects(1000), "omega": w}
    del c, b, w
    assert whole_grid_value(corvane.Task(**kwargs)) == 7.0


class ClearsWhenFreed(int):
    """The result of an __index__: an int subclass whose finaliser attacks the
    call's keyword dict when the conversion drops it."""

    def __del__(self):
        for referrer in gc.get_referrers(HOLDER):
            if isinstance(referrer, dict) and "b_ij" in referrer:
                referrer.clear()
        HOLDER.churn = [np.full((2, 1), 9, np.int64) for _ in range(20)]


class ReturnsSubclass:
    def __index__(self):
        return ClearsWhenFreed(2)


HOLDER = ReturnsSubclass()


def finaliser_of_a_conversion_result():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # __index__ returning an int subclass
        for _ in range(20):
            c, b, w = caller_arrays()
            kwargs = {"m": HOLDER, "n": 1, "c": c, "b_ij": b, "b_total": 1000, "omega": w}
            del c, b, w
            assert whole_grid_value(corvane.Task(**kwargs)) == 7.0


# What a hook may do to another argument's array in place.

def resize_bigger(a):
    a.resize((3, 1), refcheck=False)  # frees the data a view may point into


def resize_smaller(a):
    a.resize((1, 1), refcheck=False)


def reshape(a):
    a.shape = (1, 2)


def retype(a):
    a.dtype = np.float64 if a.dtype == np.int64 else np.int64


def move_and_overwrite(a):
    a.resize((1 << 16, 1), refcheck=False)  # a new buffer; the old one is freed (always under ASan)
    a.resize((2, 1), refcheck=False)
    a[...] = 5


class Changes:
    """An integer whose conversion changes another argument's array."""

    def __init__(self, value, victim, change):
        self.value, self.victim, self.change = value, victim, change

    def __index__(self):
        self.change(self.victim)
        return self.value


def array_changed_in_place(position, target, change):
    """The hook of `position` makes `change` to the array of `target`. Every
    array is read after the last hook has run, so the call sees it as the
    hook left it: a new shape or dtype is refused; new values are used (costs
    of 5 give the whole grid a value of 10, a resource of 5 still fits, a
    discount of 5 is out of range)."""
    if change is move_and_overwrite:
        expected = {"c": 10.0, "b_ij": 7.0, "omega": ValueError(RANGE_MESSAGE)}[target]
    elif change is retype:
        expected = TypeError(f"argument '{target}': 'ndarray' object cannot be converted to 'PyArray<T, D>'")
    else:
        expected = ValueError(SHAPE_MESSAGES[target])
    c, b, w = caller_arrays()
    arrays = {"c": c, "b_ij": b, "omega": w}
    values = {"m": 2, "n": 1, "b_total": 1000}
    values[position] = Changes(values[position], arrays[target], change)
    try:
        task = corvane.Task(**values, **arrays)
    except (TypeError, ValueError) as exc:
        assert type(exc) is type(expected) and exc.args == expected.args, exc
        return
    assert isinstance(expected, float), "no exception"
    assert whole_grid_value(task) == expected


class Keyword(str):
    """A keyword name whose own __str__ and __repr__ must not be used."""

    def __str__(self):
        raise RuntimeError("__str__ of a keyword name ran")

    def __repr__(self):
        return "not the name"


def keyword_names_of_a_str_subclass():
    for call, full_name in (
        (lambda **kw: corvane.Task(**kw), "Task.__new__()"),
        (lambda **kw: corvane.AntColonyAssignmentSolver(**kw), "AntColonyAssignmentSolver.__new__()"),
        (lambda **kw: corvane.ProbabilisticAssignmentSolver(**kw), "ProbabilisticAssignmentSolver.__new__()"),
        (lambda **kw: corvane.ProbabilisticAssignmentSolver().solve(**kw), "ProbabilisticAssignmentSolver.solve()"),
    ):
        try:
            call(**{Keyword("bogus"): 1})
        except TypeError as exc:
            assert str(exc) == f"{full_name} got an unexpected keyword argument 'bogus'", exc
        else:
            raise AssertionError("an unknown keyword was accepted")
    # A str subclass that spells a parameter binds like the plain name.
    task = corvane.Task(2, 1, *caller_arrays()[:2], 1000, np.zeros((2, 1)))
    solver = corvane.ProbabilisticAssignmentSolver(**{Keyword("kmax"): 1})
    x, value = solver.solve(**{Keyword("task"): task})
    assert x.tolist() == [[1], [1]] and value == 7.0


class Message:
    """The argument of a TypeError, whose str() runs while the error is wrapped."""

    def __str__(self):
        for referrer in gc.get_referrers(HOSTILE_MESSAGE_HOOK):
            if isinstance(referrer, dict) and "b_ij" in referrer:
                referrer.clear()
        gc.collect()
        return "no index here"


class RaisesTypeError:
    def __index__(self):
        raise TypeError(Message())


HOSTILE_MESSAGE_HOOK = RaisesTypeError()


def type_error_whose_message_runs_code():
    for _ in range(20):
        c, b, w = caller_arrays()
        kwargs = {"m": 2, "n": HOSTILE_MESSAGE_HOOK, "c": c, "b_ij": b, "b_total": 1000, "omega": w}
        del c, b, w
        try:
            corvane.Task(**kwargs)
        except TypeError as exc:
            assert str(exc) == "argument 'n': no index here", exc
        else:
            raise AssertionError("no TypeError")


CASES = {f.__name__: f for f in (
    task_keywords_cleared,
    reproducer_of_the_keyword_crash,
    solver_keywords_cleared,
    reentry_from_conversions,
    base_exceptions_come_through_unchanged,
    collections_inside_hooks,
    finaliser_of_a_conversion_result,
    keyword_names_of_a_str_subclass,
    type_error_whose_message_runs_code,
)}
CASES.update({
    f"arrays_changed_in_place[{position}-{target}-{change.__name__}]":
        functools.partial(array_changed_in_place, position, target, change)
    for position, target, change in itertools.product(
        ("m", "n", "b_total"), ("c", "b_ij", "omega"),
        (resize_bigger, resize_smaller, reshape, retype, move_and_overwrite))
})


def main():
    case = CASES[sys.argv[1]]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    with block_counter() as allocated:
        case()  # warm-up: caches, NumPy's first look-ups
        gc.collect()
        before = allocated()
        for _ in range(repeats):
            case()
        gc.collect()
        # Blocks still allocated: a reference leaked on any path of the case
        # shows up as at least one per repetition.
        print(f"ok {allocated() - before}")


if __name__ == "__main__":
    main()
