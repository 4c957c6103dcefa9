"""Behaviour of both solvers on tasks whose outcome is known."""

import numpy as np
import pytest

from support import ACO, NONFINITE, PROB, Task, is_panic, make_task, objective

SOLVERS = {
    "aco-1": lambda: ACO(num_ants=1, kmax=3),
    "aco-4": lambda: ACO(num_ants=4, kmax=3),
    "prob-1": lambda: PROB(1),
    "prob-8": lambda: PROB(8),
}


def zeros_result(result, shape):
    x, value = result
    assert x.dtype == np.int64 and x.shape == shape
    return not x.any() and value == 0.0 and isinstance(value, float)


@pytest.mark.parametrize("solver", [ACO(kmax=0), ACO(num_ants=0, kmax=5), PROB(0)], ids=["kmax0", "ants0", "prob0"])
def test_no_candidates_built(solver, small_task):
    assert zeros_result(solver.solve(small_task), (2, 3))


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_empty_grids(name):
    for shape in [(0, 0), (0, 5), (3, 0)]:
        task = Task(*shape, np.zeros(shape, np.int64), np.zeros(shape, np.int64), 1, np.zeros(shape))
        assert zeros_result(SOLVERS[name]().solve(task), shape)


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_nothing_affordable_or_nothing_worth_taking(name):
    solver = SOLVERS[name]()
    c = np.full((3, 3), 5, dtype=np.int64)
    # Every cell needs more than the budget.
    assert zeros_result(solver.solve(make_task(c, b_ij=np.full((3, 3), 4), b_total=3)), (3, 3))
    # Every cost zero or discounted away: no positive weight, nothing positive.
    assert zeros_result(solver.solve(make_task(np.zeros((3, 3)))), (3, 3))
    assert zeros_result(solver.solve(make_task(c, omega=np.ones((3, 3))), ), (3, 3))
    # Negative costs with positive resources: an ant may take them (tau*eta^2 > 0)
    # but every value is negative, so nothing beats the empty start.
    assert zeros_result(solver.solve(make_task(-c)), (3, 3))


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_whole_grid_fits(name):
    c = np.arange(1, 13, dtype=np.int64).reshape(3, 4)
    omega = np.linspace(0.0, 0.9, 12).reshape(3, 4)
    x, value = SOLVERS[name]().solve(make_task(c, omega=omega))
    assert np.array_equal(x, np.ones((3, 4), dtype=np.int64))
    assert value == objective(x, c, omega)


@pytest.mark.parametrize("name", sorted(SOLVERS))
def test_exact_budget_is_admitted(name):
    c = np.array([[4, 9]], dtype=np.int64)
    b = np.array([[5, 7]], dtype=np.int64)
    # Only the second cell is worth it once chosen: it uses the budget exactly.
    x, value = SOLVERS[name]().solve(make_task(c, b_ij=b, b_total=7))
    assert value in (4.0, 9.0)
    assert x.sum() == 1
    x, value = SOLVERS[name]().solve(make_task(c, b_ij=b, b_total=12))
    assert x.tolist() == [[1, 1]] and value == 13.0


def test_zero_resource_cells():
    c = np.array([[3, 8, 2]], dtype=np.int64)
    b = np.array([[0, 1, 0]], dtype=np.int64)
    # eta is 0 where b_ij is 0: never chosen by the heuristic alone...
    for solver in [PROB(5), ACO(num_ants=3, kmax=2)]:
        x, value = solver.solve(make_task(c, b_ij=b, b_total=1))
        assert x.tolist() == [[0, 1, 0]] and value == 8.0
    # ...but with beta = 0 the weight is tau^alpha and they cost nothing.
    x, value = ACO(num_ants=3, kmax=2, beta=0.0).solve(make_task(c, b_ij=b, b_total=1))
    assert x.tolist() == [[1, 1, 1]] and value == 13.0


def test_nan_discount_never_wins():
    c = np.array([[5, 6]], dtype=np.int64)
    omega = np.array([[np.nan, 0.0]])
    for solver in [PROB(4), ACO(num_ants=2, kmax=2)]:
        x, value = solver.solve(make_task(c, omega=omega))
        assert x.tolist() == [[0, 1]] and value == 6.0
    # With beta = 0 every ant takes the NaN cell too; its value is NaN and
    # never replaces the empty start.
    assert zeros_result(ACO(num_ants=2, kmax=2, beta=0.0).solve(make_task(c, omega=omega)), (1, 2))


def test_negative_costs_and_resources():
    c = np.array([[-4, 10]], dtype=np.int64)
    b = np.array([[-3, 5]], dtype=np.int64)
    # Taking the first cell frees budget for the second one.
    for solver in [PROB(20), ACO(num_ants=2, kmax=5)]:
        x, value = solver.solve(make_task(c, b_ij=b, b_total=2))
        assert x.tolist() == [[1, 1]] and value == 6.0


def test_pheromone_parameters_at_their_edges(small_task):
    # initial_pheromone 0 with alpha > 0: every weight is 0, nothing is chosen.
    assert zeros_result(ACO(num_ants=3, kmax=3, initial_pheromone=0.0).solve(small_task), (2, 3))
    # rho = 1 and rho = 0, odd exponents, and deposit scales of 0 or inf keep results valid.
    c = np.array([[0, -2], [-1, 0]], dtype=np.int64)
    b = np.zeros((2, 2), dtype=np.int64)
    for solver in [ACO(rho=1.0, kmax=5, num_ants=3), ACO(rho=0.0, kmax=5, num_ants=3),
                   ACO(alpha=0.5, beta=3.0, kmax=4, num_ants=3)]:
        for task in [small_task, make_task(c, b_ij=b, b_total=1)]:
            x, value = solver.solve(task)
            assert set(np.unique(x)) <= {0, 1}


