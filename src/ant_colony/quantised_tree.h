// Exact integer sums of quantised cell weights, for "which cell holds the
// t-th unit" queries and point updates.
//
// Cells are grouped in blocks of 16, blocks in rows of 16, rows in rows of
// 16 one level up, and so on to a single root row. Each level stores the sum
// of every child: an update adds its change to one entry per level, and a
// query reads one row per level, top down, forms its running sums and finds
// its child by a branch-free binary search over them. (Updates outnumber
// queries: every cell that the budget drops is one.) The cells of the final
// block are scanned by the caller, which knows the weights.
//
// Quantised weights stay below 2^quantum_bits(). Levels whose rows sum below
// 2^62 keep 64-bit sums; the levels above them, 128-bit sums. Small trees
// use coarser quanta so that every level is 64-bit; large ones keep 2^50
// quanta per weight, fine enough that a step of a construction over a
// million cells seldom needs the exact sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

using Wide = __int128;

class QuantisedTree {
 public:
  static constexpr std::size_t kBlock = 16;   // cells per block
  static constexpr std::size_t kFanout = 16;  // entries per row
  static constexpr std::size_t kRowCells = kBlock * kFanout;

  // Every quantised weight of a tree over `cells` cells is below 2^result.
  static int quantum_bits(std::size_t cells) noexcept { return cells <= kNarrowCells ? 46 : 50; }

  // Sizes the tree for `cells` cells; the sums are then set with set_row()
  // for every level-1 row and completed with finish().
  void resize(std::size_t cells);
  // The sums of the 16 blocks of level-1 row `row` (0 past the last cell).
  void set_row(std::size_t row, const std::int64_t* block_sums) noexcept;
  // Builds the levels above level 1.
  void finish();
  // Becomes a copy of `other`, reusing this tree's storage.
  void copy_from(const QuantisedTree& other);

  Wide total() const noexcept { return total_; }

  // Adds `delta` to the weight of `cell`.
  void add(std::size_t cell, std::int64_t delta) noexcept;
  // Adds deltas[k] to block k of level-1 row `row`, for k = 0 .. 15.
  void add_to_row(std::size_t row, const std::int64_t* deltas) noexcept;

  // The block holding unit `target` (0 <= target < total()): the units
  // before it, and the target's offset into it, are returned through
  // `before` and `offset`.
  std::size_t find_block(Wide target, Wide& before, std::int64_t& offset) const noexcept;

 private:
  // Up to 2^16 cells every level is 64-bit with 2^46 quanta.
  static constexpr std::size_t kNarrowCells = std::size_t{1} << 16;

  struct Level {
    bool wide;
    std::size_t offset;   // into narrow_ or wide_
    std::size_t entries;  // in use; the storage holds whole rows
  };
  void propagate(std::size_t level, std::size_t entry, Wide delta) noexcept;

  std::vector<Level> levels_;  // level 1 (one entry per block) first, the root row last
  std::vector<std::int64_t> narrow_;
  std::vector<Wide> wide_;
  Wide total_ = 0;
};

}  // namespace corvane
