#include "probabilistic/probabilistic_solver.h"

#include <limits>

#include "ant_colony/construction_pipeline.h"
#include "ant_colony/fast_construction.h"
#include "ant_colony/heuristic.h"
#include "ant_colony/objective.h"
#include "ant_colony/solver_common.h"
#include "runtime/pool.h"

namespace corvane {
namespace {

// The best sample one thread has built so far (each thread writes its own,
// kept kSharingRange apart from the others). Samples reach a thread in no
// particular order, so a tie goes to the lower sample index; merging the
// threads' bests the same way gives exactly the sample that a scan in index
// order with strictly-greater replacement would keep.
struct alignas(kSharingRange) IndexedBest {
  double value = 0.0;
  std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
  CellSet cells;

  void offer(double candidate_value, std::uint64_t candidate_index, const CellSet& candidate_cells) {
    if (candidate_value > value || (candidate_value == value && candidate_index < index && candidate_value > 0.0)) {
      value = candidate_value;
      index = candidate_index;
      cells.assign(candidate_cells);
    }
  }
};

}  // namespace

bool runs_batches(const Task& task, const ProbabilisticParameters&) { return task.m * task.n > 0; }

Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters) {
  return solve_probabilistic(task, parameters, PlainSolve().control());
}

namespace {

// The batch of solve_probabilistic, with everything it needs allocated
// before its first sample.
Result<Assignment> sample(const Task& task, const ProbabilisticParameters& parameters, const SolveControl& control) {
  // Only the running best is kept, so memory does not grow with kmax, and
  // any kmax runs as long as it takes.
  // An empty grid has no candidate cell: every sample is empty.
  if (!runs_batches(task, parameters)) return BestCandidate(task.m, task.n).assignment();
  FloatMatrix eta = build_heuristic_matrix(task);
  std::vector<std::int64_t> resource_copy;
  const Objective objective(task);
  ConstructionPlan plan(row_major_view(task.b_ij, resource_copy), task.b_total);
  plan.set_weights(std::span<const double>(eta.storage(), eta.size()));

  const std::size_t slots = runtime::current_num_threads() + 1;
  std::vector<IndexedBest> bests(slots);
  std::vector<ConstructionPipeline> pipelines = pipelines_for(plan, parameters.kmax);
  for (IndexedBest& thread_best : bests) thread_best.cells.reserve(plan.cells());
  IndexedBest overall;
  overall.cells.reserve(plan.cells());
  BestCandidate best(task.m, task.n);
  control.sources.start_batch(0);
  // The time limit stops the batch itself: a sample is a unit of work.
  Cutoff cutoff(control.time_limit);
  LimitWatch watch(control.watch, control.time_limit, cutoff);
  runtime::parallel_claims(
      parameters.kmax,
      [&](runtime::Claims& claims) {
        const std::size_t thread = runtime::worker_index();
        auto finished = [&](std::size_t sample, const Constructor& built) {
          const double value = objective.of(built.picked());
          bests[thread].offer(value, sample, built.picked());
          control.finished(value);
        };
        pipelines[thread].run(plan, claims, control.sources, finished, watch.cutoff());
      },
      watch.get());

  for (const IndexedBest& thread_best : bests) overall.offer(thread_best.value, thread_best.index, thread_best.cells);
  best.offer(Solution{std::move(overall.cells), overall.value});
  if (!control.checkpoint(Progress{1, best.value(), {}, 0.0, {}})) return Error{ErrorKind::Stopped, ""};
  // The result is as large as the task: the working storage goes first.
  std::vector<ConstructionPipeline>().swap(pipelines);
  std::vector<IndexedBest>().swap(bests);
  eta = FloatMatrix();
  return std::move(best).assignment();
}

}  // namespace

Result<Assignment> solve_probabilistic(const Task& task, const ProbabilisticParameters& parameters,
                                       const SolveControl& control) {
  return within_memory(task, [&] { return sample(task, parameters, control); });
}

}  // namespace corvane
