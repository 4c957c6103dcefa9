#include "ant_colony/sum_tree.h"

#include <algorithm>

namespace corvane {

void SumTree::assign(const std::vector<std::int64_t>& leaves) {
  resize(leaves.size());
  std::copy(leaves.begin(), leaves.end(), leaves_.begin());
  rebuild();
}

void SumTree::resize(std::size_t count) {
  leaves_.resize(count);
  offsets_.clear();
  sizes_.assign(1, count);
  std::size_t total_nodes = 0;
  std::size_t level_size = count;
  do {
    level_size = (level_size + kFanout - 1) / kFanout;
    level_size = std::max<std::size_t>(level_size, 1);
    offsets_.push_back(total_nodes);
    sizes_.push_back(level_size);
    total_nodes += level_size;
  } while (level_size > 1);
  inner_.resize(total_nodes);
}

void SumTree::rebuild() {
  std::fill(inner_.begin(), inner_.end(), Wide{0});
  for (std::size_t k = 0; k < leaves_.size(); ++k) inner_[k / kFanout] += leaves_[k];
  for (std::size_t level = 2; level < sizes_.size(); ++level) {
    const Wide* below = inner_.data() + offsets_[level - 2];
    Wide* here = inner_.data() + offsets_[level - 1];
    for (std::size_t k = 0; k < sizes_[level - 1]; ++k) here[k / kFanout] += below[k];
  }
}

void SumTree::copy_from(const SumTree& other) {
  leaves_.resize(other.leaves_.size());
  std::copy(other.leaves_.begin(), other.leaves_.end(), leaves_.begin());
  inner_.resize(other.inner_.size());
  std::copy(other.inner_.begin(), other.inner_.end(), inner_.begin());
  offsets_ = other.offsets_;
  sizes_ = other.sizes_;
}

void SumTree::set(std::size_t leaf, std::int64_t value) noexcept {
  const Wide delta = static_cast<Wide>(value) - leaves_[leaf];
  leaves_[leaf] = value;
  std::size_t k = leaf;
  for (std::size_t level = 1; level < sizes_.size(); ++level) {
    k /= kFanout;
    inner_[offsets_[level - 1] + k] += delta;
  }
}

std::size_t SumTree::find(Wide target, Wide& before) const noexcept {
  Wide acc = 0;
  std::size_t k = 0;  // node index within the current level
  for (std::size_t level = sizes_.size() - 1; level-- > 1;) {
    const Wide* children = inner_.data() + offsets_[level - 1];
    std::size_t child = k * kFanout;
    const std::size_t end = std::min(child + kFanout, sizes_[level]);
    while (child + 1 < end && acc + children[child] <= target) acc += children[child++];
    k = child;
  }
  std::size_t leaf = k * kFanout;
  const std::size_t end = std::min(leaf + kFanout, leaves_.size());
  while (leaf + 1 < end && acc + leaves_[leaf] <= target) acc += leaves_[leaf++];
  before = acc;
  return leaf;
}

}  // namespace corvane
