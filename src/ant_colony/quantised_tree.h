// Exact integer sums of quantised cell weights, for "which cell holds the
// t-th unit" queries and point updates.
//
// Cells are grouped in blocks of 16, blocks in rows of 16, rows in rows of
// 16 one level up, and so on to a single root row. A query reads one row per
// level, top down, and finds the child holding its target without
// branching; an update changes one row per level. 64-bit rows hold running
// sums (entry k: children 0 .. k), so that a query only counts the entries
// not above its target and an update adds to a row's tail, both in vector
// registers; 128-bit rows hold plain sums. The cells of the final block are
// scanned by the caller, which knows the weights.
//
// Quantised weights stay below 2^quantum_bits(). Levels whose rows sum below
// 2^62 keep 64-bit sums; the levels above them, 128-bit sums. Up to 2^22
// cells the quanta are as fine as an all-64-bit tree allows (2^42 at a
// million cells, which still leaves the exact sums to a few hundred steps in
// a million); beyond, weights keep 2^50 quanta and the top levels widen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/cache_aligned.h"

namespace corvane {

using Wide = __int128;

class QuantisedTree {
 public:
  static constexpr std::size_t kBlock = 16;   // cells per block
  static constexpr std::size_t kFanout = 16;  // entries per row
  static constexpr std::size_t kRowCells = kBlock * kFanout;

  // Every quantised weight of a tree over `cells` cells is below 2^result.
  static int quantum_bits(std::size_t cells) noexcept;

  // Sizes the tree for `cells` cells whose quantised weights are below
  // 2^bits (at most 54); the sums are then set with set_row() for every
  // level-1 row and completed with finish().
  void resize(std::size_t cells, int bits);
  // The sums of the 16 blocks of level-1 row `row` (0 past the last cell),
  // each at least 0.
  void set_row(std::size_t row, const std::int64_t* block_sums);
  // Builds the levels above level 1.
  void finish();
  // Becomes a copy of `other`, reusing this tree's storage.
  void copy_from(const QuantisedTree& other);

  Wide total() const noexcept { return total_; }
  // Whether every level holds 64-bit sums, so that the total does too.
  bool narrow() const noexcept { return !levels_.back().wide; }

  // Adds `delta` to the weight of `cell`; no sum falls below 0.
  void add(std::size_t cell, std::int64_t delta);
  // Adds deltas[k] to block k of level-1 row `row`, for k = 0 .. 15.
  void add_to_row(std::size_t row, const std::int64_t* deltas);

  // The block holding unit `target` (0 <= target < total()): the units
  // before it, and the target's offset into it, are returned through
  // `before` and `offset`.
  std::size_t find_block(Wide target, Wide& before, std::int64_t& offset) const;
  // The same for a narrow() tree.
  std::size_t find_block(std::int64_t target, std::int64_t& before, std::int64_t& offset) const;

  // The same query in two halves, for a caller that fetches the lowest row
  // in between: find_row() descends to the level-1 row that holds unit
  // `target` (the units before the row, and the target's offset into it,
  // through `before` and `offset`), and find_in_row() finds the block in it.
  std::size_t find_row(Wide target, Wide& before, std::int64_t& offset) const;
  std::size_t find_row(std::int64_t target, std::int64_t& before, std::int64_t& offset) const;
  std::size_t find_in_row(std::size_t row, std::int64_t target, std::int64_t& before, std::int64_t& offset) const;
  // Starts fetching level-1 row `row` into the cache.
  void prefetch_row(std::size_t row) const noexcept {
    const std::int64_t* entries = narrow_.data() + row * kFanout;
    __builtin_prefetch(entries);
    __builtin_prefetch(entries + kFanout - 1);
  }

 private:
  struct Level {
    bool wide;
    std::size_t offset;   // into narrow_ or wide_
    std::size_t entries;  // in use; the storage holds whole rows
  };
  void propagate(std::size_t level, std::size_t entry, Wide delta);
  Wide row_total(const Level& level, std::size_t row) const noexcept;
  // Descends the 64-bit levels [bottom, top) from `row` of level top - 1.
  std::size_t find_in_narrow(std::size_t top, std::size_t bottom, std::size_t row, std::int64_t target,
                             std::int64_t& before, std::int64_t& offset) const noexcept;

  std::vector<Level> levels_;  // level 1 (one entry per block) first, the root row last
  CacheAlignedVector<std::int64_t> narrow_;
  CacheAlignedVector<Wide> wide_;
  Wide total_ = 0;
};

}  // namespace corvane
