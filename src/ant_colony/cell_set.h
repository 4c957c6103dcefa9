// A set of cells, one bit per row-major cell index: the candidates of a
// construction, or the cells a candidate solution chose.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/cache_aligned.h"

namespace corvane {

class CellSet {
 public:
  static constexpr std::size_t kWordBits = 64;

  CellSet() = default;
  explicit CellSet(std::size_t cells) : cells_(cells), words_((cells + kWordBits - 1) / kWordBits, 0) {}

  std::size_t cells() const noexcept { return cells_; }
  bool contains(std::size_t cell) const noexcept { return (words_[cell / kWordBits] >> (cell % kWordBits)) & 1; }
  void insert(std::size_t cell) noexcept { words_[cell / kWordBits] |= std::uint64_t{1} << (cell % kWordBits); }
  void erase(std::size_t cell) noexcept { words_[cell / kWordBits] &= ~(std::uint64_t{1} << (cell % kWordBits)); }
  // Erases `cell`; whether it was in the set.
  bool take(std::size_t cell) noexcept {
    std::uint64_t& word = words_[cell / kWordBits];
    const std::uint64_t bit = std::uint64_t{1} << (cell % kWordBits);
    const bool present = (word & bit) != 0;
    word &= ~bit;
    return present;
  }

  // Word k holds cells 64k .. 64k + 63, the lowest cell in the lowest bit.
  std::uint64_t word(std::size_t k) const noexcept { return words_[k]; }
  std::uint64_t* words() noexcept { return words_.data(); }
  const std::uint64_t* words() const noexcept { return words_.data(); }
  std::size_t word_count() const noexcept { return words_.size(); }

  std::size_t count() const noexcept {
    std::size_t total = 0;
    for (std::uint64_t w : words_) total += static_cast<std::size_t>(std::popcount(w));
    return total;
  }

  // Becomes a copy of `other`, reusing this set's storage.
  void assign(const CellSet& other) {
    cells_ = other.cells_;
    words_.assign(other.words_.begin(), other.words_.end());
  }
  // Empties the set and sizes it for `cells` cells, reusing its storage.
  void clear(std::size_t cells) {
    cells_ = cells;
    words_.assign((cells + kWordBits - 1) / kWordBits, 0);
  }

  // Calls visit(cell) for every cell of the set, in increasing order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t k = 0; k < words_.size(); ++k) {
      for (std::uint64_t w = words_[k]; w != 0; w &= w - 1) {
        visit(k * kWordBits + static_cast<std::size_t>(std::countr_zero(w)));
      }
    }
  }

  friend bool operator==(const CellSet&, const CellSet&) = default;

 private:
  std::size_t cells_ = 0;
  CacheAlignedVector<std::uint64_t> words_;
};

}  // namespace corvane
