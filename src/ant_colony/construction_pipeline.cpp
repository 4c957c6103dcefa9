#include "ant_colony/construction_pipeline.h"

#include <exception>

namespace corvane {

void ConstructionPipeline::run(const ConstructionPlan& plan, runtime::Claims& claims,
                               const runtime::CandidateSources& sources, Finished finished) {
  const std::size_t depth = plan.in_flight();
  while (slots_.size() < depth) slots_.push_back(std::make_unique<Slot>());
  std::size_t busy = 0;
  for (std::size_t s = 0; s < depth; ++s) {
    Slot& slot = *slots_[s];
    slot.busy = start(slot, plan, claims, sources);
    busy += slot.busy ? 1 : 0;
  }
  // A stage of each construction in turn; a slot whose construction is done
  // starts the next candidate at once. Alone, a construction runs through.
  while (busy > 0) {
    for (std::size_t s = 0; s < depth; ++s) {
      Slot& slot = *slots_[s];
      if (!slot.busy) continue;
      try {
        if (depth == 1) {
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
      slot.busy = start(slot, plan, claims, sources);
      if (!slot.busy) --busy;
    }
  }
}

// Starts the next candidate that `claims` hands out in `slot`; false when
// there is none. A candidate that cannot start fails, and the next is tried.
bool ConstructionPipeline::start(Slot& slot, const ConstructionPlan& plan, runtime::Claims& claims,
                                 const runtime::CandidateSources& sources) const {
  while (claims.next(slot.candidate)) {
    try {
      slot.source = &sources.open(slot.candidate, slot.outputs);
      slot.constructor.begin(plan, record_order_);
      return true;
    } catch (...) {
      claims.fail(slot.candidate, std::current_exception());
    }
  }
  return false;
}

std::uint64_t ConstructionPipeline::exact_steps() const noexcept {
  std::uint64_t steps = 0;
  for (const std::unique_ptr<Slot>& slot : slots_) steps += slot->constructor.exact_steps();
  return steps;
}

}  // namespace corvane
