#include "ant_colony/fast_construction.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "runtime/failure.h"
#include "runtime/pool.h"
#include "runtime/weighted_index.h"

namespace corvane {
namespace {

// Below this many cells a plain scan per step is as fast as the tree.
constexpr std::size_t kTreeThreshold = 256;

// From this many cells on, a batch's start state gets its block sums cached
// up front, as exact steps become frequent enough to need them.
constexpr std::size_t kWarmSumsThreshold = std::size_t{1} << 16;

// Batch preparation runs on the pool in chunks of this many cells (a whole
// number of RunningSums blocks).
constexpr std::size_t kChunk = std::size_t{1} << 14;
static_assert(kChunk % RunningSums::kBlock == 0);

std::int64_t quantise(double weight, int shift) {
  if (!(weight > 0.0) || std::isinf(weight)) return 0;
  return static_cast<std::int64_t>(std::ldexp(weight, shift));  // truncation is floor here
}

// A non-negative Wide as a double, within 2^-52 of its value (two roundings;
// the bounds below leave room for that). Cheaper than the exact conversion.
double to_double(Wide value) {
  const auto high = static_cast<std::uint64_t>(value >> 64);
  const auto low = static_cast<std::uint64_t>(value);
  return static_cast<double>(high) * 0x1p64 + static_cast<double>(low);
}

// A non-negative double as a Wide, truncated (capped at 2^126). Only a search
// target: any value is correct, a close one just finds the right cell.
Wide to_wide(double value) {
  if (value < 0x1p63) return static_cast<std::int64_t>(value);
  if (!(value < 0x1p126)) return Wide{1} << 126;
  const auto high = static_cast<std::uint64_t>(value * 0x1p-64);
  const double rest = value - static_cast<double>(high) * 0x1p64;
  return (static_cast<Wide>(high) << 64) | static_cast<std::uint64_t>(rest);
}

}  // namespace

std::size_t pick_by_scan(std::span<const double> weights, OutputSource& outputs) {
  double total = 0.0;
  std::size_t last = weights.size();
  for (std::size_t cell = 0; cell < weights.size(); ++cell) {
    if (weights[cell] != 0.0) {
      total += weights[cell];  // 0.0 + w0 is w0 exactly: the sums match a WeightedIndex's
      last = cell;
    }
  }
  if (std::isinf(total)) fail(runtime::kNonFiniteTotal);
  const double d = runtime::UniformFloat{0.0, runtime::sampler_scale(total)}.sample_from_output(outputs.next_u64());
  // The first candidate before the last whose running sum exceeds d.
  double running = 0.0;
  for (std::size_t cell = 0; cell < last; ++cell) {
    if (weights[cell] == 0.0) continue;
    running += weights[cell];
    if (running > d) return cell;
  }
  return last;
}

namespace {

template <class Index>
std::vector<Index> cells_by_resource(std::span<const std::int64_t> resources) {
  std::vector<Index> cells(resources.size());
  std::iota(cells.begin(), cells.end(), Index{0});
  std::stable_sort(cells.begin(), cells.end(), [&](Index a, Index b) { return resources[a] < resources[b]; });
  return cells;
}

}  // namespace

ResourceOrder::ResourceOrder(std::span<const std::int64_t> resources, Width width) {
  if (width == Width::Wide) {
    wide_cells_ = cells_by_resource<std::uint64_t>(resources);
  } else {
    narrow_cells_ = cells_by_resource<std::uint32_t>(resources);
  }
  resources_.reserve(resources.size());
  for (std::size_t k = 0; k < resources.size(); ++k) resources_.push_back(resources[cell(k)]);
}

std::size_t ResourceOrder::count_at_most(std::int64_t limit) const noexcept {
  return static_cast<std::size_t>(std::upper_bound(resources_.begin(), resources_.end(), limit) - resources_.begin());
}

ConstructionPlan::ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total,
                                   ResourceOrder::Width width)
    : resources_(resources), b_total_(b_total), by_resource_(resources, width),
      initial_admitted_(by_resource_.count_at_most(b_total)) {}

