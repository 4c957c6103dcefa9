"""Solve a random 50 x 50 task with both solvers and report what they found."""

import time

import numpy as np

import corvane


def main() -> None:
    rng = np.random.default_rng()
    m, n = 50, 50
    c = rng.integers(1, 100, size=(m, n), dtype=np.int64)  # costs
    b_ij = rng.integers(1, 20, size=(m, n), dtype=np.int64)  # resource use
    omega = rng.uniform(0.0, 0.5, size=(m, n))  # discounts
    b_total = int(b_ij.sum()) // 10  # a tenth of all resources

    task = corvane.Task(m, n, c, b_ij, b_total, omega)
    solvers: dict[str, corvane.AntColonyAssignmentSolver | corvane.ProbabilisticAssignmentSolver] = {
        "ant colony (20 ants x 100 iterations)": corvane.AntColonyAssignmentSolver(),
        "probabilistic (kmax=100)": corvane.ProbabilisticAssignmentSolver(),
    }
    print(f"task: {m} x {n} cells, budget {b_total} of {int(b_ij.sum())}")
    for name, solver in solvers.items():
        start = time.perf_counter()
        x, value = solver.solve(task)
        elapsed = time.perf_counter() - start
        used = int(b_ij[x == 1].sum())
        print(
            f"{name:40s} value {value:12.2f}   cells {int(x.sum()):5d}   "
            f"budget used {used / b_total:7.2%}   time {elapsed:8.3f} s"
        )


if __name__ == "__main__":
    main()
