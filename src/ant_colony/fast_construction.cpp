#include "ant_colony/fast_construction.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <type_traits>

#include "runtime/failure.h"
#include "runtime/pool.h"
#include "runtime/weighted_index.h"

namespace corvane {
namespace {

// A construction quantises its candidates afresh once their total falls
// 2^kRescaleBits quanta below the largest weight the scale was set for.
constexpr int kRescaleBits = 16;

// Below this many cells a plain scan per step is faster than the tree,
// whose set-up a construction of a few steps does not repay (measured with
// the construction benchmark from 3 x 3 to 15 x 15 cells).
constexpr std::size_t kTreeThreshold = 40;

// From this many cells on, a thread keeps several constructions in flight.
constexpr std::size_t kPipelineThreshold = std::size_t{1} << 12;

// Below this many cells the plan keeps each cell's quantised weight, which
// spares a step's block search a conversion per cell; above, the 8 bytes per
// cell would add to the memory of the largest tasks.
constexpr std::size_t kUnitsThreshold = std::size_t{1} << 18;

// From this many cells on (a group of the running sums), a construction's
// running sums follow its changes.
constexpr std::size_t kFollowedSumsThreshold = std::size_t{1} << 12;

// From this many cells on, a batch's start state gets its block sums cached
// up front, as exact steps become frequent enough to need them.
constexpr std::size_t kWarmSumsThreshold = std::size_t{1} << 16;

// A non-negative sum as a double, within 2^-52 of its value (two roundings
// for a Wide; the bounds below leave room for that). Cheaper than the exact
// conversion.
double to_double(std::int64_t value) { return static_cast<double>(value); }
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

// Running sums of n non-negative terms formed left to right differ from the
// exact sums by at most (n - 1) * 2^-53 of them; the quantised tree sums
// undershoot the exact ones by less than one quantum per candidate. The
// slack, (count + 16) * 2^-52, covers both with a factor of two to spare for
// the roundings made here.
double slack_of(double count) { return (count + 16.0) * 0x1p-52; }

// The candidates among cells [16 * block, 16 * block + 16), one bit each.
std::uint32_t block_bits(const CellSet& set, std::size_t block) {
  constexpr std::size_t kPerWord = CellSet::kWordBits / QuantisedTree::kBlock;
  return static_cast<std::uint32_t>(set.word(block / kPerWord) >> ((block % kPerWord) * QuantisedTree::kBlock)) &
         0xFFFFu;
}

// Marks a constructor as building for the length of a construction. With
// checks on, a second thread that builds with it meanwhile is a breach: the
// two constructions would corrupt each other's state.
class SoleBuilder {
 public:
  explicit SoleBuilder(std::atomic<bool>& building) : building_(building) {
    if constexpr (kChecksOn) {
      CORVANE_CHECK(!building_.exchange(true, std::memory_order_acquire),
                    "one thread at a time builds with a Constructor");
    }
  }
  ~SoleBuilder() {
    if constexpr (kChecksOn) building_.store(false, std::memory_order_release);
  }
  SoleBuilder(const SoleBuilder&) = delete;
  SoleBuilder& operator=(const SoleBuilder&) = delete;

