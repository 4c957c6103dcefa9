#include "ant_colony/construction_pipeline.h"

#include <algorithm>
#include <exception>

namespace corvane {

void ConstructionPipeline::reserve(const ConstructionPlan& plan, std::size_t depth) {
  slots_.reserve(depth);
  while (slots_.size() < depth) slots_.push_back(std::make_unique<Slot>());
  for (const std::unique_ptr<Slot>& slot : slots_) slot->constructor.reserve(plan);
  room_ = depth;
}

void ConstructionPipeline::run(const ConstructionPlan& plan, runtime::Claims& claims,
                               const runtime::CandidateSources& sources, Finished finished, Cutoff* cutoff) {
  // As many slots as there are candidates for, up to the depth.
  const std::size_t depth = std::min(plan.in_flight(), room_);
  std::size_t used = 0;
  while (used < depth && start(used, plan, claims, sources, cutoff)) ++used;
  // A stage of each construction in turn; a slot whose construction is done
  // starts the next candidate at once. Alone, a construction runs through.
  std::size_t busy = used;
  unsigned until_poll = kPollStages;
  bool cut = false;
  while (busy > 0) {
    for (std::size_t s = 0; s < used; ++s) {
      Slot& slot = *slots_[s];
      if (!slot.busy) continue;
      if (cutoff != nullptr && !cut && --until_poll == 0) {
        until_poll = kPollStages;
        cut = cutoff->due();
      }
      if (cut) {
        // Abandoned: nothing of it counts, and nothing starts in its place.
        slot.busy = false;
        --busy;
        continue;
      }
      try {
        if (used == 1) {
          if (!build_alone(slot, cutoff)) {
            cut = true;
            continue;
          }
        } else if (!slot.constructor.done()) {
          slot.constructor.advance(*slot.source);
          if (!slot.constructor.done()) continue;
        }
        // The one place where a candidate is delivered.
        finished(slot.candidate, slot.constructor);
        if (cutoff != nullptr) cutoff->completed();
      } catch (...) {
        claims.fail(slot.candidate, std::current_exception());
      }
      if (!start(s, plan, claims, sources, cutoff)) --busy;
    }
  }
}

// Builds the construction in `slot` to its end, reading `cutoff` every
// kPollStages stages; false when it was due first.
bool ConstructionPipeline::build_alone(Slot& slot, const Cutoff* cutoff) {
  if (cutoff == nullptr) {
    slot.constructor.finish(*slot.source);
    return true;
  }
  while (!slot.constructor.finish_some(*slot.source, kPollStages)) {
    if (cutoff->due()) return false;
  }
  return true;
}

// Starts the next candidate that `claims` hands out in slot `s`, made now if
// it is the first candidate for it; false when there is none. A candidate
// that cannot start fails, and the next is tried. Once `cutoff` is due, the
// candidates claimed are dropped unstarted.
bool ConstructionPipeline::start(std::size_t s, const ConstructionPlan& plan, runtime::Claims& claims,
                                 const runtime::CandidateSources& sources, const Cutoff* cutoff) {
  std::size_t candidate = 0;
  while (claims.next(candidate)) {
    if (cutoff != nullptr && cutoff->due()) continue;
    try {
      if (s == slots_.size()) slots_.push_back(std::make_unique<Slot>());
      Slot& slot = *slots_[s];
      slot.candidate = candidate;
      slot.source = &sources.open(candidate, slot.outputs);
      slot.constructor.begin(plan, record_order_);
      slot.busy = true;
      return true;
    } catch (...) {
      claims.fail(candidate, std::current_exception());
    }
  }
  if (s < slots_.size()) slots_[s]->busy = false;
  return false;
}

std::vector<ConstructionPipeline> pipelines_for(const ConstructionPlan& plan, std::uint64_t candidates) {
  const std::size_t workers = runtime::current_num_threads();
  std::vector<ConstructionPipeline> pipelines(workers + 1);
  for (std::size_t thread = 0; thread <= workers; ++thread) {
    const std::uint64_t depth = thread < workers ? plan.in_flight() : 1;
    pipelines[thread].reserve(plan, static_cast<std::size_t>(std::min(depth, candidates)));
  }
  return pipelines;
}

std::uint64_t ConstructionPipeline::exact_steps() const noexcept {
  std::uint64_t steps = 0;
  for (const std::unique_ptr<Slot>& slot : slots_) steps += slot->constructor.exact_steps();
  return steps;
}

}  // namespace corvane
