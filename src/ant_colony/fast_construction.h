// The production construction. It picks exactly the cells, in exactly the
// order, that the straightforward rescan (construct_by_rescan) picks for the
// same generator outputs, and fails at the same point with the same outputs
// drawn, but a step costs O(log n) instead of O(n):
//
// - The candidates are a set of cells over the batch's shared weights, and
//   their weights, quantised, are summed exactly in a QuantisedTree.
//   Left-to-right floating-point running sums (which decide the pick) differ
//   from these sums by a bounded error; when the draw lies clear of the
//   found cell's edges by more than that bound, the tree's answer is
//   certain. Otherwise, and whenever the total is near overflow or
//   underflow, the step falls back to the exact left-to-right sums, which
//   RunningSums forms a block at a time.
// - Budget exclusions are incremental: cells are kept ordered by resource,
//   and a boundary in that order moves, a run of equal resource at a time,
//   as the resource used changes (back again when a negative resource frees
//   budget). A run dropped at once updates the tree a row at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "ant_colony/cell_record.h"
#include "ant_colony/cell_set.h"
#include "ant_colony/quantised_tree.h"
#include "ant_colony/resource_order.h"
#include "ant_colony/running_sums.h"
#include "runtime/cache_aligned.h"
#include "runtime/check.h"
#include "runtime/output_source.h"
#include "runtime/pool.h"

namespace corvane {

// Shared, read-only state of a solve's batches: the cells ordered by
// resource (fixed for the solve), the cells' records with the weights of the
// current batch, and the state every construction of the batch starts from.
// All of it is allocated by the constructor: setting weights allocates
// nothing.
class ConstructionPlan {
 public:
  // How the plan stores a task: chosen by the number of cells, and set
  // otherwise only to test the layouts of much larger tasks on small ones.
  struct Layout {
    ResourceOrder::Width width;
    int quantum_bits;            // see QuantisedTree::quantum_bits()
    std::size_t in_flight = 1;   // constructions a thread keeps going at once
    bool follow_sums = false;    // a construction's running sums follow its every change
    bool keep_units = true;      // the plan keeps each cell's quantised weight

    static Layout for_cells(std::size_t cells) noexcept;
    // Several constructions in flight hide one another's cache misses, which
    // only tasks too large for the cache have.
    static std::size_t in_flight_for(std::size_t cells) noexcept;
  };

  ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total)
      : ConstructionPlan(resources, b_total, Layout::for_cells(resources.size())) {}
  ConstructionPlan(std::span<const std::int64_t> resources, std::int64_t b_total, Layout layout);

  // Sets the cell weights for the next batch: weight_of(cell) for every
  // row-major cell, evaluated on the pool.
  template <class WeightOf>
    requires std::is_invocable_r_v<double, WeightOf&, std::size_t>
  void set_weights(WeightOf&& weight_of) {
    largest_.assign(chunks(), 0.0);
    runtime::parallel_chunks(cells(), kChunk, [&](std::size_t begin, std::size_t end) {
      double top = 0.0;
      for (std::size_t cell = begin; cell < end; ++cell) {
        const double w = weight_of(cell);
        records_[cell].weight = w;
        if (w > top && w < kInfinity) top = w;
      }
      largest_[begin / kChunk] = top;
    });
    prepare();
  }
  void set_weights(std::span<const double> weights) {
    CORVANE_CHECK(weights.size() == cells(), "a weight for every cell");
    set_weights([weights](std::size_t cell) { return weights[cell]; });
  }

  std::size_t cells() const noexcept { return records_.size(); }
  std::size_t in_flight() const noexcept { return in_flight_; }

 private:
  friend class Constructor;

  // Batch preparation runs on the pool in chunks of this many cells: whole
  // level-1 rows of the tree, and whole words of a CellSet.
  static constexpr std::size_t kChunk = std::size_t{1} << 14;
  static constexpr double kInfinity = __builtin_inf();

