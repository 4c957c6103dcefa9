// A tree of exact integer partial sums over a row of leaves: point updates
// and "which leaf holds the t-th unit" queries, both in O(log n).
#pragma once

#include <cstddef>
#include <vector>

namespace corvane {

using Wide = __int128;

class SumTree {
 public:
  static constexpr std::size_t kFanout = 16;

  // Sizes the tree for `leaves` leaves from the given values.
  void assign(const std::vector<Wide>& leaves);
  // Becomes a copy of `other`, reusing this tree's storage.
  void copy_from(const SumTree& other);

  std::size_t size() const noexcept { return leaves_; }
  Wide leaf(std::size_t i) const noexcept { return nodes_[i]; }
  Wide total() const noexcept { return nodes_.empty() ? Wide{0} : nodes_.back(); }

  void add(std::size_t leaf, Wide delta) noexcept;

  // The first leaf whose inclusive prefix sum exceeds `target`, for
  // 0 <= target < total(); `before` receives the sum of the leaves before it.
  std::size_t find(Wide target, Wide& before) const noexcept;

 private:
  std::vector<Wide> nodes_;           // level 0 (the leaves), level 1, ..., the root last
  std::vector<std::size_t> offsets_;  // where each level starts in nodes_
  std::vector<std::size_t> sizes_;    // node count of each level
  std::size_t leaves_ = 0;
};

}  // namespace corvane
