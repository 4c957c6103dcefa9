"""Property-based fuzzing of every argument of every constructor and of solve.

Each example builds arguments of any kind (arbitrary Python objects, hooks,
NumPy scalars, arrays of every dtype, byte order, dimensionality, shape and
memory layout), passes them by position or keyword, and compares what the
module does with boundary_model: the same exception, or a result that satisfies
every invariant. The number of examples per test is CORVANE_FUZZ_EXAMPLES
(default 500); set it to e.g. 20000 for a long run.
"""

import math
import os
from decimal import Decimal
from fractions import Fraction

import hypothesis.extra.numpy as hnp
import numpy as np
import pytest
from hypothesis import HealthCheck, event, note, settings
from hypothesis import given
from hypothesis import strategies as st

import corvane
from boundary_model import ANT_PARAMETERS, TASK_PARAMETERS, Refusal, solve_refusal, solver_outcome, task_outcome
from support import (
    FLOAT64,
    HUGE_BATCH,
    INT64,
    NONFINITE,
    UNALLOCATED_BATCH,
    UNDER_ASAN,
    Index,
    Real,
    TaskData,
    check_result,
    is_panic,
)

# NumPy warns when a complex scalar passed as a float parameter loses its imaginary part.
pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")

EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "500"))
fuzz = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), print_blob=True)


# Hooks a caller may pass instead of plain numbers, besides Index and Real.

class Raises:
    """Every conversion hook raises the same exception object."""

    def __init__(self, exc):
        exc.from_hook = True
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc

    def __repr__(self):
        return f"Raises({self.exc!r})"


class HookError(BaseException):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ArraySub(np.ndarray):
    pass


def a_panic():
    """A PanicException object, as a script gets one from the module."""
    task = corvane.Task(1, 1, np.ones((1, 1), np.int64), np.ones((1, 1), np.int64), 1, np.zeros((1, 1)))
    try:
        corvane.AntColonyAssignmentSolver(num_ants=2, kmax=1, alpha=-1.0, initial_pheromone=0.0).solve(task)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError("the panic path did not panic")


EXTREME_INTS = [-(2**64), -(2**63) - 1, -(2**63), -1, 0, 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**30]
EXTREME_FLOATS = [0.0, -0.0, 0.5, 1.0, 2.0, -1.0, math.nan, math.inf, -math.inf, 5e-324, 2.2250738585072014e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300]

any_int = st.one_of(st.integers(), st.sampled_from(EXTREME_INTS))
any_float = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(EXTREME_FLOATS))
numpy_scalars = hnp.scalar_dtypes().flatmap(lambda dtype: hnp.arrays(dtype, ())).map(lambda a: a[()])


def hook_exceptions():
    return st.sampled_from(["value", "type", "zero", "keyboard", "base", "panic"]).map(
        lambda kind: {
            "value": lambda: ValueError("hook value error"),
            "type": lambda: TypeError("hook type error"),
            "zero": lambda: ZeroDivisionError("hook division"),
            "keyboard": lambda: KeyboardInterrupt(),
            "base": lambda: HookError("hook base exception"),
            "panic": a_panic,
        }[kind]())


hostile_objects = st.one_of(
    st.none(),
    st.booleans(),
    any_int,
    any_float,
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    st.text(max_size=3),
    st.binary(max_size=3),
    st.lists(st.integers(-3, 3), max_size=3),
    st.lists(st.lists(st.integers(-3, 3), min_size=2, max_size=2), max_size=2),
    st.tuples(st.integers(0, 3)),
    st.dictionaries(st.text(max_size=1), st.integers(), max_size=1),
    st.fractions(),
    st.builds(Fraction, st.integers(10**300, 10**400)),
    st.decimals(allow_nan=True, allow_infinity=True),
    numpy_scalars,
    hnp.arrays(hnp.scalar_dtypes(), hnp.array_shapes(min_dims=0, max_dims=1, min_side=0, max_side=2)),
    any_int.map(Index),
    st.one_of(any_float, st.integers(), st.text(max_size=1)).map(Real),
    st.sampled_from(["x", 1.5, None]).map(Index),
    hook_exceptions().map(Raises),
    st.sampled_from([object(), int, float, corvane.Task, Ellipsis, NotImplemented, range(2), slice(1), b"",
                     memoryview(b"ab")]),
    st.builds(corvane.AntColonyAssignmentSolver),
    st.builds(corvane.ProbabilisticAssignmentSolver),
)


