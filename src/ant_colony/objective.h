// The objective: the discounted total cost of the chosen cells.
#pragma once

#include <cstdint>
#include <vector>

#include "ant_colony/cell_set.h"
#include "runtime/matrix.h"
#include "surface/task.h"

namespace corvane {

// Sum of c * (1 - omega) over the cells where x is 1, accumulated from +0.0
// one term at a time in row-major order, or in column-major order when both
// c and omega are stored column-major.
double objective(const IntMatrix& x, const Task& task);

// The same objective for candidates stored as sets of row-major cells: the
// per-cell terms are computed once, and each set is summed in the task's
// visiting order.
class Objective {
 public:
  explicit Objective(const Task& task);

  double of(const CellSet& chosen) const;

 private:
  std::vector<double> terms_;  // (double)c * (1 - omega), row-major
  std::uint64_t m_ = 0;
  std::uint64_t n_ = 0;
  bool column_major_ = false;
};

// Whether the objective visits the cells of `task` column by column.
bool visits_column_major(const Task& task);

}  // namespace corvane
