// The ant colony search: kmax iterations of num_ants ants each, with
// evaporation and deposit between iterations.
#pragma once

#include <cstdint>

#include "ant_colony/solution.h"
#include "ant_colony/solve_control.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane {

// The parameters a solver is made with; the defaults are declared with the
// class (src/lib/solver_classes.cpp).
struct AntColonyParameters {
  std::uint64_t num_ants;
  std::uint64_t kmax;
  double alpha;
  double beta;
  double rho;
  double initial_pheromone;
};

// The best assignment over all ants; MemoryError when a batch of num_ants
// candidates cannot be held (before any is built) or an allocation fails,
// Stopped when the checkpoint says so. Past the control's time limit, the
// best so far once the iteration in flight has ended with the ants built by
// then (see Cutoff), its pheromone update and checkpoint included. Throws InternalFailure when a pick meets a
// total weight of +infinity.
Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                                    const SolveControl& control);
Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters);

// Whether such a solve runs any batch, and so uses the worker pool: not with
// kmax = 0, nor on an empty grid.
bool runs_batches(const Task& task, const AntColonyParameters& parameters);

}  // namespace corvane
