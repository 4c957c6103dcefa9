// Several constructions on one thread, a step of each in turn.
//
// On a large task a step waits mostly for memory: the records of the block
// it searched, far apart in a large array. Stepping several constructions
// together, each asks for its block before any of them reads one, so the
// waits overlap. Each construction picks exactly what it would pick alone
// from its own outputs.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "ant_colony/fast_construction.h"
#include "runtime/function_ref.h"

namespace corvane {

class ConstructionLanes {
 public:
  static constexpr std::size_t kMaxLanes = 8;

  // How many constructions to step together on a task of `cells` cells, for
  // a batch of `candidates` over `threads` threads: none on small tasks, and
  // on large ones as many as keeps every thread's share of the batch even.
  static std::size_t lanes_for(std::size_t cells, std::size_t candidates, std::size_t threads) noexcept;

  // Builds one candidate per entry of `outputs` (at most kMaxLanes), each
  // drawing from its own source; finished(k, cells) is called for candidate
  // k as soon as it is complete.
  void construct(const ConstructionPlan& plan, std::span<OutputSource* const> outputs,
                 FunctionRef<void(std::size_t, const CellSet&)> finished);

  // Steps that needed the exact scan, over all lanes.
  std::uint64_t exact_steps() const noexcept;

 private:
  std::array<Constructor, kMaxLanes> lanes_;
};

}  // namespace corvane
