// The production construction. It picks exactly the cells, in exactly the
// order, that the straightforward rescan (construct_by_rescan) picks for the
// same generator outputs, and fails in the same cases, but a step costs
// O(log n) instead of O(n):
//
// - The candidates live in a tree of exact integer sums of their quantised
//   weights. Left-to-right floating-point running sums (which decide the
//   pick) differ from these by a bounded error; when the draw lies clear of
//   the chosen bucket's edges by more than that bound, the tree's answer is
//   certain. Otherwise, and whenever the total is near overflow or
//   underflow, the step falls back to the exact left-to-right sums, which
//   RunningSums forms a block at a time.
// - Budget exclusions are incremental: cells are kept ordered by resource,
//   and a pointer into that order moves as the resource used changes
//   (back again when a negative resource frees budget).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ant_colony/running_sums.h"
#include "ant_colony/sum_tree.h"
#include "runtime/output_source.h"

namespace corvane {

// Cells ordered by ascending resource. Indices are stored in 32 bits while
// they fit, which halves the memory this order streams through; from 2^32
// cells on they take 64 bits.
class ResourceOrder {
 public:
  enum class Width { Narrow, Wide };
  static Width width_for(std::size_t cells) noexcept {
    return cells >= std::size_t{1} << 32 ? Width::Wide : Width::Narrow;
  }

  ResourceOrder(std::span<const std::int64_t> resources, Width width);

  std::size_t size() const noexcept { return resources_.size(); }
  bool wide() const noexcept { return !wide_cells_.empty(); }
  // The k-th cell in resource order, and its resource.
  std::size_t cell(std::size_t k) const noexcept { return wide() ? wide_cells_[k] : narrow_cells_[k]; }
  std::int64_t resource(std::size_t k) const noexcept { return resources_[k]; }
  // How many cells use at most `limit`.
  std::size_t count_at_most(std::int64_t limit) const noexcept;

 private:
  std::vector<std::uint32_t> narrow_cells_;
  std::vector<std::uint64_t> wide_cells_;
  std::vector<std::int64_t> resources_;  // ascending
};

// Shared, read-only state of one batch: the cells ordered by resource (fixed
// for a solve), and the state every construction of the batch starts from.
class ConstructionPlan {
 public:
  ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total)
      : ConstructionPlan(resources, b_total, ResourceOrder::width_for(resources.size())) {}
  ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total, ResourceOrder::Width width);

  // Sets the cell weights (row-major, kept by reference) for the next batch.
  void set_weights(std::span<const double> weights);

  std::size_t cells() const noexcept { return resources_.size(); }

 private:
  friend class Constructor;

  std::span<const std::int64_t> resources_;
  std::int64_t b_total_;
  ResourceOrder by_resource_;
  std::size_t initial_admitted_ = 0;  // cells with b_ij <= b_total

  std::span<const double> weights_;
  int quantum_shift_ = 0;  // quantised weight = floor(w * 2^shift)
  double quantum_ = 0.0;          // 2^-shift
  double inverse_quantum_ = 0.0;  // 2^shift
  std::vector<double> start_weights_;  // weight if a candidate at the start, else 0
  SumTree start_tree_;
  RunningSums start_sums_;
  std::size_t start_candidates_ = 0;
  std::size_t start_infinite_ = 0;
};

// One thread's working state, reused from one construction to the next.
// Aligned to a cache line: the constructors of different threads sit side by
// side in one array, and their counters change at every step.
class alignas(64) Constructor {
 public:
  // Builds one candidate and returns its cells in the order picked.
  std::vector<std::uint64_t> construct(const ConstructionPlan& plan, OutputSource& outputs);

  // A flag per cell, non-zero for the cells the last construction picked.
  std::span<const std::uint8_t> picked() const noexcept { return chosen_; }

  // Steps that needed the exact scan, since this constructor was made.
  std::uint64_t exact_steps() const noexcept { return exact_steps_; }

 private:
  void start(const ConstructionPlan& plan);
  std::size_t pick(OutputSource& outputs);
  bool total_surely_finite() const;
  bool pick_from_tree(std::uint64_t output, std::size_t& cell) const;
  std::size_t sole_candidate() const;
  void take(std::size_t cell);
  void admit(std::size_t cell);
  void drop(std::size_t cell);

  const ConstructionPlan* plan_ = nullptr;
  std::vector<double> weights_;  // a candidate's weight, 0 for every other cell
  SumTree tree_;
  RunningSums sums_;
  std::vector<std::uint8_t> chosen_;
  std::size_t candidates_ = 0;
  std::size_t infinite_ = 0;  // candidates whose weight is +infinity
  std::size_t admitted_ = 0;  // prefix of by_resource_ within the budget
  __int128 used_ = 0;
  std::uint64_t exact_steps_ = 0;
};

// The pick of the straightforward construction for the candidates marked by
// a non-zero entry of `weights`: the running sums are formed left to right
// exactly as a WeightedIndex forms them, then one output is drawn. Throws
// InternalFailure, before drawing, when they reach +infinity.
std::size_t pick_by_scan(std::span<const double> weights, OutputSource& outputs);

}  // namespace corvane
