#include "surface/strided_array.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

constexpr std::ptrdiff_t kElementSize = 8;  // int64 and float64 alike

// Whether a dimension's stride allows the block layout: a dimension of
// length 0 or 1 fits any stride.
bool stride_fits(std::size_t length, std::ptrdiff_t stride_bytes, std::ptrdiff_t expected_elements) {
  return length <= 1 || stride_bytes == expected_elements * kElementSize ||
         stride_bytes == -expected_elements * kElementSize;
}

template <class T>
Matrix<T> copy_matrix(const StridedArray& array) {
  const std::size_t rows = array.rows;
  const std::size_t cols = array.cols;
  if (rows == 0 || cols == 0) return Matrix<T>(rows, cols);

  const auto r = static_cast<std::ptrdiff_t>(rows);
  const auto c = static_cast<std::ptrdiff_t>(cols);
  const bool row_block = stride_fits(cols, array.col_stride, 1) && stride_fits(rows, array.row_stride, c);
  const bool col_block = stride_fits(rows, array.row_stride, 1) && stride_fits(cols, array.col_stride, r);
  if (row_block || col_block) {
    // One contiguous block: copy it whole and keep its element strides.
    std::ptrdiff_t row_step = row_block ? c : 1;
    std::ptrdiff_t col_step = row_block ? 1 : r;
    if (rows > 1 && array.row_stride < 0) row_step = -row_step;
    if (cols > 1 && array.col_stride < 0) col_step = -col_step;
    const std::ptrdiff_t lowest = (row_step < 0 ? (r - 1) * row_step : 0) + (col_step < 0 ? (c - 1) * col_step : 0);
    std::vector<T> block(rows * cols);
    std::memcpy(block.data(), array.origin + lowest * kElementSize, rows * cols * sizeof(T));
    return Matrix<T>::with_layout(rows, cols, std::move(block), row_step, col_step, static_cast<std::size_t>(-lowest));
  }
  // Any other layout (zero strides, steps, record fields): gather in
  // row-major order, reading each element without assuming alignment.
  Matrix<T> copy(rows, cols);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = array.origin + static_cast<std::ptrdiff_t>(i) * array.row_stride;
    for (std::size_t j = 0; j < cols; ++j) {
      std::memcpy(&copy(i, j), row + static_cast<std::ptrdiff_t>(j) * array.col_stride, sizeof(T));
    }
  }
  return copy;
}

}  // namespace

IntMatrix copy_int_matrix(const StridedArray& array) { return copy_matrix<std::int64_t>(array); }
FloatMatrix copy_float_matrix(const StridedArray& array) { return copy_matrix<double>(array); }

}  // namespace corvane