void ConstructionPlan::set_weights(std::span<const double> weights) {
  weights_ = weights;
  const std::size_t cells = weights.size();
  const std::size_t chunks = (cells + kChunk - 1) / kChunk;
  const bool tree = cells >= kTreeThreshold;

  // Quantum: 2^-shift, chosen so that every quantised weight stays below
  // 2^62 (the tree's inner sums are 128 bits wide).
  std::vector<double> largest(chunks, 0.0);
  runtime::parallel_chunks(cells, kChunk, [&](std::size_t begin, std::size_t end) {
    double top = 0.0;
    for (std::size_t cell = begin; cell < end; ++cell) {
      const double w = weights[cell];
      if (w > top && !std::isinf(w)) top = w;
    }
    largest[begin / kChunk] = top;
  });
  int exponent = 0;
  const double top = chunks == 0 ? 0.0 : *std::max_element(largest.begin(), largest.end());
  if (top > 0.0) std::frexp(top, &exponent);  // top < 2^exponent
  quantum_shift_ = 62 - exponent;
  quantum_ = std::ldexp(1.0, -quantum_shift_);
  inverse_quantum_ = std::ldexp(1.0, quantum_shift_);

  // The start state: every cell with a positive weight that fits the budget.
  start_weights_.resize(cells);
  if (tree) {
    start_tree_.resize(cells);
    start_sums_.resize(cells);
  }
  std::vector<std::size_t> candidates(chunks, 0);
  std::vector<std::size_t> infinite(chunks, 0);
  runtime::parallel_chunks(cells, kChunk, [&](std::size_t begin, std::size_t end) {
    std::size_t counted = 0;
    std::size_t unbounded = 0;
    for (std::size_t cell = begin; cell < end; ++cell) {
      const double w = weights[cell];
      const bool candidate = w > 0.0 && resources_[cell] <= b_total_;
      start_weights_[cell] = candidate ? w : 0.0;
      counted += candidate;
      unbounded += candidate && std::isinf(w);
      if (tree) start_tree_.leaves()[cell] = candidate ? quantise(w, quantum_shift_) : 0;
    }
    if (tree) {
      for (std::size_t block = begin / RunningSums::kBlock; block * RunningSums::kBlock < end; ++block) {
        start_sums_.count(start_weights_, block);
      }
    }
    candidates[begin / kChunk] = counted;
    infinite[begin / kChunk] = unbounded;
  });
  start_candidates_ = std::accumulate(candidates.begin(), candidates.end(), std::size_t{0});
  start_infinite_ = std::accumulate(infinite.begin(), infinite.end(), std::size_t{0});
  if (tree) {
    start_tree_.rebuild();
    // Cache each block's sum for the binade it starts in.
    if (cells >= kWarmSumsThreshold) (void)start_sums_.walk(start_weights_);
  }
}

void Constructor::start(const ConstructionPlan& plan) {
  plan_ = &plan;
  const std::size_t cells = plan.cells();
  weights_.resize(cells);
  std::copy(plan.start_weights_.begin(), plan.start_weights_.end(), weights_.begin());
  if (cells >= kTreeThreshold) {
    tree_.copy_from(plan.start_tree_);
    sums_.copy_from(plan.start_sums_);
  }
  chosen_.assign(cells, 0);
  candidates_ = plan.start_candidates_;
  infinite_ = plan.start_infinite_;
  admitted_ = plan.initial_admitted_;
  used_ = 0;
}

std::vector<std::uint64_t> Constructor::construct(const ConstructionPlan& plan, OutputSource& outputs) {
  start(plan);
  std::vector<std::uint64_t> picks;
  // A step draws only once the total is known to be finite: a total of
  // +infinity fails the construction before its draw, as in the rescan.
  while (candidates_ > 0) {
    // A candidate of weight +infinity makes the total +infinity.
    if (infinite_ > 0) fail(runtime::kNonFiniteTotal);
    std::size_t cell = 0;
    if (candidates_ == 1) {
      (void)outputs.next_u64();  // a single candidate still takes a draw
      cell = sole_candidate();
    } else {
      cell = pick(outputs);
    }
    take(cell);
    picks.push_back(cell);
  }
  return picks;
}

std::size_t Constructor::pick(OutputSource& outputs) {
  if (plan_->cells() < kTreeThreshold) {
    ++exact_steps_;
    return pick_by_scan(weights_, outputs);
  }
  if (total_surely_finite()) {
    const std::uint64_t output = outputs.next_u64();
    std::size_t cell = 0;
    if (pick_from_tree(output, cell)) return cell;
    ++exact_steps_;
    const double total = sums_.walk(weights_);
    if (std::isinf(total)) fail("a total bounded below 2^1001 summed to +infinity");
    return sums_.pick(weights_, total, output);
  }
  // Near overflow (or with weights too small for the tree to bound) the exact
  // sums decide whether the total is finite, before the draw.
  ++exact_steps_;
  const double total = sums_.walk(weights_);
  if (std::isinf(total)) fail(runtime::kNonFiniteTotal);
  return sums_.pick(weights_, total, outputs.next_u64());
}