 private:
  std::atomic<bool>& building_;
};

}  // namespace

std::size_t pick_by_scan(WeightView weights, const CellSet& candidates, OutputSource& outputs) {
  double total = 0.0;
  std::size_t last = weights.size();
  for (std::size_t cell : candidates.members()) {
    total += weights[cell];  // 0.0 + w0 is w0 exactly: the sums match a WeightedIndex's
    last = cell;
  }
  if (std::isinf(total)) fail(runtime::kNonFiniteTotal);
  const double d = runtime::UniformFloat{0.0, runtime::sampler_scale(total)}.sample_from_output(outputs.next_u64());
  // The first candidate before the last whose running sum exceeds d.
  double running = 0.0;
  for (std::size_t cell : candidates.members()) {
    if (cell == last) return last;
    running += weights[cell];
    if (running > d) return cell;
  }
  return last;
}

ConstructionPlan::ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total, Layout layout)
    : records_(resources.size()),
      b_total_(b_total),
      quantum_bits_(layout.quantum_bits),
      in_flight_(std::max<std::size_t>(1, layout.in_flight)),
      by_resource_(resources, layout.width),
      initial_runs_(by_resource_.runs_at_most(b_total)),
      tree_(resources.size() >= kTreeThreshold),
      largest_(chunks(), 0.0),
      chunk_counts_(chunks(), 0),
      chunk_infinite_(chunks(), 0),
      start_candidates_(resources.size()),
      units_(layout.keep_units
                 ? (resources.size() + QuantisedTree::kBlock - 1) / QuantisedTree::kBlock * QuantisedTree::kBlock
                 : 0,
             0),
      follow_sums_(layout.follow_sums) {
  static_assert(kChunk % QuantisedTree::kRowCells == 0 && QuantisedTree::kRowCells % CellSet::kWordBits == 0);
  if (tree_) {
    start_tree_.resize(cells(), quantum_bits_);
    start_sums_.resize(cells());
  }
  runtime::parallel_chunks(resources.size(), kChunk, [&](std::size_t begin, std::size_t end) {
    for (std::size_t cell = begin; cell < end; ++cell) records_[cell].resource = resources[cell];
  });
}

ConstructionPlan::Layout ConstructionPlan::Layout::for_cells(std::size_t cells) noexcept {
  return Layout{ResourceOrder::width_for(cells), QuantisedTree::quantum_bits(cells), in_flight_for(cells),
                cells >= kFollowedSumsThreshold, cells < kUnitsThreshold};
}

std::size_t ConstructionPlan::Layout::in_flight_for(std::size_t cells) noexcept {
  // Measured with the construction benchmark (100 x 100, 300 x 300 and
  // 1000 x 1000 cells): below a few thousand cells one at a time is fastest.
  // While a construction's state (about a byte per cell) fits the
  // second-level cache, two in flight gain 4-8% and more gain nothing; at a
  // million cells, where every step misses it, three to eight are best
  // alike. Two and five also split a batch of ten, an ant colony's share per
  // thread on two threads, into full rounds.
  if (cells < kPipelineThreshold) return 1;
  if (cells < std::size_t{1} << 18) return 2;
  return 5;
}

bool ConstructionPlan::choose_scale(double top, double& scale, double& quantum) const noexcept {
  int exponent = 0;
  if (top > 0.0) std::frexp(top, &exponent);  // top < 2^exponent
  const int shift = quantum_bits_ - exponent;
  if (shift > 1023) return false;
  scale = std::ldexp(1.0, shift);
  quantum = std::ldexp(1.0, -shift);
  return true;
}

void ConstructionPlan::quantise_rows(QuantisedTree& tree, const CellSet& candidates, double scale, std::size_t begin,
                                     std::size_t end) const {
  constexpr std::size_t kRowWords = QuantisedTree::kRowCells / CellSet::kWordBits;
  std::int64_t block_sums[QuantisedTree::kFanout];
  for (std::size_t row = begin / QuantisedTree::kRowCells; row * QuantisedTree::kRowCells < end; ++row) {
    std::fill(std::begin(block_sums), std::end(block_sums), 0);
    const std::size_t last_word = std::min(candidates.word_count(), (row + 1) * kRowWords);
    for (std::size_t cell : candidates.members(row * kRowWords, last_word)) {
      block_sums[(cell % QuantisedTree::kRowCells) / QuantisedTree::kBlock] += units(records_[cell].weight, scale);
    }
    tree.set_row(row, block_sums);
  }
}

Wide ConstructionPlan::rescale_below() const noexcept { return Wide{1} << std::max(0, quantum_bits_ - kRescaleBits); }