  // A weight quantised at `scale`: a candidate of weight +infinity counts 0.
  static std::int64_t units(double weight, double scale) noexcept {
    return weight < kInfinity ? static_cast<std::int64_t>(weight * scale) : 0;
  }
  std::size_t chunks() const noexcept { return (cells() + kChunk - 1) / kChunk; }
  WeightView weights() const noexcept { return std::span<const CellRecord>(records_); }
  // Start candidates and tree, once the weights are in the records.
  void prepare();
  // The scale for weights whose largest finite value is `top`: scale 2^shift
  // and quantum 2^-shift, chosen so that every finite weight quantises below
  // 2^quantum_bits_. False, leaving both as they are, when 2^shift
  // overflows: weights that small leave the tree unused.
  bool choose_scale(double top, double& scale, double& quantum) const noexcept;
  // Sets the level-1 rows of `tree` over cells [begin, end), begin at the
  // start of a row, to the sums of the candidates' weights quantised at
  // `scale`. The start tree and a tree quantised afresh during a
  // construction are both filled by this.
  void quantise_rows(QuantisedTree& tree, const CellSet& candidates, double scale, std::size_t begin,
                     std::size_t end) const;
  // Totals below this many quanta call for a fresh scale.
  Wide rescale_below() const noexcept;

  CacheAlignedVector<CellRecord> records_;  // a block of 16 records: four whole cache lines
  std::int64_t b_total_;
  int quantum_bits_;
  std::size_t in_flight_;
  ResourceOrder by_resource_;
  std::size_t initial_runs_ = 0;  // runs with b_ij <= b_total
  bool tree_ = false;             // whether constructions keep the tree and running sums

  std::vector<double> largest_;              // the largest finite weight of each chunk
  std::vector<std::size_t> chunk_counts_;    // candidates of each chunk at the start
  std::vector<std::size_t> chunk_infinite_;  // of them, those of weight +infinity
  bool quantised_ = false;       // scale_ is a finite power of two and the tree holds the sums
  double scale_ = 0.0;           // 2^shift
  double quantum_ = 0.0;         // 2^-shift
  CellSet start_candidates_;
  // Each cell's weight quantised at scale_ (0 unless positive), padded with
  // zeros to whole blocks: what the start tree sums.
  CacheAlignedVector<std::int64_t> units_;
  bool follow_sums_;
  std::size_t start_count_ = 0;
  std::size_t start_infinite_ = 0;
  QuantisedTree start_tree_;
  RunningSums start_sums_;
};

// The working state of one construction in flight, reused from one
// construction to the next. Aligned to kSharingRange, so that constructors
// built on by different threads share no cache line, nor a pair of them:
// their counters change at every step.
//
// A step runs in stages, each of which only starts fetching what the next
// one reads: aim (draw, and descend the tree to its lowest row), find (the
// block in that row), take (certify the pick and take the cell). When a take
// brings the budget below a run of the resource order, dropping that run's
// candidates is a stage of its own, in pieces. A construction on its own runs
// its stages one after the other; ConstructionPipeline keeps several in
// flight on one thread and visits them in turn, so that one's cache misses
// are fetched while the others work.
class alignas(kSharingRange) Constructor {
 public:
  // Allocates the storage that constructions on `plan` use, so that they
  // allocate nothing.
  void reserve(const ConstructionPlan& plan);

  // Builds one candidate; its cells are picked() afterwards. With `order`,
  // they are also appended to it in the order they were picked. One thread
  // at a time builds with a constructor.
  void construct(const ConstructionPlan& plan, OutputSource& outputs, std::vector<std::uint64_t>* order = nullptr);

  // The same construction a stage at a time: begin(), then advance() until
  // done(). Every step draws one output, in its first stage. With
  // `record_order`, order() lists the cells in the order they were picked.
  void begin(const ConstructionPlan& plan, bool record_order = false);
  bool done() const noexcept { return count_ == 0; }
  void advance(OutputSource& outputs);
  // All the stages left, one after the other.
  void finish(OutputSource& outputs);
  // At most `stages` of them; whether the construction is done.
  bool finish_some(OutputSource& outputs, std::size_t stages);

  // The cells the last construction picked.
  const CellSet& picked() const noexcept { return chosen_; }
  const std::vector<std::uint64_t>& order() const noexcept { return order_; }

  // Steps that needed the exact scan, since this constructor was made.
  std::uint64_t exact_steps() const noexcept { return exact_steps_; }

 private:
  class Drops;
  enum class Stage : std::uint8_t { Aim, Find, Take, Drop };

