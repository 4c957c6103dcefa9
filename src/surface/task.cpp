#include "surface/task.h"

namespace corvane {
namespace {

template <class T>
bool has_shape(const Matrix<T>& matrix, std::uint64_t rows, std::uint64_t cols) {
  return matrix.rows() == rows && matrix.cols() == cols;
}

Error invalid(const char* message) { return Error{ErrorKind::ValueError, message}; }

}  // namespace

Status validate(const Task& task) {
  if (!has_shape(task.c, task.m, task.n)) return invalid("Некоректні розміри матриці вартості");
  if (!has_shape(task.b_ij, task.m, task.n)) return invalid("Некоректні розміри матриці витрат ресурсу");
  if (!has_shape(task.omega, task.m, task.n)) return invalid("Некоректні розміри матриці знижок");
  // Row-major whatever the storage order; NaN passes since both tests are false.
  for (std::size_t i = 0; i < task.omega.rows(); ++i) {
    for (std::size_t j = 0; j < task.omega.cols(); ++j) {
      const double e = task.omega(i, j);
      if (e < 0.0 || e > 1.0) return invalid("Знижки повинні бути в діапазоні [0, 1]");
    }
  }
  if (task.b_total <= 0) return invalid("Загальний ресурс повинен бути додатнім");
  return ok_status();
}

}  // namespace corvane
