// The heuristic matrix and the objective: evaluation order and visiting order.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ant_colony/heuristic.h"
#include "ant_colony/objective.h"

namespace corvane {
namespace {

Task task_from(std::size_t m, std::size_t n, const std::vector<std::int64_t>& c, const std::vector<double>& omega,
               bool column_major) {
  Task task;
  task.m = m;
  task.n = n;
  task.b_total = 1;
  auto layout = [&](const auto& values) {
    using T = typename std::decay_t<decltype(values)>::value_type;
    if (!column_major) {
      Matrix<T> matrix(m, n);
      for (std::size_t k = 0; k < m * n; ++k) matrix(k / n, k % n) = values[k];
      return matrix;
    }
    std::vector<T> storage(m * n);
    for (std::size_t k = 0; k < m * n; ++k) storage[(k % n) * m + k / n] = values[k];
    return Matrix<T>::with_layout(m, n, std::move(storage), 1, static_cast<std::ptrdiff_t>(m), 0);
  };
  task.c = layout(c);
  task.omega = layout(omega);
  task.b_ij = IntMatrix(m, n, 1);
  return task;
}

TEST(Heuristic, EvaluationOrderAndZeroResources) {
  Task task = task_from(1, 4, {3, 7, -5, 9}, {0.1, 1.0 / 3.0, 0.5, 0.25}, false);
  task.b_ij = IntMatrix(1, 4);
  task.b_ij(0, 0) = 7;
  task.b_ij(0, 1) = 3;
  task.b_ij(0, 2) = 2;
  task.b_ij(0, 3) = 0;
  const FloatMatrix eta = build_heuristic_matrix(task);
  for (std::size_t j = 0; j < 3; ++j) {
    const double d = 1.0 - task.omega(0, j);
    const double p = d * static_cast<double>(task.c(0, j));
    EXPECT_EQ(eta(0, j), p / static_cast<double>(task.b_ij(0, j)));
  }
  // (1 - 0.1) * 3 / 7 rounds differently from 3 * 0.9 / 7 evaluated as 3 / 7 * 0.9.
  EXPECT_NE(eta(0, 0), 3.0 / 7.0 * (1.0 - 0.1));
  EXPECT_EQ(eta(0, 3), 0.0);
  EXPECT_TRUE(eta.is_row_major());
}

TEST(Objective, VisitsColumnsFirstOnlyWhenBothMatricesAreColumnMajor) {
  // Row-major: (1e16 + 1) - 1e16 + 1 = 1 (the first 1 is lost); column-major
  // visits 1e16, -1e16, 1, 1 and gives 2.
  const std::vector<std::int64_t> c = {10000000000000000, 1, -10000000000000000, 1};
  const std::vector<double> omega(4, 0.0);
  IntMatrix all(2, 2, 1);
  EXPECT_EQ(objective(all, task_from(2, 2, c, omega, false)), 0.0 + 1.0);
  EXPECT_EQ(objective(all, task_from(2, 2, c, omega, true)), 2.0);

  Task mixed = task_from(2, 2, c, omega, true);
  mixed.omega = task_from(2, 2, c, omega, false).omega;
  EXPECT_EQ(objective(all, mixed), 1.0);
}

TEST(Objective, SetsAndMatricesAgree) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 100; ++round) {
    const std::size_t m = 1 + rng() % 9;
    const std::size_t n = 1 + rng() % 9;
    std::vector<std::int64_t> c(m * n);
    std::vector<double> omega(m * n);
    for (auto& v : c) v = static_cast<std::int64_t>(rng() % 2000001) - 1000000;
    for (auto& v : omega) v = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    const Task task = task_from(m, n, c, omega, round % 2 == 1);
    IntMatrix x(m, n, 0);
    CellSet chosen(m * n);
    for (std::size_t cell = 0; cell < m * n; ++cell) {
      if (rng() % 3 != 0) continue;
      chosen.insert(cell);
      x(cell / n, cell % n) = 1;
    }
    const double expected = objective(x, task);
    EXPECT_EQ(Objective(task).of(chosen), expected);
  }
  EXPECT_EQ(objective(IntMatrix(2, 3, 0),
                      task_from(2, 3, std::vector<std::int64_t>(6, 5), std::vector<double>(6, 0.0), false)),
            0.0);
}

}  // namespace
}  // namespace corvane
