// One ant on its own: the cell weight of the ant colony, and the
// construction and scoring of a single ant's solution.
#pragma once

#include <cmath>

#include "ant_colony/solution.h"
#include "runtime/matrix.h"
#include "runtime/output_source.h"
#include "surface/task.h"

namespace corvane {

// pow(tau, alpha) first, then pow(eta, beta), then their product; IEEE rules
// throughout, so the weight may be 0, NaN or +infinity.
inline double ant_weight(double tau, double eta, double alpha, double beta) {
  const double attraction = std::pow(tau, alpha);
  return attraction * std::pow(eta, beta);
}

// Builds and scores one ant's solution from the pheromone and heuristic
// matrices (row-major, m x n), drawing from `outputs`. The solver itself
// builds whole batches through a shared ConstructionPlan; this is the same
// construction for a single ant.
Solution construct_ant_solution(const Task& task, const FloatMatrix& tau, const FloatMatrix& eta, double alpha,
                                double beta, OutputSource& outputs);

}  // namespace corvane
