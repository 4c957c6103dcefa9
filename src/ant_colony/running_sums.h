// Exact left-to-right running sums of the candidates' weights, computed a
// block of cells at a time.
//
// Floating-point addition is not associative, so the running sums a
// WeightedIndex forms can only be reproduced in order. But while a running
// sum S stays within one binade [2^e, 2^(e+1)), every addition rounds to the
// same grid of multiples of 2^(e-52): fl(S + w) = S + round(w), with round()
// to the nearest multiple, as long as no weight lies exactly halfway between
// two multiples. So a block whose cells keep S inside one binade adds the
// same exact amount whatever S is within that binade; that amount is cached
// per block and binade. Blocks where S crosses into the next binade, or that
// hold a halfway weight, are added cell by cell. Groups of 64 blocks cache
// their amounts the same way, so that a walk over a million cells mostly
// steps a group at a time.
//
// As candidates come and go, a group's amount is kept up to date, while a
// changed block is only marked, to be rebuilt by the next walk if it needs
// it: a construction changes its state at every step and walks seldom, and
// the groups are few enough to stay in the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ant_colony/cell_record.h"
#include "ant_colony/cell_set.h"
#include "runtime/cache_aligned.h"
#include "runtime/check.h"

namespace corvane {

class RunningSums {
 public:
  // A block is one word of a CellSet; a group, 64 blocks.
  static constexpr std::size_t kBlock = CellSet::kWordBits;
  static constexpr std::size_t kGroup = 64;

  // Sizes for `cells` cells, with nothing cached: afterwards restart() from
  // a cache of as many cells, and walking it, allocate nothing.
  void resize(std::size_t cells);
  // Starts over from `start`, the cache of the same cells for the
  // candidates a construction starts with. Nothing is copied until the first
  // walk; changes until then are only marked, so that a construction that
  // never walks spends next to nothing here.
  void restart(const RunningSums& start);
  // The same, with every block marked as changed: for a construction that
  // reports no changes, so that its next walk sums every block afresh.
  void restart_all_changed(const RunningSums& start);

  // `cell`, of weight `weight`, became a candidate (joined) or stopped
  // being one (left).
  void joined(std::size_t cell, double weight) noexcept { change(cell, weight, 1.0); }
  void left(std::size_t cell, double weight) noexcept { change(cell, weight, -1.0); }
  // `cell` stopped being a candidate in a sweep that changes most groups at
  // once (the budget dropping a large run): its group's cached amount is
  // dropped too, to be rebuilt by the next walk if one comes, instead of
  // being kept current at every such change.
  void left_in_sweep(std::size_t cell) noexcept {
    forget_walk();
    mark(cell / kBlock);
    if (start_ == nullptr) groups_[cell / kBlock / kGroup].exponent = kNoExponent;
  }

  // Runs the sums over the candidates (the cells of `candidates`, weighing
  // `weights`) and returns the total; afterwards pick() can answer for any
  // output. The total may be +infinity.
  double walk(WeightView weights, const CellSet& candidates);

  // The cell that a WeightedIndex over the candidates (in cell order) picks
  // for `output`, after walk() and with no change in between; `total` is
  // what walk() returned and must be finite.
  std::size_t pick(WeightView weights, const CellSet& candidates, double total, std::uint64_t output);

 private:
  struct Block {
    int exponent;           // binade the cached sum is for; kNoExponent when none
    std::uint32_t halfway;  // weights exactly halfway between two grid points
    double sum;             // exact sum of the rounded weights, when below 2^exponent
  };
  static constexpr int kNoExponent = -100000;

  void change(std::size_t cell, double weight, double sign) noexcept {
    forget_walk();
    mark(cell / kBlock);
    if (start_ == nullptr) change_cached(groups_[cell / kBlock / kGroup], weight, sign);
  }
  void mark(std::size_t block) noexcept { marked_[block / 64] |= std::uint64_t{1} << (block % 64); }
  // With checks on, pick() must follow a walk with no change since.
  void forget_walk() noexcept {
    if constexpr (kChecksOn) walked_ = false;
  }
  void adopt();
  // Forgets the cached amounts of the groups that hold marked blocks.
  void forget_marked_groups() noexcept;
  // Block `block`, whose candidates are `word`, with its amount for binade
  // `exponent`: rebuilt from its cells if it is marked or cached for another
  // binade.
  const Block& cached(std::size_t block, int exponent, WeightView weights, std::uint64_t word) noexcept;
  bool ready_for(std::size_t group, int exponent, WeightView weights, const CellSet& candidates) noexcept;
  double add_block(std::size_t block, double running, WeightView weights, const CellSet& candidates) noexcept;
  void refresh(WeightView weights, std::uint64_t word, std::size_t block, int exponent) noexcept;
  static void change_cached(Block& b, double weight, double sign) noexcept;

  CacheAlignedVector<Block> blocks_;
  CacheAlignedVector<Block> groups_;   // the same amounts for groups of kGroup blocks
  CacheAlignedVector<double> starts_;  // running sum before each group, after walk()
  const RunningSums* start_ = nullptr;  // the cache to adopt at the next walk
  CacheAlignedVector<std::uint64_t> marked_;   // a bit per block changed since its amount was cached
  bool walked_ = false;                        // a walk and no change since, with checks on
};

}  // namespace corvane
