// An owned two-dimensional array addressed as (row, column).
//
// Storage is one block of rows * cols elements. Element (i, j) lives at
// origin + i * row_stride + j * col_stride (strides in elements, possibly
// negative), so a copy of a contiguous block keeps its source's memory order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvane {

template <class T>
class Matrix {
 public:
  Matrix() = default;

  // Row-major matrix with every element equal to `fill`.
  Matrix(std::size_t rows, std::size_t cols, T fill = T{})
      : rows_(rows),
        cols_(cols),
        storage_(rows * cols, fill),
        row_stride_(static_cast<std::ptrdiff_t>(cols)),
        col_stride_(1) {}

  // Takes over `storage` laid out with the given element strides; `origin` is
  // the position of element (0, 0) within it.
  static Matrix with_layout(std::size_t rows, std::size_t cols, std::vector<T> storage, std::ptrdiff_t row_stride,
                            std::ptrdiff_t col_stride, std::size_t origin) {
    Matrix m;
    m.rows_ = rows;
    m.cols_ = cols;
    m.storage_ = std::move(storage);
    m.row_stride_ = row_stride;
    m.col_stride_ = col_stride;
    m.origin_ = origin;
    return m;
  }

  std::size_t rows() const noexcept { return rows_; }
  std::size_t cols() const noexcept { return cols_; }
  std::size_t size() const noexcept { return rows_ * cols_; }
  std::ptrdiff_t row_stride() const noexcept { return row_stride_; }
  std::ptrdiff_t col_stride() const noexcept { return col_stride_; }

  T& operator()(std::size_t i, std::size_t j) noexcept { return storage_[offset(i, j)]; }
  const T& operator()(std::size_t i, std::size_t j) const noexcept { return storage_[offset(i, j)]; }

  // The storage block, in memory order.
  T* storage() noexcept { return storage_.data(); }
  const T* storage() const noexcept { return storage_.data(); }

  // Plain C order: element (i, j) at i * cols + j. Matrices with fewer than
  // two rows or columns are both row- and column-major.
  bool is_row_major() const noexcept {
    return origin_ == 0 && (rows_ <= 1 || row_stride_ == static_cast<std::ptrdiff_t>(cols_)) &&
           (cols_ <= 1 || col_stride_ == 1);
  }
  // Plain Fortran order: element (i, j) at j * rows + i.
  bool is_column_major() const noexcept {
    return origin_ == 0 && (rows_ <= 1 || row_stride_ == 1) &&
           (cols_ <= 1 || col_stride_ == static_cast<std::ptrdiff_t>(rows_));
  }

 private:
  std::size_t offset(std::size_t i, std::size_t j) const noexcept {
    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(origin_) +
                                    static_cast<std::ptrdiff_t>(i) * row_stride_ +
                                    static_cast<std::ptrdiff_t>(j) * col_stride_);
  }

  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<T> storage_;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 1;
  std::size_t origin_ = 0;
};

using IntMatrix = Matrix<std::int64_t>;
using FloatMatrix = Matrix<double>;

}  // namespace corvane
