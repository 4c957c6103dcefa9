// Pieces both solvers share: the running best, batch allocation, and
// row-major copies of task matrices.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ant_colony/solution.h"
#include "runtime/matrix.h"
#include "runtime/result.h"

namespace corvane {

// The best candidate so far. It starts as the empty assignment with value
// 0.0 and is replaced only by a strictly greater value, so NaN never wins
// and the first of equal values stays.
class BestCandidate {
 public:
  void offer(const Solution& candidate) {
    if (candidate.value > value_) {
      value_ = candidate.value;
      cells_.assign(candidate.cells);
    }
  }
  double value() const noexcept { return value_; }
  Assignment assignment(std::uint64_t m, std::uint64_t n) const;

 private:
  double value_ = 0.0;
  CellSet cells_;
};

// Sizes `batch` to `count` candidates; a MemoryError value when it cannot.
std::optional<Error> allocate_batch(std::vector<Solution>& batch, std::uint64_t count, const char* what);

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