void ConstructionPlan::prepare() {
  const std::size_t cells = records_.size();
  const double top = largest_.empty() ? 0.0 : *std::max_element(largest_.begin(), largest_.end());
  quantised_ = tree_ && choose_scale(top, scale_, quantum_);

  // The start state: every cell with a positive weight that fits the budget.
  start_candidates_.clear(cells);
  if (quantised_) start_tree_.resize(cells, quantum_bits_);
  if (tree_) start_sums_.resize(cells);
  runtime::parallel_chunks(cells, kChunk, [&](std::size_t begin, std::size_t end) {
    std::size_t counted = 0;
    std::size_t unbounded = 0;
    for (std::size_t cell = begin; cell < end; ++cell) {
      const CellRecord& record = records_[cell];
      const double w = record.weight;
      if (quantised_ && !units_.empty()) units_[cell] = w > 0.0 ? units(w, scale_) : 0;
      if (!(w > 0.0 && record.resource <= b_total_)) continue;
      start_candidates_.insert(cell);  // chunks cover whole words and tree rows: none is shared
      ++counted;
      unbounded += w == kInfinity ? 1 : 0;
    }
    chunk_counts_[begin / kChunk] = counted;
    chunk_infinite_[begin / kChunk] = unbounded;
    if (quantised_) quantise_rows(start_tree_, start_candidates_, scale_, begin, end);
  });
  start_count_ = std::accumulate(chunk_counts_.begin(), chunk_counts_.end(), std::size_t{0});
  start_infinite_ = std::accumulate(chunk_infinite_.begin(), chunk_infinite_.end(), std::size_t{0});
  if (quantised_) start_tree_.finish();
  // Cache each block's sum for the binade it starts in.
  if (tree_ && cells >= kWarmSumsThreshold) (void)start_sums_.walk(weights(), start_candidates_);
}

void Constructor::reserve(const ConstructionPlan& plan) {
  candidates_.reserve(plan.cells());
  chosen_.reserve(plan.cells());
  if (plan.tree_) {
    // The sizes of the plan's start tree and sums, which begin() copies.
    tree_.resize(plan.cells(), plan.quantum_bits_);
    sums_.resize(plan.cells());
  }
}

void Constructor::begin(const ConstructionPlan& plan, bool record_order) {
  const SoleBuilder builder(building_);
  plan_ = &plan;
  record_order_ = record_order;
  order_.clear();
  stage_ = Stage::Aim;
  candidates_.assign(plan.start_candidates_);
  chosen_.clear(plan.cells());
  if (plan.quantised_) tree_.copy_from(plan.start_tree_);
  scale_ = plan.scale_;
  quantum_ = plan.quantum_;
  own_scale_ = false;
  rescale_due_ = false;
  rescale_below_ = plan.rescale_below();
  if (plan.tree_) sums_.restart(plan.start_sums_);
  follow_sums_ = plan.tree_ && plan.follow_sums_;
  count_ = plan.start_count_;
  infinite_ = plan.start_infinite_;
  runs_ = plan.initial_runs_;
  used_ = 0;
}

void Constructor::construct(const ConstructionPlan& plan, OutputSource& outputs, std::vector<std::uint64_t>* order) {
  begin(plan, order != nullptr);
  finish(outputs);
  if (order != nullptr) order->insert(order->end(), order_.begin(), order_.end());
}

void Constructor::advance(OutputSource& outputs) {
  const SoleBuilder builder(building_);
  CORVANE_CHECK(!done(), "a construction advances until it is done");
  run_stage(outputs);
}

void Constructor::finish(OutputSource& outputs) {
  const SoleBuilder builder(building_);
  while (!done()) run_stage(outputs);
  CORVANE_CHECK(candidates_.count() == 0, "every candidate is counted");
}

bool Constructor::finish_some(OutputSource& outputs, std::size_t stages) {
  const SoleBuilder builder(building_);
  for (; stages > 0 && !done(); --stages) run_stage(outputs);
  CORVANE_CHECK(!done() || candidates_.count() == 0, "every candidate is counted");
  return done();
}

void Constructor::run_stage(OutputSource& outputs) {
  switch (stage_) {
    case Stage::Aim:
      aim(outputs);
      break;
    case Stage::Find:
      find();
      break;
    case Stage::Take:
      take_found();
      break;
    case Stage::Drop:
      drop_some();
      break;
  }
}

