// A set of cells, one bit per row-major cell index: the candidates of a
// construction, or the cells a candidate solution chose; and SetBits, the
// walk over the set bits of a word or of a run of words that every loop over
// such bits goes through.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <type_traits>
#include <vector>

#include "runtime/cache_aligned.h"
#include "runtime/check.h"

namespace corvane {

// The positions of the set bits, lowest first, as a range (in the spirit of
// Abseil's BitMask): of one word, each position plus `base`,
//
//   for (std::size_t cell : SetBits(word, base)) ...
//
// or of words [first, last) of an array, where bit b of words[k] is position
// k * (bits of Word) + b. A step clears the lowest set bit (w & (w - 1)) and
// counts the zeros below the next one.
template <class Word>
class SetBits {
  static_assert(std::is_unsigned_v<Word>);

 public:
  static constexpr std::size_t kWordBits = std::numeric_limits<Word>::digits;

  constexpr explicit SetBits(Word word, std::size_t base = 0) noexcept : bits_(word), base_(base) {}
  constexpr SetBits(const Word* words, std::size_t first, std::size_t last) noexcept
      : next_(words + first), end_(words + last), base_(first * kWordBits) {
    if (next_ != end_) bits_ = *next_++;
  }

  class Iterator {
   public:
    constexpr std::size_t operator*() const noexcept {
      return walk_.base_ + static_cast<std::size_t>(std::countr_zero(walk_.bits_));
    }
    constexpr Iterator& operator++() noexcept {
      walk_.bits_ &= walk_.bits_ - 1;
      walk_.skip_empty_words();
      return *this;
    }
    constexpr bool operator==(std::default_sentinel_t) const noexcept { return walk_.bits_ == 0; }

   private:
    friend class SetBits;
    constexpr explicit Iterator(const SetBits& walk) noexcept : walk_(walk) { walk_.skip_empty_words(); }
    SetBits walk_;
  };

  constexpr Iterator begin() const noexcept { return Iterator(*this); }
  constexpr std::default_sentinel_t end() const noexcept { return {}; }

 private:
  constexpr void skip_empty_words() noexcept {
    while (bits_ == 0 && next_ != end_) {
      bits_ = *next_++;
      base_ += kWordBits;
    }
  }

  const Word* next_ = nullptr;  // the next word to read; a single word has none
  const Word* end_ = nullptr;
  Word bits_ = 0;               // bits not yet visited of the current word
  std::size_t base_ = 0;        // position of the current word's bit 0
};

class CellSet {
 public:
  static constexpr std::size_t kWordBits = SetBits<std::uint64_t>::kWordBits;

  CellSet() = default;
  // The words that hold cells 0 .. cells - 1.
  static constexpr std::size_t words_for(std::size_t cells) noexcept { return (cells + kWordBits - 1) / kWordBits; }

  explicit CellSet(std::size_t cells) : cells_(cells), words_(words_for(cells), 0) {}

  // The bytes that the words of a set of `cells` cells take.
  static std::size_t storage_bytes(std::size_t cells) noexcept {
    return CacheAlignedAllocator<std::uint64_t>::bytes(words_for(cells));
  }
  // Allocates room for `cells` cells without touching it: assign() and
  // clear() of sets up to that size then allocate nothing.
  void reserve(std::size_t cells) { words_.reserve(words_for(cells)); }

  std::size_t cells() const noexcept { return cells_; }
  // Each of these takes a cell below cells().
  bool contains(std::size_t cell) const {
    CORVANE_CHECK(cell < cells_, "a cell of the set");
    return (words_[cell / kWordBits] >> (cell % kWordBits)) & 1;
  }
  void insert(std::size_t cell) {
    CORVANE_CHECK(cell < cells_, "a cell of the set");
    words_[cell / kWordBits] |= std::uint64_t{1} << (cell % kWordBits);
  }
  void erase(std::size_t cell) {
    CORVANE_CHECK(cell < cells_, "a cell of the set");
    words_[cell / kWordBits] &= ~(std::uint64_t{1} << (cell % kWordBits));
  }
  // Erases `cell`; whether it was in the set.
  bool take(std::size_t cell) {
    CORVANE_CHECK(cell < cells_, "a cell of the set");
    std::uint64_t& word = words_[cell / kWordBits];
    const std::uint64_t bit = std::uint64_t{1} << (cell % kWordBits);
    const bool present = (word & bit) != 0;
    word &= ~bit;
    return present;
  }

  // Starts fetching the word of `cell` into the cache, to be written.
  void prefetch(std::size_t cell) const noexcept { __builtin_prefetch(words_.data() + cell / kWordBits, 1); }

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
    words_.assign(words_for(cells), 0);
  }

  // The cells of the set, in increasing order; of words [first, last) only.
  SetBits<std::uint64_t> members() const noexcept { return {words_.data(), 0, words_.size()}; }
  SetBits<std::uint64_t> members(std::size_t first, std::size_t last) const {
    CORVANE_CHECK(first <= last && last <= words_.size(), "words of the set");
    return {words_.data(), first, last};
  }

  friend bool operator==(const CellSet&, const CellSet&) = default;

 private:
  std::size_t cells_ = 0;
  CacheAlignedVector<std::uint64_t> words_;
};

}  // namespace corvane
