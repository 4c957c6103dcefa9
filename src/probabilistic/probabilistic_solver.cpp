#include "probabilistic/probabilistic_solver.h"

#include <limits>

#include "ant_colony/fast_construction.h"
#include "ant_colony/heuristic.h"
#include "ant_colony/objective.h"
#include "ant_colony/solver_common.h"
#include "runtime/pool.h"

namespace corvane {
namespace {

// The best sample one thread has built so far (each thread writes its own,
// on a cache line of its own). Samples reach a thread in no particular
// order, so a tie goes to the lower sample index; merging the threads' bests
// the same way gives exactly the sample that a scan in index order with
// strictly-greater replacement would keep.
struct alignas(64) IndexedBest {
  double value = 0.0;
  std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> picks;

  void offer(double candidate_value, std::uint64_t candidate_index, std::vector<std::uint64_t>&& candidate_picks) {
    if (candidate_value > value || (candidate_value == value && candidate_index < index && candidate_value > 0.0)) {
      value = candidate_value;
      index = candidate_index;
      picks = std::move(candidate_picks);
    }
  }
};

}  // namespace

Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters) {
  return solve_probabilistic(task, parameters, PlainSolve().control());
}

Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                                       const SolveControl& control) {
  // Only the running best is kept, so memory does not grow with kmax, and
  // any kmax runs as long as it takes.
  // An empty grid has no candidate cell: every sample is empty.
  if (task.m * task.n == 0) return BestCandidate().assignment(task.m, task.n);
  const FloatMatrix eta = build_heuristic_matrix(task);
  const std::vector<std::int64_t> resources = row_major_values(task.b_ij);
  const Objective objective(task);
  ConstructionPlan plan(resources, task.b_total);
  plan.set_weights({eta.storage(), eta.size()});

  const std::size_t slots = runtime::current_num_threads() + 1;
  std::vector<IndexedBest> bests(slots);
  std::vector<Constructor> constructors(slots);
  control.sources.start_batch(0);
  runtime::parallel_for(parameters.kmax, [&](std::size_t sample) {
    control.sources.with_outputs(sample, [&](OutputSource& outputs) {
      Constructor& constructor = constructors[runtime::worker_index()];
      std::vector<std::uint64_t> picks = constructor.construct(plan, outputs);
      const double value = objective.of(picks, constructor.picked());
      bests[runtime::worker_index()].offer(value, sample, std::move(picks));
    });
  });

  IndexedBest overall;
  for (IndexedBest& thread_best : bests) overall.offer(thread_best.value, thread_best.index, std::move(thread_best.picks));
  BestCandidate best;
  best.offer(Solution{std::move(overall.picks), overall.value});
  if (!control.checkpoint(Progress{1, best.value(), {}, 0.0})) return Error{ErrorKind::Stopped, ""};
  return best.assignment(task.m, task.n);
}

}  // namespace corvane