// The first stage of a step. It draws only once the total is known to be
// finite: a total of +infinity fails the construction before its draw, as in
// the rescan. A pick the tree cannot serve is made here, whole.
void Constructor::aim(OutputSource& outputs) {
  // A candidate of weight +infinity makes the total +infinity.
  if (infinite_ > 0) fail(runtime::kNonFiniteTotal);
  if (count_ > 1 && plan_->tree_) {
    if (plan_->quantised_ && (rescale_due_ || tree_.total() < rescale_below_)) requantise();
    if (total_surely_finite()) {
      const std::uint64_t output = outputs.next_u64();
      if (tree_.narrow() ? aim_at<std::int64_t>(output) : aim_at<Wide>(output)) {
        stage_ = Stage::Find;
        return;
      }
      take(exact_pick(output));
      return;
    }
  }
  take(direct_step(outputs));
}

// A pick without the tree: the sole candidate, the plain scan of a small
// task, or the exact sums when the tree cannot bound the total.
std::size_t Constructor::direct_step(OutputSource& outputs) {
  if (count_ == 1) {
    (void)outputs.next_u64();  // a single candidate still takes a draw
    return sole_candidate();
  }
  ++exact_steps_;
  if (!plan_->tree_) return pick_by_scan(plan_->weights(), candidates_, outputs);
  // Near overflow (or with weights too small for the tree to bound) the
  // exact sums decide whether the total is finite, before the draw.
  const double total = walk();
  if (std::isinf(total)) fail(runtime::kNonFiniteTotal);
  return sums_.pick(plan_->weights(), candidates_, total, outputs.next_u64());
}

// The exact left-to-right pick, for a total known to be finite.
std::size_t Constructor::exact_pick(std::uint64_t output) {
  ++exact_steps_;
  const double total = walk();
  if (std::isinf(total)) fail("a total bounded below 2^1001 summed to +infinity");
  return sums_.pick(plan_->weights(), candidates_, total, output);
}

// The exact left-to-right total.
double Constructor::walk() {
  if (!follow_sums_) sums_.restart_all_changed(plan_->start_sums_);
  return sums_.walk(plan_->weights(), candidates_);
}

// Whether the left-to-right total of the candidates is certainly finite: it
// lies within a factor 1 + (count + 16) * 2^-52 of the exact sum, which the
// tree bounds from above.
bool Constructor::total_surely_finite() const {
  if (!plan_->quantised_) return false;
  const Wide quanta = tree_.total();
  if (quanta <= 0) return false;
  const double exact_high = (to_double(quanta) + static_cast<double>(count_)) * quantum_;
  return exact_high < 0x1p1000;
}

// Quantises the candidates afresh, the largest of them just below
// 2^quantum_bits, and rebuilds the tree from them. Weights that span a vast
// range (a high beta) otherwise leave a construction, once its largest
// candidates are taken, with a tree of zeros and an exact scan at every step.
void Constructor::requantise() {
  rescale_due_ = false;
  const CellRecord* records = plan_->records_.data();
  double top = 0.0;
  for (std::size_t cell : candidates_.members()) {
    const double w = records[cell].weight;
    if (w > top && w < ConstructionPlan::kInfinity) top = w;
  }
  if (!(top > 0.0) || !plan_->choose_scale(top, scale_, quantum_)) {
    // Nothing to quantise afresh: the exact sums serve until the next cell comes in.
    rescale_below_ = 0;
    return;
  }
  own_scale_ = true;
  rescale_below_ = plan_->rescale_below();
  tree_.resize(plan_->cells(), plan_->quantum_bits_);
  plan_->quantise_rows(tree_, candidates_, scale_, 0, plan_->cells());
  tree_.finish();
}