class TestPanic:
    @staticmethod
    def infinite_weight_task():
        # tau = 0 and alpha = -1 make pow(tau, alpha) infinite.
        return make_task(np.array([[3, 4], [5, 6]]))

    @pytest.mark.parametrize("num_ants", [1, 5])
    def test_infinite_total_weight_raises_panic(self, num_ants):
        task = self.infinite_weight_task()
        solver = ACO(num_ants=num_ants, kmax=2, alpha=-1.0, initial_pheromone=0.0)
        with pytest.raises(BaseException) as info:
            solver.solve(task)
        exc = info.value
        assert type(exc).__name__ == "PanicException"
        assert not isinstance(exc, Exception)
        assert issubclass(type(exc), BaseException) and type(exc).__bases__ == (BaseException,)
        assert exc.args == (NONFINITE,)
        assert type(exc).__doc__.startswith("\n")
        assert type(exc).__doc__.endswith(
            "Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n"
        )
        assert "panics" in type(exc).__doc__
        # The solver and the task stay usable.
        assert task.validate() is True
        x, value = PROB(3).solve(task)
        assert value == 18.0
        with pytest.raises(BaseException) as again:
            solver.solve(task)
        assert type(again.value) is type(exc)

    def test_exception_handler_does_not_catch_it(self):
        solver = ACO(num_ants=2, kmax=1, alpha=-1.0, initial_pheromone=0.0)
        caught = None
        try:
            try:
                solver.solve(self.infinite_weight_task())
            except Exception:  # noqa: BLE001 - must not catch a panic
                caught = "Exception"
        except BaseException:
            caught = "BaseException"
        assert caught == "BaseException"

    def test_panic_from_python_code_is_resumed(self, capfd):
        solver = ACO(num_ants=2, kmax=1, alpha=-1.0, initial_pheromone=0.0)
        with pytest.raises(BaseException) as info:
            solver.solve(self.infinite_weight_task())
        panic_type = type(info.value)

        class Hostile:
            def __index__(self):
                raise panic_type("from python")

        with pytest.raises(panic_type) as resumed:
            PROB(Hostile())
        assert resumed.value.args == ("from python",)
        err = capfd.readouterr().err
        assert "PanicException" in err and "from python" in err


def test_batches_too_large_to_hold_raise_memory_error(small_task):
    for solver in [ACO(num_ants=2**62, kmax=1), ACO(num_ants=2**64 - 1, kmax=3)]:
        with pytest.raises(MemoryError):
            solver.solve(small_task)
    # Nothing is built when there is no iteration at all.
    assert zeros_result(ACO(num_ants=2**64 - 1, kmax=0).solve(small_task), (2, 3))
    # The task and the solvers stay usable.
    assert PROB(2).solve(small_task)[1] > 0.0


def test_resource_sums_never_wrap():
    big = 2**63 - 1
    c = np.array([[5, 6, 7]], dtype=np.int64)
    # Any two of these together pass 2^63: a wrapping sum would turn
    # negative and admit them all.
    b = np.full((1, 3), big, dtype=np.int64)
    for solver in [PROB(6), ACO(num_ants=3, kmax=3)]:
        x, value = solver.solve(make_task(c, b_ij=b, b_total=big))
        assert x.sum() == 1 and value in (5.0, 6.0, 7.0)
    # Negative resources below -2^63 in total free exactly that much budget.
    b = np.array([[-(2**63), -(2**63), big]], dtype=np.int64)
    c = np.array([[-1, -1, 9]], dtype=np.int64)
    x, value = PROB(1).solve(make_task(c, b_ij=b, b_total=1))
    # eta of the first two cells is positive (both negative): they are taken,
    # and then the third fits: -2^64 + 2^63 - 1 <= 1.
    assert x.tolist() == [[1, 1, 1]] and value == 7.0


class TestPheromoneUpdate:
    """The deposit scale and the order of evaporation and deposit, on one cell
    (resource 1, no discount, budget 1) that every ant takes: its weight
    tau^alpha * eta^beta is positive for the parameters below."""

    @staticmethod
    def one_cell_task(cost):
        return make_task(np.array([[cost]]), b_total=1)

    @pytest.mark.parametrize("num_ants", [1, 20])
    def test_deposit_scale_takes_the_largest_cost_from_zero(self, num_ants):
        # Q = b_total / mean(b_ij) * max(0, max c) = 1 * 0 = 0 for a cost of -5,
        # so each ant's deposit is -5 / 0 = -inf: tau = 0.5 - inf, and the next
        # weight is pow(-inf, 2) * 25 = +inf. A scale whose maximum started from
        # the first cell (-5) would deposit +1 per ant and end with ([[0]], 0.0).
        task = self.one_cell_task(-5)
        solver = ACO(num_ants=num_ants, alpha=2.0, beta=2.0, rho=0.5, kmax=2)
        for _ in range(5):
            with pytest.raises(BaseException) as caught:
                solver.solve(task)
            assert is_panic(caught.value) and str(caught.value) == NONFINITE, repr(caught.value)

    @pytest.mark.parametrize("num_ants", [1, 20])
    def test_evaporation_comes_before_the_deposit(self, num_ants):
        # rho = 1 evaporates tau to 0, then each ant deposits 5 / Q = 5 / 5 = 1,
        # so the second iteration weighs pow(num_ants, -1) * 25. Depositing first
        # and evaporating after would leave tau at 0 and pow(0, -1) = +inf.
        task = self.one_cell_task(5)
        solver = ACO(num_ants=num_ants, alpha=-1.0, rho=1.0, kmax=2)
        for _ in range(5):
            x, value = solver.solve(task)
            assert x.dtype == np.int64 and x.tolist() == [[1]]
            assert type(value) is float and value == 5.0
