#include "ant_colony/objective.h"

#include <algorithm>

namespace corvane {
namespace {

// One term: t = 1 - omega, then p = (double)c * t.
double term(const Task& task, std::size_t i, std::size_t j) {
  const double t = 1.0 - task.omega(i, j);
  return static_cast<double>(task.c(i, j)) * t;
}

}  // namespace

bool visits_column_major(const Task& task) {
  return task.c.is_column_major() && task.omega.is_column_major();
}

double objective(const IntMatrix& x, const Task& task) {
  double value = +0.0;
  if (task.m * task.n == 0) return value;  // no rows worth walking
  if (visits_column_major(task)) {
    for (std::size_t j = 0; j < task.n; ++j) {
      for (std::size_t i = 0; i < task.m; ++i) {
        if (x(i, j) == 1) value += term(task, i, j);
      }
    }
  } else {
    for (std::size_t i = 0; i < task.m; ++i) {
      for (std::size_t j = 0; j < task.n; ++j) {
        if (x(i, j) == 1) value += term(task, i, j);
      }
    }
  }
  return value;
}

Objective::Objective(const Task& task)
    : terms_(task.m * task.n), m_(task.m), n_(task.n), column_major_(visits_column_major(task)) {
  for (std::size_t i = 0; i < task.m; ++i) {
    for (std::size_t j = 0; j < task.n; ++j) terms_[i * task.n + j] = term(task, i, j);
  }
}

double Objective::of(std::span<const std::uint64_t> picks) const {
  // Visiting order key of a cell: its row-major index, or j * m + i.
  std::vector<std::uint64_t> order(picks.begin(), picks.end());
  if (column_major_) {
    for (std::uint64_t& cell : order) cell = (cell % n_) * m_ + cell / n_;
  }
  std::sort(order.begin(), order.end());
  double value = +0.0;
  for (std::uint64_t key : order) {
    const std::uint64_t cell = column_major_ ? (key % m_) * n_ + key / m_ : key;
    value += terms_[cell];
  }
  return value;
}

}  // namespace corvane

namespace corvane {

double Objective::of(std::span<const std::uint64_t> picks, std::span<const std::uint8_t> picked) const {
  if (picks.size() * 16 < terms_.size()) return of(picks);
  double value = +0.0;
  if (column_major_) {
    for (std::uint64_t j = 0; j < n_; ++j) {
      for (std::uint64_t i = 0; i < m_; ++i) {
        if (picked[i * n_ + j] != 0) value += terms_[i * n_ + j];
      }
    }
  } else {
    for (std::size_t cell = 0; cell < terms_.size(); ++cell) {
      if (picked[cell] != 0) value += terms_[cell];
    }
  }
  return value;
}

}  // namespace corvane
