#include "surface/task.h"

namespace corvane {
namespace {

template <class T>
Shape shape_of(const Matrix<T>& matrix) {
  return Shape{matrix.rows(), matrix.cols()};
}

bool matches(Shape shape, std::uint64_t m, std::uint64_t n) { return shape.rows == m && shape.cols == n; }

Error invalid(const char* message) { return Error{ErrorKind::ValueError, message}; }

}  // namespace

Status validate_shapes(std::uint64_t m, std::uint64_t n, Shape c, Shape b_ij, Shape omega) {
  if (!matches(c, m, n)) return invalid("Некоректні розміри матриці вартості");
  if (!matches(b_ij, m, n)) return invalid("Некоректні розміри матриці витрат ресурсу");
  if (!matches(omega, m, n)) return invalid("Некоректні розміри матриці знижок");
  return ok_status();
}

Status validate(const Task& task) {
  if (Status shapes = validate_shapes(task.m, task.n, shape_of(task.c), shape_of(task.b_ij), shape_of(task.omega));
      !shapes) {
    return shapes;
  }
  // Row-major whatever the storage order; NaN passes since both tests are
  // false. An empty matrix is skipped outright: with m = 0 the row loop is
  // empty, but with n = 0 and m up to 2^59 it would spin through every row.
  const std::size_t rows = task.omega.size() == 0 ? 0 : task.omega.rows();
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < task.omega.cols(); ++j) {
      const double e = task.omega(i, j);
      if (e < 0.0 || e > 1.0) return invalid("Знижки повинні бути в діапазоні [0, 1]");
    }
  }
  if (task.b_total <= 0) return invalid("Загальний ресурс повинен бути додатнім");
  return ok_status();
}

}  // namespace corvane
