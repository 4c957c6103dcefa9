// A single ant: its weights, its picks against the rescan, and its score.

#include "ant_colony/ant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "ant_colony/construction.h"
#include "ant_colony/heuristic.h"
#include "ant_colony/objective.h"
#include "support/outputs.h"

namespace corvane {
namespace {

using testing::ScriptedOutputs;

TEST(Ant, WeightFollowsIeeePow) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(ant_weight(2.0, 3.0, 1.0, 2.0), 18.0);
  EXPECT_EQ(ant_weight(0.0, 3.0, -1.0, 2.0), inf);      // pow(+0, a < 0)
  EXPECT_TRUE(std::isnan(ant_weight(1.0, -3.0, 1.0, 2.5)));  // negative base, fractional exponent
  EXPECT_EQ(ant_weight(1.0, -3.0, 1.0, 2.0), 9.0);        // ... even integer exponent
  EXPECT_EQ(ant_weight(std::nan(""), 2.0, 0.0, 1.0), 2.0);  // pow(NaN, 0) is 1
}

TEST(Ant, PicksMatchTheRescanAndTheValueIsTheObjective) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 40; ++round) {
    const std::size_t m = 1 + rng() % 30;
    const std::size_t n = 1 + rng() % 30;
    Task task;
    task.m = m;
    task.n = n;
    task.c = IntMatrix(m, n);
    task.b_ij = IntMatrix(m, n);
    task.omega = FloatMatrix(m, n);
    FloatMatrix tau(m, n);
    std::int64_t total = 0;
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        task.c(i, j) = static_cast<std::int64_t>(rng() % 120) - 20;
        task.b_ij(i, j) = static_cast<std::int64_t>(rng() % 22) - 2;
        task.omega(i, j) = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        tau(i, j) = std::uniform_real_distribution<double>(0.0, 3.0)(rng);
        total += std::max<std::int64_t>(task.b_ij(i, j), 0);
      }
    }
    task.b_total = 1 + total / 4;
    const FloatMatrix eta = build_heuristic_matrix(task);
    const double alpha = 1.0 + 0.5 * static_cast<double>(round % 3);
    const double beta = 2.0;

    std::vector<double> weights;
    std::vector<std::int64_t> resources;
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        weights.push_back(std::pow(tau(i, j), alpha) * std::pow(eta(i, j), beta));
        resources.push_back(task.b_ij(i, j));
      }
    }
    ScriptedOutputs for_rescan(round);
    ScriptedOutputs for_ant(round);
    const auto expected = construct_by_rescan({weights, resources, task.b_total}, for_rescan);
    const Solution ant = construct_ant_solution(task, tau, eta, alpha, beta, for_ant);
    CellSet expected_cells(m * n);
    for (std::uint64_t cell : expected) expected_cells.insert(cell);
    ASSERT_TRUE(ant.cells == expected_cells) << "round " << round;

    IntMatrix x(m, n, 0);
    for (std::size_t cell : ant.cells.members()) x(cell / n, cell % n) = 1;
    EXPECT_EQ(ant.value, objective(x, task));
  }
}

}  // namespace
}  // namespace corvane
