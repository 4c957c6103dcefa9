// The problem instance: an m x n grid of cells with a cost, a resource use
// and a discount each, and one resource budget. Built once, never changed.
#pragma once

#include <cstdint>

#include "runtime/matrix.h"
#include "runtime/result.h"

namespace corvane {

struct Task {
  std::uint64_t m = 0;
  std::uint64_t n = 0;
  IntMatrix c;       // cost of each cell
  IntMatrix b_ij;    // resource used by each cell
  std::int64_t b_total = 0;
  FloatMatrix omega;  // discount of each cell, within [0, 1] (NaN passes)
};

// The five problem-data checks, in order; the first failure decides.
Status validate(const Task& task);

}  // namespace corvane
