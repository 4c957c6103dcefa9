// Repeated independent weighted construction, keeping the best sample.
#pragma once

#include <cstdint>

#include "ant_colony/solution.h"
#include "ant_colony/solve_control.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane {

// The parameter a solver is made with; the default is declared with the
// class (src/lib/solver_classes.cpp).
struct ProbabilisticParameters {
  std::uint64_t kmax;
};

// The best of kmax samples; MemoryError when an allocation fails (all of
// them come before the first sample), Stopped when the checkpoint after the
// batch says so. Past the control's time limit no further sample starts
// and those in construction are abandoned once one sample is built (see
// Cutoff); the best of those built is returned, ties to the lowest index.
Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                                       const SolveControl& control);
Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters);

// Whether such a solve runs its batch, and so uses the worker pool: always,
// also of zero samples, except on an empty grid.
bool runs_batches(const Task& task, const ProbabilisticParameters& parameters);

}  // namespace corvane
