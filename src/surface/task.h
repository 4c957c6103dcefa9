// The problem instance: an m x n grid of cells with a cost, a resource use
// and a discount each, and one resource budget. Built once, never changed.
#pragma once

#include <cstdint>

#include "runtime/matrix.h"
#include "runtime/result.h"
#include "surface/strided_array.h"

namespace corvane {

struct Task {
  std::uint64_t m = 0;
  std::uint64_t n = 0;
  IntMatrix c;       // cost of each cell
  IntMatrix b_ij;    // resource used by each cell
  std::int64_t b_total = 0;
  FloatMatrix omega;  // discount of each cell, within [0, 1] (NaN passes)
};

// The rows and columns of one matrix argument.
struct Shape {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

// Checks 1 to 3 of validate() on shapes alone: the Task constructor runs them
// before it copies any data, so an array whose shape does not match m x n is
// refused before memory is spent on it (a broadcast view can describe far
// more elements than fit in memory).
Status validate_shapes(std::uint64_t m, std::uint64_t n, Shape c, Shape b_ij, Shape omega);

// The five problem-data checks, in order; the first failure decides.
Status validate(const Task& task);

// A task from the caller's arrays: the shapes are checked first, then the
// arrays are copied and the record validated. A MemoryError value, naming
// the task's size and its bytes, when the copies do not fit (without trying
// when they need more than the machine's memory and swap).
Result<Task> make_task(std::uint64_t m, std::uint64_t n, const StridedArray& c, const StridedArray& b_ij,
                       std::int64_t b_total, const StridedArray& omega);

}  // namespace corvane