// Whether the left-to-right total of the candidates is certainly finite: it
// lies within a factor 1 + (count + 16) * 2^-52 of the exact sum, which the
// tree bounds from above.
bool Constructor::total_surely_finite() const {
  const Wide quanta = tree_.total();
  if (quanta <= 0 || std::isinf(plan_->inverse_quantum_) || !(plan_->quantum_ > 0.0)) return false;
  const double exact_high = (to_double(quanta) + static_cast<double>(candidates_)) * plan_->quantum_;
  return exact_high < 0x1p1000;
}

// Running sums of n non-negative terms formed left to right differ from the
// exact sums by at most (n - 1) * 2^-53 of them; the quantised tree sums
// undershoot the exact ones by less than one quantum per candidate. `slack`
// covers both with a factor of two to spare for the roundings made here.
bool Constructor::pick_from_tree(std::uint64_t output, std::size_t& cell) const {
  const Wide quanta = tree_.total();
  if (quanta <= 0) return false;
  const double count = static_cast<double>(candidates_);
  const double quantum = plan_->quantum_;
  if (!(quantum > 0.0) || std::isinf(plan_->inverse_quantum_)) return false;
  const double slack = (count + 16.0) * 0x1p-52;

  const double exact_low = to_double(quanta) * quantum;
  const double exact_high = exact_low + count * quantum;
  if (!(exact_low >= 0x1p-900) || !(exact_high < 0x1p1000)) return false;  // near underflow or overflow

  // The draw d = u * total, for the total within [total_low, total_high].
  const double u = runtime::unit_from_output(output);
  const double draw_low = u * (exact_low * (1.0 - slack)) * (1.0 - 0x1p-50);
  const double draw_high = u * (exact_high * (1.0 + slack)) * (1.0 + 0x1p-50);

  Wide target = to_wide(draw_low * plan_->inverse_quantum_);
  target = std::clamp<Wide>(target, 0, quanta - 1);
  Wide before_quanta = 0;
  const std::size_t found = tree_.find(target, before_quanta);

  // Exact sum of the candidates before `found`: within [before_low, before_high].
  const double before_low = to_double(before_quanta) * quantum;
  const double before_high = before_low + count * quantum;
  const double through_low = before_low + weights_[found];
  // The pick is `found` when the running sum before it is <= d and the
  // running sum through it is > d.
  if (before_high * (1.0 + slack) <= draw_low && draw_high < through_low * (1.0 - slack)) {
    cell = found;
    return true;
  }
  return false;
}

std::size_t Constructor::sole_candidate() const {
  if (plan_->cells() >= kTreeThreshold && tree_.total() > 0) {
    Wide before = 0;
    return tree_.find(0, before);
  }
  for (std::size_t cell = 0; cell < weights_.size(); ++cell) {
    if (weights_[cell] != 0.0) return cell;
  }
  fail("no candidate left although one was counted");
}

void Constructor::take(std::size_t cell) {
  chosen_[cell] = 1;
  drop(cell);
  const std::int64_t resource = plan_->resources_[cell];
  used_ += resource;
  // Exact budget arithmetic: the pointer covers the cells with b_ij <= b_total - used.
  const __int128 remaining = static_cast<__int128>(plan_->b_total_) - used_;
  const ResourceOrder& order = plan_->by_resource_;
  if (resource > 0) {
    while (admitted_ > 0 && order.resource(admitted_ - 1) > remaining) {
      const std::size_t other = order.cell(--admitted_);
      if (weights_[other] != 0.0) drop(other);
    }
  } else if (resource < 0) {
    while (admitted_ < order.size() && order.resource(admitted_) <= remaining) {
      const std::size_t other = order.cell(admitted_++);
      if (chosen_[other] == 0 && plan_->weights_[other] > 0.0) admit(other);
    }
  }
}

void Constructor::admit(std::size_t cell) {
  const double w = plan_->weights_[cell];
  weights_[cell] = w;
  ++candidates_;
  if (std::isinf(w)) ++infinite_;
  if (plan_->cells() >= kTreeThreshold) {
    tree_.set(cell, quantise(w, plan_->quantum_shift_));
    sums_.update(cell, 0.0, w);
  }
}

void Constructor::drop(std::size_t cell) {
  const double w = weights_[cell];
  if (std::isinf(w)) --infinite_;
  weights_[cell] = 0.0;
  --candidates_;
  if (plan_->cells() >= kTreeThreshold) {
    tree_.set(cell, 0);
    sums_.update(cell, w, 0.0);
  }
}

}  // namespace corvane