def int_forms(value):
    """Ways of passing the integer `value`."""
    forms = [st.just(value), st.just(IntSub(value)), st.just(Index(value))]
    if -(2**63) <= value < 2**63:
        forms.append(st.just(np.int64(value)))
    if 0 <= value < 2**64:
        forms.append(st.just(np.uint64(value)))
    if value in (0, 1):
        forms.append(st.just(bool(value)))
    return st.one_of(forms)


def float_forms(value):
    forms = [st.just(value), st.just(FloatSub(value)), st.just(np.float64(value)), st.just(Real(value))]
    if math.isfinite(value) and value == int(value):
        forms.append(st.just(int(value)))
    return st.one_of(forms)


def mostly(valid, other, odds=9):
    """`valid`, except about one time in `odds + 1`, when it is `other`."""
    return st.sampled_from([valid] * odds + [other]).flatmap(lambda chosen: chosen)


any_integer_argument = st.one_of(any_int.flatmap(int_forms), hostile_objects)


def float_argument():
    return mostly(any_float.flatmap(float_forms), hostile_objects)


# Arrays: the values of a matrix in every layout a caller can produce.

def _c_order(values, draw):
    return np.ascontiguousarray(values)


def _f_order(values, draw):
    return np.asfortranarray(values)


def _transposed(values, draw):
    return np.ascontiguousarray(values.T).T


def _reversed(values, draw):
    axes = draw(st.sampled_from([(slice(None, None, -1), slice(None)), (slice(None), slice(None, None, -1)),
                                 (slice(None, None, -1), slice(None, None, -1))]))
    order = draw(st.sampled_from("CF"))
    return np.array(values[axes], order=order)[axes]


def _stepped(values, draw):
    rows, cols = values.shape
    row_step = draw(st.sampled_from([2, 3, -2]))
    col_step = draw(st.sampled_from([2, 3, -3]))
    big = np.zeros((abs(row_step) * rows + 1, abs(col_step) * cols + 1), dtype=values.dtype)
    view = big[::row_step, ::col_step][:rows, :cols]
    view[...] = values
    return view


def _broadcast(values, draw):
    rows, cols = values.shape
    if rows == 0 or cols == 0:
        return values
    source = draw(st.sampled_from([values[:1, :], values[:, :1], values[:1, :1]]))
    return np.broadcast_to(source, (rows, cols))


def _record_field(values, draw):
    # A field of packed records: strides that are not multiples of 8.
    pad = draw(st.integers(1, 9))
    records = np.zeros(values.shape, dtype=[("pad", f"V{pad}"), ("value", values.dtype)],
                       order=draw(st.sampled_from("CF")))
    records["value"] = values
    return records["value"]


def _misaligned(values, draw):
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    array = np.ndarray(values.shape, dtype=values.dtype, buffer=raw, offset=1, order=draw(st.sampled_from("CF")))
    array[...] = values
    return array


LAYOUTS = [_c_order, _f_order, _transposed, _reversed, _stepped, _broadcast, _record_field, _misaligned]


@st.composite
def laid_out(draw, values):
    array = draw(st.sampled_from(LAYOUTS))(values, draw)
    if draw(st.booleans()):
        array.flags.writeable = False
    subclass = draw(st.sampled_from([None, None, np.matrix, np.ma.MaskedArray, ArraySub]))
    if subclass is not None:
        array = array.view(subclass)
    return array


def other_dtypes(dtype):
    return st.one_of(
        hnp.scalar_dtypes(),
        hnp.array_dtypes(),
        st.just(dtype.newbyteorder()),
        st.sampled_from([np.dtype("q"), np.dtype("l"), np.dtype("Q"), np.dtype("d"), np.dtype("g"),
                         np.dtype("m8[s]"), np.dtype("M8[s]"), np.dtype(object), np.dtype([("value", dtype)]),
                         np.dtype(dtype.str, metadata={"unit": "cost"})]),
    )


@st.composite
def something_else(draw, values):
    """What a caller might pass instead of the matrix `values`."""
    kind = draw(st.sampled_from(["dtype", "ndim", "list", "hostile"]))
    if kind == "dtype":
        return np.zeros(values.shape, dtype=draw(other_dtypes(values.dtype)))
    if kind == "ndim":
        return np.zeros(draw(st.sampled_from([(), (values.shape[0],), values.shape + (1,), (1,) + values.shape])),
                        dtype=values.dtype)
    if kind == "list":
        return values.tolist()
    return draw(hostile_objects)


def matrix_argument(values):
    """The matrix `values` in some layout, or something else in its place."""
    return mostly(laid_out(values), something_else(values))


