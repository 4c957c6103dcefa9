#include "ant_colony/quantised_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "runtime/check.h"

namespace corvane {
namespace {

constexpr std::size_t kFanout = QuantisedTree::kFanout;
static_assert(kFanout == 16);

// The hot loops below are compiled twice, for AVX2 and for the baseline
// instruction set, and the first call picks the version the processor
// runs. Both compute the same integers.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define CORVANE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CORVANE_VECTOR_CLONES
#endif

// Four 64-bit lanes: one AVX2 register, or two SSE2 ones.
using Quad = std::int64_t __attribute__((vector_size(32)));

// A 64-bit row holds running sums: entry k is children 0 .. k. The child
// whose units hold `target` (below the row's total) is the number of entries
// <= target, counted without branches; `before` receives the entry before it.
inline std::size_t child_in_running(const std::int64_t* running, std::int64_t target, std::int64_t& before) noexcept {
  const Quad t = {target, target, target, target};
  Quad above = {0, 0, 0, 0};
  for (std::size_t k = 0; k < kFanout; k += 4) {
    Quad entries;
    std::memcpy(&entries, running + k, sizeof entries);
    above += entries > t;  // -1 per entry above the target
  }
  const auto child =
      static_cast<std::size_t>(static_cast<std::int64_t>(kFanout) + above[0] + above[1] + above[2] + above[3]);
  before = child == 0 ? 0 : running[child - 1];
  return child;
}

// Adds `delta` to entries from..15 of a running row, with masks.
struct TailMasks {
  std::int64_t masks[kFanout][kFanout];
  constexpr TailMasks() : masks() {
    for (std::size_t from = 0; from < kFanout; ++from) {
      for (std::size_t k = 0; k < kFanout; ++k) masks[from][k] = k >= from ? -1 : 0;
    }
  }
};
constexpr TailMasks kTail;

inline void add_to_tail(std::int64_t* running, std::size_t from, std::int64_t delta) noexcept {
  const Quad d = {delta, delta, delta, delta};
  const std::int64_t* mask = kTail.masks[from];
  for (std::size_t k = 0; k < kFanout; k += 4) {
    Quad entries;
    Quad selected;
    std::memcpy(&entries, running + k, sizeof entries);
    std::memcpy(&selected, mask + k, sizeof selected);
    entries += d & selected;
    std::memcpy(running + k, &entries, sizeof entries);
  }
}

// A 128-bit row holds plain sums of its children. The child holding
// `target` is found from their running sums by a branch-free binary search.
std::size_t child_in_sums(const Wide* sums, Wide target, Wide& before) noexcept {
  Wide running[kFanout];  // running[c]: the units before child c
  running[0] = 0;
  for (std::size_t k = 1; k < kFanout; ++k) running[k] = running[k - 1] + sums[k - 1];
  std::size_t child = 0;
  for (std::size_t step = kFanout / 2; step > 0; step /= 2) child += running[child + step] <= target ? step : 0;
  before = running[child];
  return child;
}

// A whole query: the row, then the block in it.
template <class Sum>
std::size_t both_halves(const QuantisedTree& tree, Sum target, Sum& before, std::int64_t& offset) {
  std::int64_t in_row = 0;
  std::int64_t before_in_row = 0;
  const std::size_t row = tree.find_row(target, before, in_row);
  const std::size_t block = tree.find_in_row(row, in_row, before_in_row, offset);
  before += before_in_row;
  return block;
}

std::size_t rows_for(std::size_t entries) { return std::max<std::size_t>(1, (entries + kFanout - 1) / kFanout); }

}  // namespace

int QuantisedTree::quantum_bits(std::size_t cells) noexcept {
  constexpr int kFinest = 54;  // plenty for any task the exact sums would still serve
  constexpr int kCoarsest = 40;
  const int narrow = 62 - static_cast<int>(std::bit_width(std::max<std::size_t>(cells, 2) - 1));
  if (narrow >= kCoarsest) return std::min(narrow, kFinest);
  return 50;
}

void QuantisedTree::resize(std::size_t cells, int bits) {
  CORVANE_CHECK(bits > 0 && bits <= 54, "quantised weights below 2^bits, 0 < bits <= 54");
  // A level is 64-bit while one of its rows sums below 2^62.
  levels_.clear();
  std::size_t narrow = 0;
  std::size_t wide = 0;
  std::size_t entries = (cells + kBlock - 1) / kBlock;
  std::size_t row_cells = kRowCells;
  bool wide_level = false;
  for (;;) {
    wide_level = wide_level || std::min(row_cells, cells) > (std::size_t{1} << (62 - bits));
    const std::size_t storage = rows_for(entries) * kFanout;
    levels_.push_back(Level{wide_level, wide_level ? wide : narrow, entries});
    (wide_level ? wide : narrow) += storage;
    if (entries <= kFanout) break;
    entries = rows_for(entries);
    row_cells *= kFanout;
  }
  narrow_.assign(narrow, 0);
  wide_.assign(wide, 0);
  total_ = 0;
}

void QuantisedTree::set_row(std::size_t row, const std::int64_t* block_sums) {
  CORVANE_CHECK(row < rows_for(levels_.front().entries), "a level-1 row of the tree");
  std::int64_t running = 0;
  for (std::size_t k = 0; k < kFanout; ++k) {
    CORVANE_CHECK(block_sums[k] >= 0, "a block's sum is at least 0");
    running += block_sums[k];
    narrow_[row * kFanout + k] = running;
  }
}

Wide QuantisedTree::row_total(const Level& level, std::size_t row) const noexcept {
  if (!level.wide) return narrow_[level.offset + row * kFanout + kFanout - 1];
  Wide sum = 0;
  for (std::size_t k = 0; k < kFanout; ++k) sum += wide_[level.offset + row * kFanout + k];
  return sum;
}

void QuantisedTree::finish() {
  // Each entry of a level stands for one row of the level below: its total,
  // kept as a running sum along the entry's own row on 64-bit levels.
  for (std::size_t level = 1; level < levels_.size(); ++level) {
    const Level& below = levels_[level - 1];
    const Level& here = levels_[level];
    Wide running = 0;
    for (std::size_t entry = 0; entry < rows_for(here.entries) * kFanout; ++entry) {
      if (entry % kFanout == 0) running = 0;
      const Wide total = entry < here.entries ? row_total(below, entry) : Wide{0};
      running += total;
      if (here.wide) {
        wide_[here.offset + entry] = total;
      } else {
        narrow_[here.offset + entry] = static_cast<std::int64_t>(running);
      }
    }
  }
  total_ = row_total(levels_.back(), 0);
}

void QuantisedTree::copy_from(const QuantisedTree& other) {
  levels_ = other.levels_;
  narrow_.assign(other.narrow_.begin(), other.narrow_.end());
  wide_.assign(other.wide_.begin(), other.wide_.end());
  total_ = other.total_;
}

CORVANE_VECTOR_CLONES
void QuantisedTree::propagate(std::size_t level, std::size_t entry, Wide delta) {
  for (; level < levels_.size(); ++level, entry /= kFanout) {
    const Level& l = levels_[level];
    if (l.wide) {
      wide_[l.offset + entry] += delta;
    } else {
      add_to_tail(narrow_.data() + l.offset + entry / kFanout * kFanout, entry % kFanout,
                  static_cast<std::int64_t>(delta));
    }
  }
  total_ += delta;
  CORVANE_CHECK(total_ >= 0, "the tree's total stays at least 0");
}

void QuantisedTree::add(std::size_t cell, std::int64_t delta) {
  CORVANE_CHECK(cell / kBlock < levels_.front().entries, "a cell of the tree");
  propagate(0, cell / kBlock, delta);
}

CORVANE_VECTOR_CLONES
void QuantisedTree::add_to_row(std::size_t row, const std::int64_t* deltas) {
  CORVANE_CHECK(row < rows_for(levels_.front().entries), "a level-1 row of the tree");
  std::int64_t running = 0;
  std::int64_t* entries = narrow_.data() + row * kFanout;
  for (std::size_t k = 0; k < kFanout; ++k) {
    running += deltas[k];
    entries[k] += running;
  }
  propagate(1, row, running);
}

std::size_t QuantisedTree::find_block(Wide target, Wide& before, std::int64_t& offset) const {
  return both_halves(*this, target, before, offset);
}

std::size_t QuantisedTree::find_block(std::int64_t target, std::int64_t& before, std::int64_t& offset) const {
  return both_halves(*this, target, before, offset);
}

std::size_t QuantisedTree::find_row(Wide target, Wide& before, std::int64_t& offset) const {
  CORVANE_CHECK(target >= 0 && target < total_, "a tree query's target lies in [0, total)");
  // The 128-bit levels, from the root down; from there on the target lies
  // within one 64-bit row.
  Wide units_before = 0;
  std::size_t row = 0;
  std::size_t level = levels_.size();
  for (; level-- > 0 && levels_[level].wide;) {
    Wide passed = 0;
    row = row * kFanout + child_in_sums(wide_.data() + levels_[level].offset + row * kFanout, target, passed);
    units_before += passed;
    target -= passed;
  }
  std::int64_t narrow_before = 0;
  row = find_in_narrow(level + 1, 1, row, static_cast<std::int64_t>(target), narrow_before, offset);
  before = units_before + narrow_before;
  return row;
}

std::size_t QuantisedTree::find_row(std::int64_t target, std::int64_t& before, std::int64_t& offset) const {
  CORVANE_CHECK(narrow(), "a 64-bit query of a tree whose sums are all 64-bit");
  CORVANE_CHECK(target >= 0 && target < total_, "a tree query's target lies in [0, total)");
  return find_in_narrow(levels_.size(), 1, 0, target, before, offset);
}

std::size_t QuantisedTree::find_in_row(std::size_t row, std::int64_t target, std::int64_t& before,
                                       std::int64_t& offset) const {
  CORVANE_CHECK(row < rows_for(levels_.front().entries), "a level-1 row of the tree");
  CORVANE_CHECK(target >= 0 && target < narrow_[row * kFanout + kFanout - 1], "a target within the row's units");
  return find_in_narrow(1, 0, row, target, before, offset);
}

CORVANE_VECTOR_CLONES
std::size_t QuantisedTree::find_in_narrow(std::size_t top, std::size_t bottom, std::size_t row, std::int64_t target,
                                          std::int64_t& before, std::int64_t& offset) const noexcept {
  std::int64_t units_before = 0;
  for (std::size_t level = top; level-- > bottom;) {
    std::int64_t passed = 0;
    row = row * kFanout + child_in_running(narrow_.data() + levels_[level].offset + row * kFanout, target, passed);
    units_before += passed;
    target -= passed;
  }
  before = units_before;
  offset = target;
  return row;
}

}  // namespace corvane
