// A caller's 2-D array of 8-byte elements as plain memory, and its copy into
// an owned matrix.
#pragma once

#include <cstddef>

#include "runtime/matrix.h"

namespace corvane {

// Element (i, j) lies at origin + i * row_stride + j * col_stride bytes; the
// strides may be anything (zero, negative, steps, packed record fields), and
// no alignment is assumed.
struct StridedArray {
  const char* origin = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
};

// Copies an array: a contiguous block keeps its memory order, anything else is
// gathered element by element into row-major order.
IntMatrix copy_int_matrix(const StridedArray& array);
FloatMatrix copy_float_matrix(const StridedArray& array);

}  // namespace corvane
