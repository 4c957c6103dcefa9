// Tasks for whole solves, and the check of a solve's result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ant_colony/fast_construction.h"
#include "ant_colony/objective.h"
#include "ant_colony/solution.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane::testing {

// Costs from -5 to 60, resources from 0 to 12 and discounts in [0, 1), with a
// budget of a third of all resources; column-major storage on request.
inline Task random_task(std::mt19937_64& rng, std::size_t m, std::size_t n, bool column_major) {
  std::uniform_int_distribution<std::int64_t> cost(-5, 60);
  std::uniform_int_distribution<std::int64_t> resource(0, 12);
  std::uniform_real_distribution<double> discount(0.0, 1.0);
  auto layout = [&](auto draw) {
    using T = decltype(draw());
    std::vector<T> storage(m * n);
    for (T& value : storage) value = draw();
    if (!column_major) {
      return Matrix<T>::with_layout(m, n, std::move(storage), static_cast<std::ptrdiff_t>(n), 1, 0);
    }
    return Matrix<T>::with_layout(m, n, std::move(storage), 1, static_cast<std::ptrdiff_t>(m), 0);
  };
  Task task;
  task.m = m;
  task.n = n;
  task.c = layout([&] { return cost(rng); });
  task.b_ij = layout([&] { return resource(rng); });
  task.omega = layout([&] { return discount(rng); });
  std::int64_t total = 0;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) total += task.b_ij(i, j);
  }
  task.b_total = std::max<std::int64_t>(1, total / 3);
  return task;
}

// A plan over `cells` cells with weights from 0.5 to 999.5 and resources from
// 1 to 19, set to keep `in_flight` constructions going per thread whatever
// its size.
inline ConstructionPlan random_plan(std::uint64_t seed, std::size_t cells, std::int64_t budget, std::size_t in_flight) {
  std::mt19937_64 rng(seed);
  std::vector<double> weights(cells);
  std::vector<std::int64_t> resources(cells);
  for (std::size_t cell = 0; cell < cells; ++cell) {
    weights[cell] = 0.5 + static_cast<double>(rng() % 1000);
    resources[cell] = 1 + static_cast<std::int64_t>(rng() % 19);
  }
  ConstructionPlan::Layout layout = ConstructionPlan::Layout::for_cells(cells);
  layout.in_flight = in_flight;
  ConstructionPlan plan(resources, budget, layout);
  plan.set_weights(weights);
  return plan;
}

// Empty when `result` is a valid outcome for `task`, else what is wrong.
inline std::string problems(const Result<Assignment>& result, const Task& task) {
  if (!result) return "error value: " + result.error().message;
  const Assignment& best = result.value();
  if (best.x.rows() != task.m || best.x.cols() != task.n) return "wrong shape";
  __int128 used = 0;
  bool any = false;
  for (std::size_t i = 0; i < task.m; ++i) {
    for (std::size_t j = 0; j < task.n; ++j) {
      const std::int64_t entry = best.x(i, j);
      if (entry != 0 && entry != 1) return "an entry other than 0 and 1";
      if (entry == 1) {
        used += task.b_ij(i, j);
        any = true;
      }
    }
  }
  if (used > task.b_total) return "over budget";
  if (best.value != objective(best.x, task)) return "value is not the objective of the matrix";
  if (any ? !(best.value > 0.0) : best.value != 0.0) return "value does not match the cells chosen";
  return "";
}

}  // namespace corvane::testing
