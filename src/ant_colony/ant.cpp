#include "ant_colony/ant.h"

#include <vector>

#include "ant_colony/fast_construction.h"
#include "ant_colony/objective.h"
#include "ant_colony/solver_common.h"

namespace corvane {

Solution construct_ant_solution(const Task& task, const FloatMatrix& tau, const FloatMatrix& eta, double alpha,
                                double beta, OutputSource& outputs) {
  const std::size_t cells = task.m * task.n;
  std::vector<double> weights(cells);
  for (std::size_t i = 0; i < task.m; ++i) {
    for (std::size_t j = 0; j < task.n; ++j) weights[i * task.n + j] = ant_weight(tau(i, j), eta(i, j), alpha, beta);
  }
  const std::vector<std::int64_t> resources = row_major_values(task.b_ij);
  ConstructionPlan plan(resources, task.b_total);
  plan.set_weights(weights);
  Constructor constructor;
  constructor.construct(plan, outputs);
  return Solution{constructor.picked(), Objective(task).of(constructor.picked())};
}

}  // namespace corvane