small_ints = st.integers(-20, 40)
extreme_int64 = st.sampled_from([-(2**63), -(2**63) + 1, -1, 0, 1, 2**62, 2**63 - 1])
full_int64 = st.integers(-(2**63), 2**63 - 1)
discounts = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, -0.0, 1.0, math.nan, 0.5]))
bad_discounts = st.sampled_from([-1e-300, -0.5, 1.0000000000000002, 2.0, math.inf, -math.inf])


@st.composite
def matrix_values(draw, rows, cols, dtype):
    if dtype == FLOAT64:
        elements = mostly(discounts, st.one_of(discounts, bad_discounts), odds=6)
    else:
        elements = draw(st.sampled_from([small_ints, extreme_int64, full_int64,
                                         st.one_of(small_ints, extreme_int64)]))
    return draw(hnp.arrays(dtype, (rows, cols), elements=elements))


@st.composite
def call_style(draw, names, arguments):
    """Splits `arguments` (a dict in parameter order) into positional and
    keyword arguments, sometimes with one surplus or repeated argument."""
    given_names = [name for name in names if name in arguments]
    prefix = 0
    while prefix < len(names) and names[prefix] in arguments:
        prefix += 1
    count = draw(st.integers(0, prefix))
    positional = [arguments[name] for name in names[:count]]
    keywords = {name: arguments[name] for name in given_names[count:] if name not in names[:count]}
    keyword_items = list(keywords.items())
    order = draw(st.permutations(range(len(keyword_items))))
    keywords = dict(keyword_items[k] for k in order)
    extra = draw(st.sampled_from([None] * 24 + ["positional", "unknown", "repeated"]))
    if extra == "positional":
        positional.append(draw(st.integers(0, 3)))
    elif extra == "unknown":
        keywords[draw(st.sampled_from(["k", "task_", "M", "self", "kmax_"]))] = 1
    elif extra == "repeated" and count > 0:
        keywords[names[draw(st.integers(0, count - 1))]] = 1
    return positional, keywords


def binding_refusal(full_name, names, required, positional, keywords):
    """The TypeError that argument binding raises, or None."""
    if len(positional) > len(names):
        given = len(positional)
        verb = "was" if given == 1 else "were"
        if required == len(names):
            text = f"{full_name} takes {len(names)} positional arguments but {given} {verb} given"
        else:
            text = f"{full_name} takes from {required} to {len(names)} positional arguments but {given} {verb} given"
        return Refusal(TypeError, text)
    bound = set(names[: len(positional)])
    for keyword in keywords:
        if keyword not in names:
            return Refusal(TypeError, f"{full_name} got an unexpected keyword argument '{keyword}'")
        if keyword in bound:
            return Refusal(TypeError, f"{full_name} got multiple values for argument '{keyword}'")
        bound.add(keyword)
    missing = [f"'{name}'" for name in names[:required] if name not in bound]
    if not missing:
        return None
    if len(missing) == 1:
        listed = missing[0]
    elif len(missing) == 2:
        listed = " and ".join(missing)
    else:
        listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
    noun = "argument" if len(missing) == 1 else "arguments"
    return Refusal(TypeError, f"{full_name} missing {len(missing)} required positional {noun}: {listed}")


def bound_arguments(names, positional, keywords):
    bound = dict(zip(names, positional))
    bound.update(keywords)
    return bound


def call(function, positional, keywords):
    """(result, None) or (None, exception)."""
    try:
        return function(*positional, **keywords), None
    except BaseException as exc:  # noqa: BLE001 - every outcome is judged by the model
        return None, exc


def assert_refused(refusal, result, exc):
    event(f"refused: {refusal.kind if isinstance(refusal.kind, str) else refusal.kind.__name__} {refusal.message[:40]}")
    assert result is None, f"expected {refusal}, got {result!r}"
    assert refusal.matches(exc), f"expected {refusal}, got {type(exc).__name__}({exc})"


def solve_and_check(solver, kind, parameters, task, data):
    """Solves and checks the outcome; after a panic, the task still solves."""
    result, exc = call(solver.solve, [task], {})
    memory = solve_refusal(kind, parameters)
    event(f"solved by {kind}: " + ("refused" if memory else type(exc).__name__ if exc else "result"))
    if memory is not None:
        assert type(exc) is memory, (result, exc)
        return
    if exc is not None:
        assert kind == "ant" and is_panic(exc) and str(exc) == NONFINITE, repr(exc)
        check_result(corvane.ProbabilisticAssignmentSolver(3).solve(task), data)
        again, second = call(solver.solve, [task], {})
        if second is not None:
            assert is_panic(second) and str(second) == NONFINITE, repr(second)
        else:
            check_result(again, data)
        return
    check_result(result, data)


