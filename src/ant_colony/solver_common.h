// Pieces both solvers share: the running best, batch allocation, and
// row-major copies of task matrices.
//
// A solve allocates everything that grows with the task, the batch or the
// threads before it builds its first candidate, so that a request too large
// for memory is refused before any work (and a batch allocates nothing).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ant_colony/solution.h"
#include "runtime/matrix.h"
#include "runtime/memory_error.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane {

// The best candidate so far. It starts as the empty assignment with value
// 0.0 and is replaced only by a strictly greater value, so NaN never wins
// and the first of equal values stays.
class BestCandidate {
 public:
  // The start of a solve of an m x n task: room for any candidate's cells,
  // and the matrix the best becomes, are allocated here. The matrix is only
  // reserved: its pages are first written when the result is made, after the
  // solve has let go of its working storage, so that they do not add to the
  // solve's peak memory.
  BestCandidate(std::uint64_t m, std::uint64_t n);

  void offer(const Solution& candidate) {
    if (candidate.value > value_) {
      value_ = candidate.value;
      cells_.assign(candidate.cells);
    }
  }
  double value() const noexcept { return value_; }
  // The best as a 0/1 matrix, in the storage allocated at the start.
  Assignment assignment() &&;

 private:
  double value_ = 0.0;
  CellSet cells_;
  std::size_t m_;
  std::size_t n_;
  std::vector<std::int64_t> x_;  // reserved for m * n elements
};

// Sizes `batch` to `count` candidates, each with room for the cells of a
// grid of `cells` cells; a MemoryError value that says what did not fit when
// memory cannot hold them, or when they need more than the process can still
// get (refused without trying, naming the limit: refused_request).
std::optional<Error> allocate_batch(std::vector<Solution>& batch, std::uint64_t count, std::size_t cells,
                                    const char* what);

// "not enough memory to solve a M×N task".
Error not_enough_memory_to_solve(const Task& task);

// Runs `solve`; an allocation that fails in it, on any thread, becomes the
// MemoryError value above.
template <class Solve>
Result<Assignment> within_memory(const Task& task, Solve&& solve) {
  return or_memory_error(solve, [&] { return Result<Assignment>(not_enough_memory_to_solve(task)); });
}

// The elements of `matrix` in row-major order.
template <class T>
std::vector<T> row_major_values(const Matrix<T>& matrix) {
  std::vector<T> values;
  values.reserve(matrix.size());
  for (std::size_t i = 0; i < matrix.rows(); ++i) {
    for (std::size_t j = 0; j < matrix.cols(); ++j) values.push_back(matrix(i, j));
  }
  return values;
}

// The same without a copy when the matrix is row-major already; otherwise
// the values are copied into `copy`, which must outlive the view.
template <class T>
std::span<const T> row_major_view(const Matrix<T>& matrix, std::vector<T>& copy) {
  if (matrix.is_row_major()) return {matrix.storage(), matrix.size()};
  copy = row_major_values(matrix);
  return copy;
}

}  // namespace corvane
