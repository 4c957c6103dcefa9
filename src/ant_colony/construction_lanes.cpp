#include "ant_colony/construction_lanes.h"

#include <algorithm>

#include "runtime/failure.h"

namespace corvane {
namespace {

// Below this many cells a construction's data sits in the caches, and steps
// gain nothing from overlapping.
constexpr std::size_t kLanesThreshold = std::size_t{1} << 15;

}  // namespace

std::size_t ConstructionLanes::lanes_for(std::size_t cells, std::size_t candidates, std::size_t threads) noexcept {
  if (cells < kLanesThreshold || candidates < 2) return 1;
  threads = std::max<std::size_t>(threads, 1);
  // Rounds of full lanes that the batch needs on every thread, then lanes
  // just wide enough to cover the batch in that many rounds.
  const std::size_t rounds = (candidates + threads * kMaxLanes - 1) / (threads * kMaxLanes);
  return std::clamp<std::size_t>((candidates + threads * rounds - 1) / (threads * rounds), 1, kMaxLanes);
}

void ConstructionLanes::construct(const ConstructionPlan& plan, std::span<OutputSource* const> outputs,
                                  FunctionRef<void(std::size_t, const CellSet&)> finished) {
  const std::size_t count = outputs.size();
  if (count > kMaxLanes) fail("more constructions than lanes");
  std::array<std::size_t, kMaxLanes> active;
  std::size_t live = 0;
  for (std::size_t k = 0; k < count; ++k) {
    lanes_[k].start(plan);
    if (lanes_[k].finished()) {
      finished(k, lanes_[k].picked());
    } else {
      active[live++] = k;
    }
  }
  std::array<Constructor::Step, kMaxLanes> steps;
  std::array<bool, kMaxLanes> waiting;
  while (live > 0) {
    for (std::size_t i = 0; i < live; ++i) {
      waiting[i] = lanes_[active[i]].begin_step(*outputs[active[i]], steps[i], nullptr);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < live; ++i) {
      Constructor& lane = lanes_[active[i]];
      if (waiting[i]) lane.finish_step(steps[i], nullptr);
      if (lane.finished()) {
        finished(active[i], lane.picked());
      } else {
        active[kept++] = active[i];
      }
    }
    live = kept;
  }
}

std::uint64_t ConstructionLanes::exact_steps() const noexcept {
  std::uint64_t total = 0;
  for (const Constructor& lane : lanes_) total += lane.exact_steps();
  return total;
}

}  // namespace corvane
