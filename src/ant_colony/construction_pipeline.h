// Several constructions in flight on one thread.
//
// A step of a construction over a large task is one dependent chain of cache
// misses (the tree's lowest row, then the found block's records), which no
// work within the same construction can hide. The constructions of a batch
// are independent of each other, though: a thread that keeps several going
// and advances them a stage at a time, in turn, fetches one's data while it
// works on the others (see Constructor). Whenever one ends, the next
// candidate of the batch starts in its place, so the pipeline stays full to
// the batch's end.
//
// Each construction picks exactly what it would pick alone for the outputs
// it draws: the constructions share only read-only state (the plan) and draw
// from sources of their own, or, from the thread's generator, one output at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "ant_colony/fast_construction.h"
#include "ant_colony/time_limit.h"
#include "runtime/candidate_sources.h"
#include "runtime/function_ref.h"
#include "runtime/pool.h"

namespace corvane {

class ConstructionPipeline {
 public:
  // With `record_order`, the constructions handed to Finished list their
  // picks in order (Constructor::order()).
  explicit ConstructionPipeline(bool record_order = false) noexcept : record_order_(record_order) {}

  // Makes `depth` slots, with all the storage that constructions on `plan`
  // use (the order of their picks aside): from then on the pipeline keeps at
  // most `depth` constructions in flight, and run() on `plan` allocates
  // nothing. Without it, a slot is made when the first candidate for it
  // comes.
  void reserve(const ConstructionPlan& plan, std::size_t depth);

  // Receives each candidate that was built: its index and its constructor.
  using Finished = FunctionRef<void(std::size_t candidate, const Constructor& built)>;

  // Builds the candidates that `claims` hands out, plan.in_flight() at a
  // time (or as many as reserved, if fewer), each drawing the outputs
  // `sources` opens for it, and passes each to `finished` when it is done. A
  // candidate whose construction (or whose `finished`, or whose slot) throws
  // is reported to `claims` and the others go on. One thread at a time runs
  // a pipeline.
  //
  // With a `cutoff`, once it is due the constructions in flight are
  // abandoned (never passed to `finished`) and the candidates claimed from
  // then on are not started. It is read every kPollStages stages and before
  // each start: a clock read costs about as much as a stage, a few hundred
  // stages take microseconds.
  void run(const ConstructionPlan& plan, runtime::Claims& claims, const runtime::CandidateSources& sources,
           Finished finished, Cutoff* cutoff = nullptr);

  // Steps that needed the exact scan, over all constructions so far.
  std::uint64_t exact_steps() const noexcept;

 private:
  // One construction in flight and the outputs it draws.
  struct Slot {
    Constructor constructor;
    runtime::OutputSlot outputs;
    OutputSource* source = nullptr;
    std::size_t candidate = 0;
    bool busy = false;
  };
  static constexpr unsigned kPollStages = 256;
  bool start(std::size_t s, const ConstructionPlan& plan, runtime::Claims& claims,
             const runtime::CandidateSources& sources, const Cutoff* cutoff);
  bool build_alone(Slot& slot, const Cutoff* cutoff);

  bool record_order_;
  std::size_t room_ = std::numeric_limits<std::size_t>::max();  // the most in flight
  std::vector<std::unique_ptr<Slot>> slots_;
};

// The pipelines of a solve whose batches hold `candidates` candidates each,
// indexed by runtime::worker_index(), reserved for `plan`: one per pool
// worker, with room for as many constructions as the plan keeps in flight
// (or the batch holds), and, last, one for the solving thread, which builds
// only batches of a single candidate itself (see runtime::run_claims), and
// otherwise, helping with a nested batch, one at a time.
std::vector<ConstructionPipeline> pipelines_for(const ConstructionPlan& plan, std::uint64_t candidates);

}  // namespace corvane
