// The objective: the discounted total cost of the chosen cells.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/matrix.h"
#include "surface/task.h"

namespace corvane {

// Sum of c * (1 - omega) over the cells where x is 1, accumulated from +0.0
// one term at a time in row-major order, or in column-major order when both
// c and omega are stored column-major.
double objective(const IntMatrix& x, const Task& task);

// The same objective for candidates stored as lists of row-major cell
// indices: the per-cell terms are computed once, and each list is summed in
// the task's visiting order.
class Objective {
 public:
  explicit Objective(const Task& task);

  // `picks` holds distinct row-major cell indices, in any order.
  double of(std::span<const std::uint64_t> picks) const;
  // The same, given also a flag per cell (row-major) that is non-zero
  // exactly for the picked cells: long lists are summed by a scan of the
  // flags instead of a sort.
  double of(std::span<const std::uint64_t> picks, std::span<const std::uint8_t> picked) const;

 private:
  std::vector<double> terms_;  // (double)c * (1 - omega), row-major
  std::uint64_t m_ = 0;
  std::uint64_t n_ = 0;
  bool column_major_ = false;
};

// Whether the objective visits the cells of `task` column by column.
bool visits_column_major(const Task& task);

}  // namespace corvane
