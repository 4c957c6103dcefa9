#include "surface/task.h"

#include "runtime/memory_error.h"
#include "runtime/memory_headroom.h"

namespace corvane {
namespace {

template <class T>
Shape shape_of(const Matrix<T>& matrix) {
  return Shape{matrix.rows(), matrix.cols()};
}

Shape shape_of(const StridedArray& array) { return Shape{array.rows, array.cols}; }

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

Result<Task> make_task(std::uint64_t m, std::uint64_t n, const StridedArray& c, const StridedArray& b_ij,
                       std::int64_t b_total, const StridedArray& omega) {
  // Shapes first: a broadcast view of the wrong shape may describe more
  // elements than memory can hold, and is refused without copying it.
  if (Status shapes = validate_shapes(m, n, shape_of(c), shape_of(b_ij), shape_of(omega)); !shapes) {
    return std::move(shapes).error();
  }
  const ByteCount bytes = ByteCount{m} * n * (2 * sizeof(std::int64_t) + sizeof(double));
  auto what = [&] { return "a " + grid_size(m, n) + " task"; };
  auto too_large = [&]() -> Result<Task> { return not_enough_memory_for(what(), bytes); };
  return or_memory_error(
      [&]() -> Result<Task> {
        if (const auto limit = refused_request(bytes)) return not_enough_memory_for(what(), bytes, limit->limit);
        Task task{m, n, copy_int_matrix(c), copy_int_matrix(b_ij), b_total, copy_float_matrix(omega)};
        if (Status status = validate(task); !status) return std::move(status).error();
        return task;
      },
      too_large);
}

}  // namespace corvane
