#include "ant_colony/objective.h"

namespace corvane {
namespace {

// One term: t = 1 - omega, then p = (double)c * t.
double term(const Task& task, std::size_t i, std::size_t j) {
  const double t = 1.0 - task.omega(i, j);
  return static_cast<double>(task.c(i, j)) * t;
}

}  // namespace

bool visits_column_major(const Task& task) { return task.c.is_column_major() && task.omega.is_column_major(); }

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

double Objective::of(const CellSet& chosen) const {
  double value = +0.0;
  if (column_major_) {
    for (std::uint64_t j = 0; j < n_; ++j) {
      for (std::uint64_t i = 0; i < m_; ++i) {
        if (chosen.contains(i * n_ + j)) value += terms_[i * n_ + j];
      }
    }
  } else {
    for (std::size_t cell : chosen.members()) value += terms_[cell];
  }
  return value;
}

}  // namespace corvane
