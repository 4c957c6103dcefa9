// The ant colony search: kmax iterations of num_ants ants each, with
// evaporation and deposit between iterations.
#pragma once

#include <cstdint>

#include "ant_colony/solution.h"
#include "ant_colony/solve_control.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane {

struct AntColonyParameters {
  std::uint64_t num_ants = 20;
  std::uint64_t kmax = 100;
  double alpha = 1.0;
  double beta = 2.0;
  double rho = 0.1;
  double initial_pheromone = 1.0;
};

// The best assignment over all ants; MemoryError when a batch of num_ants
// candidates cannot be held, Stopped when the checkpoint says so. Throws
// InternalFailure when a pick meets a total weight of +infinity.
Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                                    const SolveControl& control);
Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters);

}  // namespace corvane
