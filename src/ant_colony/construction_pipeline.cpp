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
                               const runtime::CandidateSources& sources, Finished finished) {
  // As many slots as there are candidates for, up to the depth.
  const std::size_t depth = std::min(plan.in_flight(), room_);
  std::size_t used = 0;
  while (used < depth && start(used, plan, claims, sources)) ++used;
  // A stage of each construction in turn; a slot whose construction is done
  // starts the next candidate at once. Alone, a construction runs through.
  std::size_t busy = used;
  while (busy > 0) {
    for (std::size_t s = 0; s < used; ++s) {
      Slot& slot = *slots_[s];
      if (!slot.busy) continue;
      try {
        if (used == 1) {
          slot.constructor.finish(*slot.source);
        } else if (!slot.constructor.done()) {
          slot.constructor.advance(*slot.source);
          if (!slot.constructor.done()) continue;
        }
        // The one place where a candidate is delivered.
        finished(slot.candidate, slot.constructor);
      } catch (...) {
        claims.fail(slot.candidate, std::current_exception());
      }
      if (!start(s, plan, claims, sources)) --busy;
    }
  }
}

// Starts the next candidate that `claims` hands out in slot `s`, made now if
// it is the first candidate for it; false when there is none. A candidate
// that cannot start fails, and the next is tried.
bool ConstructionPipeline::start(std::size_t s, const ConstructionPlan& plan, runtime::Claims& claims,
                                 const runtime::CandidateSources& sources) {
  std::size_t candidate = 0;
  while (claims.next(candidate)) {
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
