// How a solve is driven from outside: where its candidates draw their
// outputs from, what runs on the solving thread between its batches and
// while it waits for one, and when it must stop starting new work.
#pragma once

#include <cstdint>
#include <span>

#include "ant_colony/candidate_tally.h"
#include "ant_colony/solution.h"
#include "ant_colony/time_limit.h"
#include "runtime/candidate_sources.h"
#include "runtime/function_ref.h"
#include "runtime/pool.h"

namespace corvane {

// The state of a solve after a batch and the updates that follow it.
struct Progress {
  std::uint64_t batches = 0;     // batches finished so far
  double best_value = 0.0;
  std::span<const double> tau;   // pheromone, row-major (ant colony only)
  double deposit_scale = 0.0;    // Q (ant colony only)
  std::span<const Solution> batch;  // the iteration's ants, in ant order (ant colony only)
};

struct SolveControl {
  runtime::CandidateSources& sources;
  // Runs after every batch (an ant colony iteration, with its pheromone
  // update; the probabilistic solver's one batch). Returning false stops
  // the solve, which then returns ErrorKind::Stopped.
  FunctionRef<bool(const Progress&)> checkpoint;
  // Watches every batch while it runs; null when nobody does, and the
  // batches then run exactly as unwatched ones.
  runtime::BatchWatch* watch = nullptr;
  // Counts the candidates as they finish; null when nobody reads it.
  CandidateTally* tally = nullptr;
  // Once it has passed, no iteration, ant or sample starts and those in
  // construction are abandoned (see Cutoff); null: no limit.
  const TimeLimit* time_limit = nullptr;

  // A batch body's last word on each candidate it finished.
  void finished(double value) const noexcept {
    if (tally != nullptr) tally->add(value);
  }
  bool out_of_time() const noexcept { return time_limit != nullptr && time_limit->passed(); }
};

// Candidates drawing from their threads' generators, and no checkpoint.
class PlainSolve {
 public:
  const SolveControl& control() const noexcept { return control_; }

 private:
  static constexpr auto go_on_ = [](const Progress&) { return true; };
  runtime::ThreadGeneratorSources sources_;
  SolveControl control_{sources_, go_on_};
};

}  // namespace corvane
