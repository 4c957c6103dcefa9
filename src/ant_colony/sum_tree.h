// A tree of exact integer partial sums over a row of leaves: point updates
// and "which leaf holds the t-th unit" queries, both in O(log n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

using Wide = __int128;

class SumTree {
 public:
  static constexpr std::size_t kFanout = 16;

  // Sizes the tree for the given leaves (each below 2^63) and sums them up.
  void assign(const std::vector<std::int64_t>& leaves);
  // Sizes the tree for `count` leaves, to be written through leaves() and
  // then summed up by rebuild().
  void resize(std::size_t count);
  std::int64_t* leaves() noexcept { return leaves_.data(); }
  void rebuild();
  // Becomes a copy of `other`, reusing this tree's storage.
  void copy_from(const SumTree& other);

  std::int64_t leaf(std::size_t i) const noexcept { return leaves_[i]; }
  Wide total() const noexcept { return inner_.empty() ? Wide{0} : inner_.back(); }

  void set(std::size_t leaf, std::int64_t value) noexcept;

  // The first leaf whose inclusive prefix sum exceeds `target`, for
  // 0 <= target < total(); `before` receives the sum of the leaves before it.
  std::size_t find(Wide target, Wide& before) const noexcept;

 private:
  std::vector<std::int64_t> leaves_;
  std::vector<Wide> inner_;           // level 1, level 2, ..., the root last
  std::vector<std::size_t> offsets_;  // where each inner level starts in inner_
  std::vector<std::size_t> sizes_;    // node count of each level, leaves first
};

}  // namespace corvane
