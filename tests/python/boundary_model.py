"""An independent model of corvane's call boundary.

The model says what each call must do with any arguments: which conversion
fails first and with which exception, which problem-data check refuses a task,
or that the call succeeds. Conversions are predicted with the interpreter's own
C API (through ctypes.pythonapi, which raises whatever the function set), so a
hook such as __index__ is judged exactly as the module sees it. Hooks used with
the model must be pure: the model and the module each call them.
"""

import ctypes
import operator

import numpy as np

from support import (
    BUDGET_MESSAGE,
    FLOAT64,
    HUGE_BATCH,
    INT64,
    RANGE_MESSAGE,
    SHAPE_MESSAGES,
    TaskData,
    is_panic,
)

TASK_PARAMETERS = ("m", "n", "c", "b_ij", "b_total", "omega")
ANT_PARAMETERS = ("num_ants", "kmax", "alpha", "beta", "rho", "initial_pheromone")
ANT_DEFAULTS = {"num_ants": 20, "kmax": 100, "alpha": 1.0, "beta": 2.0, "rho": 0.1, "initial_pheromone": 1.0}


def _capi(name, restype):
    function = getattr(ctypes.pythonapi, name)
    function.restype = restype
    function.argtypes = [ctypes.py_object]
    return function


_as_unsigned = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)
_as_signed = _capi("PyLong_AsLong", ctypes.c_long)
_as_double = _capi("PyFloat_AsDouble", ctypes.c_double)


class Refusal:
    """An expected exception: its type (or "PanicException") and message. An
    exception that a caller's hook raised and marked with `from_hook` must
    come through as the very same object."""

    def __init__(self, kind, message, original=None):
        self.kind = kind
        self.message = message
        self.original = original

    def matches(self, exc):
        if self.kind == "PanicException":
            return is_panic(exc) and str(exc) == self.message
        if getattr(self.original, "from_hook", False) and self.kind is not TypeError:
            return exc is self.original
        return type(exc) is self.kind and str(exc) == self.message

    def __repr__(self):
        name = self.kind if isinstance(self.kind, str) else self.kind.__name__
        return f"{name}({self.message!r})"


def _conversion(parameter, convert, value):
    """The converted value, or the Refusal that the module must raise."""
    try:
        return convert(value), None
    except BaseException as exc:  # noqa: BLE001 - any hook exception is part of the model
        if type(exc) is TypeError:
            return None, Refusal(TypeError, f"argument '{parameter}': {exc}", exc)
        if is_panic(exc):
            return None, Refusal("PanicException", str(exc), exc)
        return None, Refusal(type(exc), str(exc), exc)


def to_u64(value):
    return _as_unsigned(value if isinstance(value, int) else operator.index(value))


def to_i64(value):
    return _as_signed(value)


def to_f64(value):
    return value if type(value) is float else _as_double(value)


def accepts_array(value, dtype):
    return isinstance(value, np.ndarray) and value.ndim == 2 and np.can_cast(value.dtype, dtype, "no")


def array_refusal(parameter, value):
    return Refusal(
        TypeError,
        f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'",
    )


def task_outcome(m, n, c, b_ij, b_total, omega):
    """TaskData for arguments the constructor accepts, else the Refusal."""
    converted = {}
    for parameter, value in zip(TASK_PARAMETERS, (m, n, c, b_ij, b_total, omega)):
        if parameter in ("c", "b_ij", "omega"):
            if not accepts_array(value, FLOAT64 if parameter == "omega" else INT64):
                return array_refusal(parameter, value)
            converted[parameter] = value
            continue
        convert = to_i64 if parameter == "b_total" else to_u64
        result, refusal = _conversion(parameter, convert, value)
        if refusal is not None:
            return refusal
        converted[parameter] = result
    rows, cols = converted["m"], converted["n"]
    for parameter in ("c", "b_ij", "omega"):
        if converted[parameter].shape != (rows, cols):
            return Refusal(ValueError, SHAPE_MESSAGES[parameter])
    discounts = np.array(converted["omega"], dtype=FLOAT64)
    if np.any(discounts < 0.0) or np.any(discounts > 1.0):
        return Refusal(ValueError, RANGE_MESSAGE)
    if converted["b_total"] <= 0:
        return Refusal(ValueError, BUDGET_MESSAGE)
    column_major = rows > 1 and cols > 1 and c.flags.f_contiguous and omega.flags.f_contiguous
    return TaskData(rows, cols, np.array(c, dtype=INT64), np.array(b_ij, dtype=INT64), converted["b_total"],
                    discounts, column_major)


def solver_outcome(kind, arguments):
    """The parameters a solver constructor ends up with, else the Refusal.
    `arguments` maps parameter names to the values passed."""
    names = ANT_PARAMETERS if kind == "ant" else ("kmax",)
    parameters = {}
    for parameter in names:
        if parameter not in arguments:
            parameters[parameter] = ANT_DEFAULTS[parameter] if kind == "ant" else 100
            continue
        convert = to_u64 if parameter in ("num_ants", "kmax") else to_f64
        result, refusal = _conversion(parameter, convert, arguments[parameter])
        if refusal is not None:
            return refusal
        parameters[parameter] = result
    return parameters


def solve_refusal(kind, parameters):
    """The MemoryError that solve must raise before any work, if any."""
    if kind == "ant" and parameters["kmax"] > 0 and parameters["num_ants"] >= HUGE_BATCH:
        return MemoryError
    return None
