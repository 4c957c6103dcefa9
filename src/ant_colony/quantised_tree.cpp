#include "ant_colony/quantised_tree.h"

#include <algorithm>

namespace corvane {
namespace {

// The child of a row whose units hold `target` (below the row's total):
// the number of its running sums that are <= target, found by a branch-free
// binary search over them. `before` receives the units of the children
// before it.
template <class T>
std::size_t child_holding(const T* sums, T target, T& before) noexcept {
  static_assert(QuantisedTree::kFanout == 16);
  T running[QuantisedTree::kFanout];  // running[c]: the units before child c
  running[0] = 0;
  for (std::size_t k = 1; k < QuantisedTree::kFanout; ++k) running[k] = running[k - 1] + sums[k - 1];
  std::size_t child = 0;
  for (std::size_t step = QuantisedTree::kFanout / 2; step > 0; step /= 2) {
    child += running[child + step] <= target ? step : 0;
  }
  before = running[child];
  return child;
}

std::size_t rows_for(std::size_t entries) {
  return std::max<std::size_t>(1, (entries + QuantisedTree::kFanout - 1) / QuantisedTree::kFanout);
}

}  // namespace

void QuantisedTree::resize(std::size_t cells) {
  // A level is 64-bit while one of its rows sums below 2^62.
  const int bits = quantum_bits(cells);
  levels_.clear();
  std::size_t narrow = 0;
  std::size_t wide = 0;
  std::size_t entries = (cells + kBlock - 1) / kBlock;
  std::size_t row_cells = kRowCells;
  bool wide_level = false;
  for (;;) {
    wide_level = wide_level || row_cells > (std::size_t{1} << (62 - bits));
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

void QuantisedTree::set_row(std::size_t row, const std::int64_t* block_sums) noexcept {
  std::copy(block_sums, block_sums + kFanout, narrow_.begin() + static_cast<std::ptrdiff_t>(row * kFanout));
}

void QuantisedTree::finish() {
  // Each entry of a level is the sum of one row of the level below.
  const auto entry_at = [this](const Level& level, std::size_t k) {
    return level.wide ? wide_[level.offset + k] : Wide{narrow_[level.offset + k]};
  };
  for (std::size_t level = 1; level < levels_.size(); ++level) {
    const Level& below = levels_[level - 1];
    const Level& here = levels_[level];
    for (std::size_t entry = 0; entry < rows_for(here.entries) * kFanout; ++entry) {
      Wide sum = 0;
      if (entry < here.entries) {
        for (std::size_t k = entry * kFanout; k < entry * kFanout + kFanout; ++k) sum += entry_at(below, k);
      }
      if (here.wide) {
        wide_[here.offset + entry] = sum;
      } else {
        narrow_[here.offset + entry] = static_cast<std::int64_t>(sum);
      }
    }
  }
  total_ = 0;
  for (std::size_t k = 0; k < kFanout; ++k) total_ += entry_at(levels_.back(), k);
}

void QuantisedTree::copy_from(const QuantisedTree& other) {
  levels_ = other.levels_;
  narrow_.assign(other.narrow_.begin(), other.narrow_.end());
  wide_.assign(other.wide_.begin(), other.wide_.end());
  total_ = other.total_;
}

void QuantisedTree::propagate(std::size_t level, std::size_t entry, Wide delta) noexcept {
  for (; level < levels_.size(); ++level, entry /= kFanout) {
    const Level& l = levels_[level];
    if (l.wide) {
      wide_[l.offset + entry] += delta;
    } else {
      narrow_[l.offset + entry] += static_cast<std::int64_t>(delta);
    }
  }
  total_ += delta;
}

void QuantisedTree::add(std::size_t cell, std::int64_t delta) noexcept { propagate(0, cell / kBlock, delta); }

void QuantisedTree::add_to_row(std::size_t row, const std::int64_t* deltas) noexcept {
  std::int64_t sum = 0;
  std::int64_t* entries = narrow_.data() + row * kFanout;
  for (std::size_t k = 0; k < kFanout; ++k) {
    entries[k] += deltas[k];
    sum += deltas[k];
  }
  propagate(1, row, sum);
}

std::size_t QuantisedTree::find_block(Wide target, Wide& before, std::int64_t& offset) const noexcept {
  Wide units_before = 0;
  std::size_t row = 0;
  std::size_t level = levels_.size();
  for (; level-- > 0 && levels_[level].wide;) {
    Wide passed = 0;
    row = row * kFanout + child_holding(wide_.data() + levels_[level].offset + row * kFanout, target, passed);
    units_before += passed;
    target -= passed;
  }
  // From here down the target lies within one 64-bit row.
  auto rest = static_cast<std::int64_t>(target);
  for (level += 1; level-- > 0;) {
    std::int64_t passed = 0;
    row = row * kFanout + child_holding(narrow_.data() + levels_[level].offset + row * kFanout, rest, passed);
    units_before += passed;
    rest -= passed;
  }
  before = units_before;
  offset = rest;
  return row;
}

}  // namespace corvane
