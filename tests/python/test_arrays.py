"""NumPy arrays in and out: accepted layouts, refused types, result arrays."""

import numpy as np
import pytest

from support import ACO, PROB, Task, objective


def solve_all(c, b_ij, omega):
    """Solves a task whose budget fits every cell: the result marks exactly
    the cells with a positive heuristic value, read at (i, j) of the arrays."""
    m, n = np.shape(c)
    return PROB(1).solve(Task(m, n, c, b_ij, 10**6, omega))


def expected_mask(c, b_ij, omega):
    c, b_ij, omega = (np.array(a) for a in (c, b_ij, omega))
    with np.errstate(divide="ignore", invalid="ignore"):
        eta = np.where(b_ij == 0, 0.0, (1.0 - omega) * c / np.where(b_ij == 0, 1, b_ij))
    return (eta > 0).astype(np.int64)


def base_arrays(m=4, n=5, seed=0):
    rng = np.random.default_rng(seed)
    c = rng.integers(-3, 10, size=(m, n)).astype(np.int64)
    b = rng.integers(0, 4, size=(m, n)).astype(np.int64)
    om = rng.choice([0.0, 0.25, 1.0], size=(m, n))
    return c, b, om


LAYOUTS = {
    "c-order": lambda a: np.ascontiguousarray(a),
    "fortran": lambda a: np.asfortranarray(a),
    "transposed-view": lambda a: np.ascontiguousarray(a.T).T,
    "reversed-rows": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "reversed-both": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "fortran-reversed": lambda a: np.asfortranarray(a[:, ::-1])[:, ::-1],
    "step-slice": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "read-only": lambda a: _readonly(a),
    "subclass": lambda a: a.copy().view(_Sub),
    "record-field": lambda a: _record_field(a),
}


class _Sub(np.ndarray):
    pass


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def _record_field(a):
    # A field of a packed record array: strides are not multiples of 8.
    record = np.zeros(a.shape, dtype=[("pad", "i1"), ("value", a.dtype)])
    record["value"] = a
    return record["value"]


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_layouts_are_read_by_index(layout):
    c, b, om = base_arrays()
    convert = LAYOUTS[layout]
    lc, lb, lom = convert(c), convert(b), convert(om)
    assert np.array_equal(lc, c) and np.array_equal(lb, b) and np.array_equal(lom, om)
    x, value = solve_all(lc, lb, lom)
    assert np.array_equal(x, expected_mask(c, b, om))
    assert value == pytest.approx(objective(x, c, om))


def test_zero_strides_and_zero_length():
    row = np.arange(1, 6, dtype=np.int64)
    c = np.broadcast_to(row, (3, 5))
    b = np.broadcast_to(np.int64(1), (3, 5))
    om = np.broadcast_to(0.5, (3, 5))
    x, value = solve_all(c, b, om)
    assert np.array_equal(x, np.ones((3, 5), dtype=np.int64))
    assert value == pytest.approx(0.5 * 3 * row.sum())
    for shape in [(0, 4), (3, 0), (0, 0)]:
        x, value = solve_all(np.zeros(shape, np.int64), np.zeros(shape, np.int64), np.zeros(shape))
        assert x.shape == shape and x.dtype == np.int64 and value == 0.0


def test_arrays_are_copied():
    c, b, om = base_arrays(seed=3)
    c2, b2, om2 = c.copy(), b.copy(), om.copy()
    task = Task(4, 5, c2, b2, 10**6, om2)
    c2[:] = 0
    b2[:] = 0
    om2[:] = 1.0
    x, _ = PROB(1).solve(task)
    assert np.array_equal(x, expected_mask(c, b, om))


REFUSED = {
    "float as c": ("c", np.zeros((2, 2))),
    "int32 as b_ij": ("b_ij", np.zeros((2, 2), dtype=np.int32)),
    "int64 as omega": ("omega", np.zeros((2, 2), dtype=np.int64)),
    "uint64 as c": ("c", np.zeros((2, 2), dtype=np.uint64)),
    "big-endian c": ("c", np.zeros((2, 2), dtype=">i8")),
    "float32 omega": ("omega", np.zeros((2, 2), dtype=np.float32)),
    "1-D c": ("c", np.zeros(4, dtype=np.int64)),
    "3-D omega": ("omega", np.zeros((2, 2, 1))),
    "0-D b_ij": ("b_ij", np.array(1, dtype=np.int64)),
    "list c": ("c", [[1, 2], [3, 4]]),
    "scalar omega": ("omega", 0.5),
    "None b_ij": ("b_ij", None),
    "subclass of wrong dtype": ("c", np.zeros((2, 2)).view(_Sub)),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_refused_arrays(case):
    name, value = REFUSED[case]
    args = {"m": 2, "n": 2, "c": np.ones((2, 2), dtype=np.int64), "b_ij": np.ones((2, 2), dtype=np.int64),
            "b_total": 1, "omega": np.zeros((2, 2))}
    args[name] = value
    with pytest.raises(TypeError) as info:
        Task(**args)
    assert str(info.value) == (
        f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"
    )


def test_equivalent_dtypes_are_accepted():
    c = np.ones((2, 2), dtype=np.longlong)
    assert Task(2, 2, c, c.astype("<i8"), 1, np.zeros((2, 2), dtype="<f8")).validate() is True


def test_result_arrays_are_new_and_owned(small_task):
    solver = ACO(num_ants=2, kmax=2)
    first, v1 = solver.solve(small_task)
    second, v2 = solver.solve(small_task)
    for x in (first, second):
        assert type(x) is np.ndarray and x.dtype == np.int64 and x.shape == (2, 3)
        assert x.flags.c_contiguous and x.flags.writeable and x.flags.owndata and x.base is None
    assert first is not second
    assert not np.shares_memory(first, second)
    first[:] = 7
    assert set(np.unique(second)) <= {0, 1}
    assert isinstance(v1, float) and isinstance(v2, float)
