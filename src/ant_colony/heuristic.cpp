#include "ant_colony/heuristic.h"

namespace corvane {

FloatMatrix build_heuristic_matrix(const Task& task) {
  FloatMatrix eta(task.m, task.n);
  for (std::size_t i = 0; i < task.m; ++i) {
    for (std::size_t j = 0; j < task.n; ++j) {
      const std::int64_t b = task.b_ij(i, j);
      if (b == 0) {
        eta(i, j) = 0.0;
        continue;
      }
      // Exactly this order: d = 1 - omega, p = d * c, eta = p / b; each
      // integer rounds to the nearest double. Nothing is clamped.
      const double d = 1.0 - task.omega(i, j);
      const double p = d * static_cast<double>(task.c(i, j));
      eta(i, j) = p / static_cast<double>(b);
    }
  }
  return eta;
}

}  // namespace corvane