// Aims `output` at the tree: the draw's bounds, and the tree row that holds
// its lower bound's quanta, which starts coming into the cache. False near
// underflow or overflow, where the exact sums decide. Sum is the tree's
// integer type: 64 bits when all its levels are.
template <class Sum>
bool Constructor::aim_at(std::uint64_t output) {
  const Sum quanta = static_cast<Sum>(tree_.total());
  const double count = static_cast<double>(count_);
  const double slack = slack_of(count);
  const double exact_low = to_double(quanta) * quantum_;
  const double exact_high = exact_low + count * quantum_;
  if (!(exact_low >= 0x1p-900) || !(exact_high < 0x1p1000)) return false;

  // The draw d = u * total, for the total within [total_low, total_high].
  const double u = runtime::unit_from_output(output);
  pending_.output = output;
  pending_.slack = slack;
  pending_.draw_low = u * (exact_low * (1.0 - slack)) * (1.0 - 0x1p-50);
  pending_.draw_high = u * (exact_high * (1.0 + slack)) * (1.0 + 0x1p-50);
  Sum target = 0;
  if constexpr (std::is_same_v<Sum, Wide>) {
    target = to_wide(pending_.draw_low * scale_);
  } else {
    const double scaled = pending_.draw_low * scale_;
    target = scaled < 0x1p62 ? static_cast<Sum>(scaled) : Sum{1} << 62;
  }
  target = std::clamp<Sum>(target, 0, quanta - 1);
  Sum before = 0;
  pending_.place = tree_.find_row(target, before, pending_.offset);
  pending_.before = before;
  // The row's candidates, and its chosen cells, each fit one cache line.
  const std::size_t first = pending_.place * QuantisedTree::kRowCells;
  tree_.prefetch_row(pending_.place);
  candidates_.prefetch(first);
  chosen_.prefetch(first);
  return true;
}

// The block in the row, whose records and quantised weights start coming
// into the cache.
void Constructor::find() noexcept {
  std::int64_t before = 0;
  const std::size_t block = tree_.find_in_row(pending_.place, pending_.offset, before, pending_.offset);
  pending_.place = block;
  pending_.before += before;
  const std::size_t first = block * QuantisedTree::kBlock;
  const CellRecord* records = plan_->records_.data() + first;
  static_assert(QuantisedTree::kBlock * sizeof(CellRecord) == 4 * kCacheLine);
  for (std::size_t line = 0; line < 4; ++line) __builtin_prefetch(records + line * kCacheLine / sizeof(CellRecord));
  if (const std::int64_t* kept = kept_units()) {
    static_assert(QuantisedTree::kBlock * sizeof(std::int64_t) == 2 * kCacheLine);
    const std::int64_t* units = kept + first;
    __builtin_prefetch(units);
    __builtin_prefetch(units + kCacheLine / sizeof(std::int64_t));
  }
  stage_ = Stage::Take;
}

void Constructor::take_found() {
  std::size_t cell = 0;
  const bool certain = tree_.narrow() ? certify<std::int64_t>(cell) : certify<Wide>(cell);
  take(certain ? cell : exact_pick(pending_.output));
}

// Finds the cell of the block that holds the target's quanta and certifies
// it: true when the draw lies clear of its edges for every total and running
// sum the bounds allow.
template <class Sum>
bool Constructor::certify(std::size_t& cell) const {
  const double count = static_cast<double>(count_);
  const double quantum = quantum_;
  const double slack = pending_.slack;
  const std::size_t block = pending_.place;
  const std::int64_t offset = pending_.offset;

  // The cell of the block that holds the target's quanta: the first whose
  // running units within the block exceed the offset.
  const std::uint32_t bits = block_bits(candidates_, block);
  const std::size_t first = block * QuantisedTree::kBlock;
  std::size_t found = plan_->cells();
  std::int64_t inside = 0;
  std::int64_t found_units = 0;
  const std::int64_t* kept = kept_units();
  if (kept == nullptr) {
    for (std::size_t candidate : SetBits(bits, first)) {
      const std::int64_t quanta = units(record(candidate));
      if (inside + quanta > offset) {
        found = candidate;
        found_units = quanta;
        break;
      }
      inside += quanta;
    }
  } else {
    // With the plan's units at hand, they are summed over all 16 places
    // (those without a candidate adding 0), and the places where the sum does
    // not exceed the offset are counted: no branch depends on the weights.
    const std::int64_t* units = kept + first;
    std::int64_t through[QuantisedTree::kBlock];
    std::int64_t running = 0;
    std::size_t below = 0;
    for (std::size_t k = 0; k < QuantisedTree::kBlock; ++k) {
      running += units[k] & -static_cast<std::int64_t>((bits >> k) & 1u);
      through[k] = running;
      below += running <= offset ? 1 : 0;
    }
    if (below < QuantisedTree::kBlock) {
      found = first + below;
      inside = below == 0 ? 0 : through[below - 1];
      found_units = through[below] - inside;
    }
  }
  if (found == plan_->cells()) fail("the tree's block holds fewer units than its sum");

  // Exact sum of the candidates before `found`: within [before_low,
  // before_high]; through it: at least through_low, as every weight is at
  // least its quantised units.
  const Sum before_quanta = static_cast<Sum>(pending_.before) + inside;
  const double before_low = to_double(before_quanta) * quantum;
  const double before_high = before_low + count * quantum;
  const double through_low = to_double(before_quanta + found_units) * quantum;
  // The pick is `found` when the running sum before it is <= d and the
  // running sum through it is > d.
  if (before_high * (1.0 + slack) <= pending_.draw_low && pending_.draw_high < through_low * (1.0 - slack)) {
    cell = found;
    return true;
  }
  return false;
}

