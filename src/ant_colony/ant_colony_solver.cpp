#include "ant_colony/ant_colony_solver.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <span>
#include <string>

#include "ant_colony/ant.h"
#include "ant_colony/construction_pipeline.h"
#include "ant_colony/fast_construction.h"
#include "ant_colony/heuristic.h"
#include "ant_colony/objective.h"
#include "ant_colony/solver_common.h"
#include "runtime/pool.h"

namespace corvane {
namespace {

// Q: the number of cells the budget affords at the mean resource use, times
// the largest cost (at least 0). The resource sum is exact before it becomes
// a double; no guard follows, so Q may be 0, +inf or NaN.
double deposit_scale(const Task& task) {
  __int128 sum = 0;
  std::int64_t cmax = 0;
  for (std::size_t i = 0; i < task.m; ++i) {
    for (std::size_t j = 0; j < task.n; ++j) {
      sum += task.b_ij(i, j);
      if (task.c(i, j) > cmax) cmax = task.c(i, j);
    }
  }
  const double mean = static_cast<double>(sum) / static_cast<double>(task.m * task.n);
  return (static_cast<double>(task.b_total) / mean) * static_cast<double>(cmax);
}

// The ants of `batch` that were built (`built`), moved to its front in ant
// order; all of them unless the iteration was cut short.
std::span<const Solution> built_ants(std::vector<Solution>& batch, const std::vector<unsigned char>& built) {
  std::size_t kept = 0;
  for (std::size_t ant = 0; ant < batch.size(); ++ant) {
    if (built[ant] == 0) continue;
    if (kept != ant) std::swap(batch[kept], batch[ant]);
    ++kept;
  }
  return {batch.data(), kept};
}

}  // namespace

bool runs_batches(const Task& task, const AntColonyParameters& parameters) {
  return parameters.kmax > 0 && task.m * task.n > 0;
}

Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters) {
  return solve_ant_colony(task, parameters, PlainSolve().control());
}

namespace {

// The search of solve_ant_colony. What it needs is allocated before the
// first batch: the batch's records and cells first, which grow with
// num_ants and are refused before anything else is spent.
Result<Assignment> search(const Task& task, const AntColonyParameters& parameters, const SolveControl& control) {
  const std::size_t cells = task.m * task.n;
  std::vector<Solution> batch;
  if (parameters.kmax > 0) {
    if (auto error = allocate_batch(batch, parameters.num_ants, cells, "ants")) return *error;
  }
  // Without an iteration nothing is built, and the pool is not started. An
  // empty grid has no candidate cell: every ant is empty and scores 0.0.
  // Returning now also spares a walk over up to 2^59 empty rows.
  if (!runs_batches(task, parameters)) return BestCandidate(task.m, task.n).assignment();

  const bool ants = !batch.empty();
  std::vector<double> tau(cells, parameters.initial_pheromone);
  const double q = deposit_scale(task);
  // pow(eta, beta) never changes during a solve; pow(tau, alpha) does after
  // every iteration. Both are computed on the pool for large grids.
  constexpr std::size_t kChunk = 8192;
  static_assert(kChunk % CellSet::kWordBits == 0);
  std::vector<double> eta_beta;
  if (ants) {
    const FloatMatrix eta = build_heuristic_matrix(task);
    eta_beta.resize(cells);
    runtime::parallel_chunks(cells, kChunk, [&](std::size_t begin, std::size_t end) {
      for (std::size_t cell = begin; cell < end; ++cell) {
        eta_beta[cell] = std::pow(eta.storage()[cell], parameters.beta);
      }
    });
  }
  // ant_weight, with pow(eta, beta) computed once per solve; pow(x, 1) is x.
  const bool plain_tau = parameters.alpha == 1.0;
  auto weight_of = [&](std::size_t cell) {
    const double attraction = plain_tau ? tau[cell] : std::pow(tau[cell], parameters.alpha);
    return attraction * eta_beta[cell];
  };

  std::vector<std::int64_t> resource_copy;
  ConstructionPlan plan(ants ? row_major_view(task.b_ij, resource_copy) : std::span<const std::int64_t>(),
                        task.b_total);
  const Objective objective(task);
  std::vector<ConstructionPipeline> pipelines;
  if (ants) pipelines = pipelines_for(plan, batch.size());

  // Past the time limit, or once the solve is cancelled, the ants in
  // construction are abandoned: built[ant] says whether ant `ant` of the
  // iteration was built.
  Cutoff cutoff(control.time_limit);
  LimitWatch watch(control.watch, control.time_limit, cutoff);
  std::vector<unsigned char> built(batch.size());
  BestCandidate best(task.m, task.n);
  const double f = 1.0 - parameters.rho;
  for (std::uint64_t iteration = 0; iteration < parameters.kmax; ++iteration) {
    std::span<const Solution> done;
    if (ants) {
      plan.set_weights(weight_of);
      control.sources.start_batch(iteration);
      std::fill(built.begin(), built.end(), 0);
      runtime::parallel_claims(
          batch.size(),
          [&](runtime::Claims& claims) {
            auto finished = [&](std::size_t ant, const Constructor& constructed) {
              batch[ant].cells.assign(constructed.picked());
              batch[ant].value = objective.of(constructed.picked());
              built[ant] = 1;
              control.finished(batch[ant].value);
            };
            pipelines[runtime::worker_index()].run(plan, claims, control.sources, finished, watch.cutoff());
          },
          watch.get());
      done = built_ants(batch, built);
    }
    for (const Solution& ant : done) best.offer(ant);

    // Evaporation, then every built ant's deposit in ant order, a chunk of
    // cells at a time: each cell sees exactly the operations of one pass over
    // all cells followed by one pass per ant. An iteration cut short by the
    // time limit is the solve's last: it updates the pheromone as an
    // iteration of the ants it built would, though nothing reads it again.
    runtime::parallel_chunks(cells, kChunk, [&](std::size_t begin, std::size_t end) {
      for (std::size_t cell = begin; cell < end; ++cell) tau[cell] *= f;
      for (const Solution& ant : done) {
        const double d = ant.value / q;
        for (std::size_t cell : ant.cells.members(begin / CellSet::kWordBits, CellSet::words_for(end))) {
          tau[cell] += d;
        }
      }
    });
    if (!control.checkpoint(Progress{iteration + 1, best.value(), tau, q, done})) return Error{ErrorKind::Stopped, ""};
    if (control.out_of_time()) break;
  }
  // The result is as large as the task: the working storage goes first.
  std::vector<ConstructionPipeline>().swap(pipelines);
  std::vector<Solution>().swap(batch);
  std::vector<double>().swap(eta_beta);
  std::vector<double>().swap(tau);
  return std::move(best).assignment();
}

}  // namespace

Result<Assignment> solve_ant_colony(const Task& task, const AntColonyParameters& parameters,
                                    const SolveControl& control) {
  return within_memory(task, [&] { return search(task, parameters, control); });
}

}  // namespace corvane