def bounded(kind, parameters):
    """Whether a solve with these parameters finishes quickly."""
    if solve_refusal(kind, parameters) is not None:
        return True
    if kind == "ant":
        return parameters["kmax"] == 0 or parameters["num_ants"] * parameters["kmax"] <= 4000
    return parameters["kmax"] <= 500


small_solvers = st.one_of(
    st.tuples(st.just("probabilistic"), st.fixed_dictionaries({"kmax": st.integers(0, 5)})),
    st.tuples(st.just("ant"), st.fixed_dictionaries({
        "num_ants": st.integers(0, 4),
        "kmax": st.integers(0, 3),
        "alpha": st.one_of(st.sampled_from([0.0, 0.5, 1.0, 2.0, -1.0]), any_float),
        "beta": st.one_of(st.sampled_from([0.0, 1.0, 2.0, 2.5, -2.0]), any_float),
        "rho": st.one_of(st.sampled_from([0.0, 0.1, 1.0, 2.0]), any_float),
        "initial_pheromone": st.one_of(st.sampled_from([0.0, 0.5, 1.0, 3.0]), any_float),
    })),
)


def make_solver(kind, parameters):
    if kind == "ant":
        return corvane.AntColonyAssignmentSolver(**parameters)
    return corvane.ProbabilisticAssignmentSolver(**parameters)


@st.composite
def task_arguments(draw):
    rows = draw(st.integers(0, 5))
    cols = draw(st.integers(0, 5))
    budget = draw(st.one_of(st.integers(1, 60), st.integers(1, 2**63 - 1), st.sampled_from(EXTREME_INTS)))
    return {
        "m": draw(mostly(int_forms(rows), any_integer_argument)),
        "n": draw(mostly(int_forms(cols), any_integer_argument)),
        "c": draw(matrix_argument(draw(matrix_values(rows, cols, INT64)))),
        "b_ij": draw(matrix_argument(draw(matrix_values(rows, cols, INT64)))),
        "b_total": draw(mostly(int_forms(budget), any_integer_argument)),
        "omega": draw(matrix_argument(draw(matrix_values(rows, cols, FLOAT64)))),
    }


@fuzz
@given(st.data())
def test_task_constructor_and_solve(data):
    arguments = data.draw(task_arguments())
    positional, keywords = data.draw(call_style(TASK_PARAMETERS, arguments))
    note(f"Task(*{positional!r}, **{keywords!r})")
    expected = binding_refusal("Task.__new__()", TASK_PARAMETERS, 6, positional, keywords)
    if expected is None:
        expected = task_outcome(**bound_arguments(TASK_PARAMETERS, positional, keywords))
    task, exc = call(corvane.Task, positional, keywords)
    if isinstance(expected, Refusal):
        assert_refused(expected, task, exc)
        return
    assert exc is None, f"expected a Task, got {type(exc).__name__}({exc})"
    assert type(task) is corvane.Task and task.validate() is True
    kind, parameters = data.draw(small_solvers)
    note(f"solver {kind} {parameters}")
    solve_and_check(make_solver(kind, parameters), kind, parameters, task, expected)


def count_argument(kind, parameter):
    """num_ants and kmax values whose solve finishes: small, or too large to
    allocate, or not convertible at all."""
    small = st.integers(0, 4)
    if kind == "probabilistic":
        huge = st.integers(2**59, 2**64 - 1)
    elif parameter == "num_ants":
        huge = st.integers(UNALLOCATED_BATCH if UNDER_ASAN else HUGE_BATCH, 2**64 - 1)
    else:
        huge = st.nothing()
    out_of_range = st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64))
    return mostly(st.one_of(small.flatmap(int_forms), small.flatmap(int_forms), huge.flatmap(int_forms)),
                  st.one_of(out_of_range.flatmap(int_forms), hostile_objects))


@st.composite
def a_valid_task(draw):
    rows = draw(st.integers(0, 4))
    cols = draw(st.integers(0, 4))
    arrays = [draw(laid_out(draw(matrix_values(rows, cols, dtype)))) for dtype in (INT64, INT64)]
    omega = draw(laid_out(draw(hnp.arrays(FLOAT64, (rows, cols), elements=discounts))))
    budget = draw(st.one_of(st.integers(1, 60), st.integers(1, 2**63 - 1)))
    data = task_outcome(rows, cols, arrays[0], arrays[1], budget, omega)
    assert isinstance(data, TaskData), data
    return corvane.Task(rows, cols, arrays[0], arrays[1], budget, omega), data