std::size_t Constructor::sole_candidate() const {
  for (std::size_t cell : candidates_.members()) return cell;
  fail("no candidate left although one was counted");
}

// The cells a budget change drops, batched a tree row at a time: a run of
// equal resource lies in cell order, so consecutive drops mostly share rows.
// The counts are kept here until the end, apart from the candidate words
// that every drop writes. The row's deltas live apart from the counts, which
// the tree's update would otherwise keep from staying in registers.
class Constructor::Drops {
 public:
  using Deltas = std::int64_t[QuantisedTree::kFanout];
  Drops(Constructor& owner, Deltas& deltas)
      : owner_(owner),
        records_(owner.plan_->records_.data()),
        tree_(owner.tree_holds_units()),
        deltas_(deltas),
        units_(tree_ ? owner.kept_units() : nullptr) {
    std::fill(std::begin(deltas_), std::end(deltas_), 0);
  }
  ~Drops() {
    flush();
    owner_.count_ -= dropped_;
    owner_.infinite_ -= infinite_;
  }
  Drops(const Drops&) = delete;
  Drops& operator=(const Drops&) = delete;

  // Drops `cell` if it is a candidate; see forget() for `sweep`.
  void drop(std::size_t cell, bool sweep) {
    if (!owner_.candidates_.take(cell)) return;
    if (reads_units(sweep)) {
      CORVANE_CHECK(!kChecksOn || !infinite(records_[cell]), "no candidate weighs +infinity when drops run");
      ++dropped_;
      if (owner_.follow_sums_) owner_.sums_.left_in_sweep(cell);
      add_to_row(cell, -units_[cell]);
      return;
    }
    const CellRecord& record = records_[cell];
    ++dropped_;
    owner_.forget(cell, record, sweep);
    if (infinite(record)) {
      ++infinite_;
      return;
    }
    if (tree_) add_to_row(cell, -owner_.units(record));
  }

  // Starts fetching what dropping `cell` reads.
  void prefetch(std::size_t cell, bool sweep) const noexcept {
    if (reads_units(sweep)) {
      __builtin_prefetch(units_ + cell);
    } else {
      __builtin_prefetch(records_ + cell);
    }
  }

  // Applies the row's deltas.
  void flush() {
    if (row_ == kNone) return;
    owner_.tree_.add_to_row(row_, deltas_);
    std::fill(std::begin(deltas_), std::end(deltas_), 0);
    row_ = kNone;
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};

  // Whether a drop needs no more than the plan's units: when the running
  // sums need no weight (they do not follow, or forget the group in a
  // sweep). No candidate weighs +infinity when drops run: a construction
  // with one fails at its next aim, and the take that admits one drops
  // nothing.
  bool reads_units(bool sweep) const noexcept { return units_ != nullptr && (sweep || !owner_.follow_sums_); }

  void add_to_row(std::size_t cell, std::int64_t delta) {
    const std::size_t row = cell / QuantisedTree::kRowCells;
    if (row != row_) {
      flush();
      row_ = row;
    }
    deltas_[(cell % QuantisedTree::kRowCells) / QuantisedTree::kBlock] += delta;
  }