  // A pick from the tree between its stages.
  struct Pending {
    std::uint64_t output = 0;
    double slack = 0.0;      // relative bound of the rounding in sums (slack_of)
    double draw_low = 0.0;   // the draw lies in [draw_low, draw_high] for
    double draw_high = 0.0;  // every total the bounds allow
    std::size_t place = 0;   // the tree row, then the block, holding the target
    Wide before = 0;         // units before it
    std::int64_t offset = 0;  // the target's offset into it
  };

  void run_stage(OutputSource& outputs);
  void aim(OutputSource& outputs);
  void find() noexcept;
  void take_found();
  void drop_some();
  std::size_t direct_step(OutputSource& outputs);
  void requantise();
  // The quantised weight of a candidate, as the tree holds it: the plan's
  // scale gives exactly the units the plan put in the start tree.
  std::int64_t units(const CellRecord& r) const noexcept { return ConstructionPlan::units(r.weight, scale_); }
  bool total_surely_finite() const;
  template <class Sum>
  bool aim_at(std::uint64_t output);
  template <class Sum>
  bool certify(std::size_t& cell) const;
  std::size_t exact_pick(std::uint64_t output);
  double walk();
  std::size_t sole_candidate() const;
  void take(std::size_t cell);
  void admit(std::size_t cell);
  void drop(std::size_t cell);
  // Takes candidate `cell`, already out of candidates_, out of the running
  // sums. In a sweep, they forget the cell's group rather than keep it
  // current.
  void forget(std::size_t cell, const CellRecord& r, bool sweep = false) noexcept {
    if (!follow_sums_) return;
    if (sweep) {
      sums_.left_in_sweep(cell);
    } else {
      sums_.left(cell, r.weight);
    }
  }
  // A candidate of weight +infinity counts 0 in the tree.
  static bool infinite(const CellRecord& r) noexcept { return r.weight == ConstructionPlan::kInfinity; }
  // Whether the tree holds the candidates' units now: under a fresh scale
  // that is due, it is rebuilt before it is read again.
  bool tree_holds_units() const noexcept { return plan_->quantised_ && !rescale_due_; }
  // The plan's quantised weights when they are the tree's (kept by the plan,
  // and the construction on the plan's scale); else null.
  const std::int64_t* kept_units() const noexcept {
    return own_scale_ || plan_->units_.empty() ? nullptr : plan_->units_.data();
  }
  const CellRecord& record(std::size_t cell) const noexcept { return plan_->records_[cell]; }

  const ConstructionPlan* plan_ = nullptr;
  bool record_order_ = false;
  std::vector<std::uint64_t> order_;
  Stage stage_ = Stage::Aim;
  Pending pending_;
  // Budget drops still to make: positions [drop_next_, drop_end_) of the
  // resource order, the first of them in run drop_run_.
  std::size_t drop_next_ = 0;
  std::size_t drop_end_ = 0;
  std::size_t drop_run_ = 0;
  CellSet candidates_;  // free cells that fit the budget and weigh more than 0
  CellSet chosen_;
  QuantisedTree tree_;
  // The tree's quantum, 2^-shift: the plan's, until the candidates' total
  // falls so far below it that the tree loses its resolution and the
  // construction quantises its candidates afresh.
  double scale_ = 0.0;          // 2^shift
  double quantum_ = 0.0;        // 2^-shift
  bool own_scale_ = false;      // scale_ is this construction's, not the plan's
  bool rescale_due_ = false;    // a cell came in since, maybe above the scale
  Wide rescale_below_ = 0;      // totals below this many quanta call for a fresh scale
  RunningSums sums_;
  // Whether the running sums follow every change. A small task's do not:
  // each walk sums it afresh, at less than the following costs its steps.
  bool follow_sums_ = false;
  std::size_t count_ = 0;     // candidates
  std::size_t infinite_ = 0;  // candidates whose weight is +infinity
  std::size_t runs_ = 0;      // runs of the resource order within the budget
  __int128 used_ = 0;
  std::uint64_t exact_steps_ = 0;
  std::atomic<bool> building_{false};  // set during a construction, with checks on
};

// The pick of the straightforward construction for the candidates
// `candidates` weighing `weights`: the running sums are formed left to right
// exactly as a WeightedIndex forms them, then one output is drawn. Throws
// InternalFailure, before drawing, when they reach +infinity.
std::size_t pick_by_scan(WeightView weights, const CellSet& candidates, OutputSource& outputs);

}  // namespace corvane
