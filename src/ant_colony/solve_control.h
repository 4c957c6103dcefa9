// How a solve is driven from outside: where its candidates draw their
// outputs from, and what runs on the solving thread between its batches.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/candidate_sources.h"
#include "runtime/function_ref.h"

namespace corvane {

// The state of a solve after a batch and the updates that follow it.
struct Progress {
  std::uint64_t batches = 0;     // batches finished so far
  double best_value = 0.0;
  std::span<const double> tau;   // pheromone, row-major (ant colony only)
  double deposit_scale = 0.0;    // Q (ant colony only)
};

struct SolveControl {
  runtime::CandidateSources& sources;
  // Runs after every batch (an ant colony iteration, with its pheromone
  // update; the probabilistic solver's one batch). Returning false stops
  // the solve, which then returns ErrorKind::Stopped.
  FunctionRef<bool(const Progress&)> checkpoint;
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