  Constructor& owner_;
  const CellRecord* records_;
  const bool tree_;
  std::size_t dropped_ = 0;
  std::size_t infinite_ = 0;
  std::size_t row_ = kNone;
  Deltas& deltas_;
  const std::int64_t* units_;  // the plan's, when they hold the tree's units
};

// The last stage of a step: takes `cell` and, when that leaves runs of the
// resource order over the budget, queues their drops.
void Constructor::take(std::size_t cell) {
  CORVANE_CHECK(candidates_.contains(cell), "a step picks a candidate");
  chosen_.insert(cell);
  drop(cell);
  if (record_order_) order_.push_back(cell);
  stage_ = Stage::Aim;
  const std::int64_t resource = record(cell).resource;
  used_ += resource;
  // Exact budget arithmetic: the admitted runs are those with b_ij <= b_total - used.
  const __int128 remaining = static_cast<__int128>(plan_->b_total_) - used_;
  const ResourceOrder& order = plan_->by_resource_;
  if (resource > 0 && runs_ > 0 && order.run_resource(runs_ - 1) > remaining) {
    drop_end_ = order.run_end(runs_ - 1);
    while (runs_ > 0 && order.run_resource(runs_ - 1) > remaining) --runs_;
    if (runs_ == 0) {
      // Nothing fits any more: the construction is over, and its state,
      // which the next one starts afresh, need not follow.
      candidates_.clear(plan_->cells());
      count_ = 0;
      infinite_ = 0;
      return;
    }
    drop_run_ = runs_;
    drop_next_ = order.run_begin(runs_);
    stage_ = Stage::Drop;
  } else if (resource < 0) {
    while (runs_ < order.runs() && order.run_resource(runs_) <= remaining) {
      order.for_each_in_run(runs_++, [&](std::size_t other, std::size_t) {
        if (!chosen_.contains(other) && record(other).weight > 0.0) admit(other);
      });
    }
  }
}

// Drops the next few hundred of the queued cells, in resource order, the
// records of the cells a few places ahead (beyond this stage too) coming
// into the cache meanwhile.
void Constructor::drop_some() {
  constexpr std::size_t kDropsPerStage = 512;
  const ResourceOrder& order = plan_->by_resource_;
  const std::size_t stop = std::min(drop_end_, drop_next_ + kDropsPerStage);
  Drops::Deltas deltas;
  Drops drops(*this, deltas);
  while (drop_next_ < stop) {
    // A run with a cell for every block of the running sums, or more,
    // changes most of them: they are rebuilt if ever needed again, which
    // near the end of a construction they seldom are.
    const std::size_t run_end = order.run_end(drop_run_);
    const bool sweep = run_end - order.run_begin(drop_run_) >= plan_->cells() / RunningSums::kBlock;
    const std::size_t end = std::min(stop, run_end);
    order.for_each_at(drop_next_, end, drop_end_, [&](std::size_t other, std::size_t ahead) {
      drops.prefetch(ahead, sweep);
      drops.drop(other, sweep);
    });
    drop_next_ = end;
    if (end == run_end) ++drop_run_;
  }
  if (drop_next_ == drop_end_) stage_ = Stage::Aim;
}

void Constructor::admit(std::size_t cell) {
  const CellRecord& r = record(cell);
  candidates_.insert(cell);
  ++count_;
  if (infinite(r)) ++infinite_;
  if (follow_sums_) sums_.joined(cell, r.weight);
  // Under its own scale a construction quantises afresh rather than let a
  // weight above that scale into the tree.
  if (own_scale_) {
    rescale_due_ = true;
  } else if (plan_->quantised_) {
    tree_.add(cell, units(r));
  }
}

void Constructor::drop(std::size_t cell) {
  const CellRecord& r = record(cell);
  candidates_.erase(cell);
  --count_;
  forget(cell, r);
  if (infinite(r)) {
    --infinite_;
  } else if (tree_holds_units()) {
    tree_.add(cell, -units(r));
  }
}

}  // namespace corvane