@fuzz
@given(st.data())
def test_solver_constructors_and_solve(data):
    kind = data.draw(st.sampled_from(["ant", "probabilistic"]))
    names = ANT_PARAMETERS if kind == "ant" else ("kmax",)
    arguments = {}
    for name in names:
        if data.draw(st.booleans()):
            if name in ("num_ants", "kmax"):
                arguments[name] = data.draw(count_argument(kind, name))
            else:
                arguments[name] = data.draw(float_argument())
    positional, keywords = data.draw(call_style(names, arguments))
    cls = corvane.AntColonyAssignmentSolver if kind == "ant" else corvane.ProbabilisticAssignmentSolver
    note(f"{cls.__name__}(*{positional!r}, **{keywords!r})")
    expected = binding_refusal(f"{cls.__name__}.__new__()", names, 0, positional, keywords)
    if expected is None:
        expected = solver_outcome(kind, bound_arguments(names, positional, keywords))
    solver, exc = call(cls, positional, keywords)
    if isinstance(expected, Refusal):
        assert_refused(expected, solver, exc)
        return
    assert exc is None and type(solver) is cls, repr(exc)
    if not bounded(kind, expected):
        if kind == "probabilistic":
            # Any number of samples of an empty grid comes back at once.
            rows, cols = data.draw(st.sampled_from([(0, 0), (0, 3), (5, 0)]))
            empty = np.zeros((rows, cols), np.int64)
            task = corvane.Task(rows, cols, empty, empty, 1, np.zeros((rows, cols)))
            solve_and_check(solver, kind, expected, task, task_outcome(rows, cols, empty, empty, 1,
                                                                        np.zeros((rows, cols))))
        return
    task, task_data = data.draw(a_valid_task())
    solve_and_check(solver, kind, expected, task, task_data)


@fuzz
@given(st.data())
def test_solve_arguments(data):
    kind, parameters = data.draw(small_solvers)
    solver = make_solver(kind, parameters)
    task, task_data = data.draw(a_valid_task())
    argument = data.draw(st.one_of(st.just(task), st.just(task), hostile_objects))
    arguments = data.draw(mostly(st.just({"task": argument}), st.just({})))
    positional, keywords = data.draw(call_style(("task",), arguments))
    name = f"{type(solver).__name__}.solve()"
    note(f"{name} with *{positional!r}, **{keywords!r}")
    expected = binding_refusal(name, ("task",), 1, positional, keywords)
    if expected is None:
        bound = bound_arguments(("task",), positional, keywords)["task"]
        if not isinstance(bound, corvane.Task):
            expected = Refusal(
                TypeError, f"argument 'task': '{type(bound).__qualname__}' object cannot be converted to 'Task'")
    if expected is not None:
        result, exc = call(solver.solve, positional, keywords)
        assert_refused(expected, result, exc)
        return
    solve_and_check(solver, kind, parameters, bound, task_data)


def test_model_sees_every_kind_of_refusal():
    """The model itself must tell the cases apart, or the fuzzing proves nothing."""
    ok = np.zeros((1, 1), np.int64)
    w = np.zeros((1, 1))
    assert isinstance(task_outcome(1, 1, ok, ok, 1, w), TaskData)
    assert task_outcome(-1, 1, ok, ok, 1, w).kind is OverflowError
    assert task_outcome(1, 1, ok.astype(">i8"), ok, 1, w).message.startswith("argument 'c': 'ndarray'")
    assert task_outcome(1, 1, ok, ok, 1.0, w).message.startswith("argument 'b_total': ")
    assert task_outcome(2, 1, ok, ok, 1, w).message == "Некоректні розміри матриці вартості"
    assert task_outcome(1, 1, ok, ok, 1, w + math.inf).message == "Знижки повинні бути в діапазоні [0, 1]"
    assert task_outcome(1, 1, ok, ok, 0, w).message == "Загальний ресурс повинен бути додатнім"
    hook = Raises(ZeroDivisionError("x"))
    assert task_outcome(hook, 1, ok, ok, 1, w).matches(hook.exc)
    assert not task_outcome(hook, 1, ok, ok, 1, w).matches(ZeroDivisionError("x"))
    assert solver_outcome("ant", {"alpha": Decimal("sNaN")}).kind is ValueError
    assert binding_refusal("f()", ("a", "b", "c"), 3, [], {}).message == (
        "f() missing 3 required positional arguments: 'a', 'b', and 'c'")
