#include "ant_colony/sum_tree.h"

#include <algorithm>

namespace corvane {

void SumTree::assign(const std::vector<Wide>& leaves) {
  leaves_ = leaves.size();
  offsets_.clear();
  sizes_.clear();
  std::size_t total_nodes = 0;
  std::size_t level_size = std::max<std::size_t>(leaves_, 1);
  for (;;) {
    offsets_.push_back(total_nodes);
    sizes_.push_back(level_size);
    total_nodes += level_size;
    if (level_size == 1) break;
    level_size = (level_size + kFanout - 1) / kFanout;
  }
  nodes_.assign(total_nodes, 0);
  std::copy(leaves.begin(), leaves.end(), nodes_.begin());
  for (std::size_t level = 1; level < sizes_.size(); ++level) {
    const Wide* below = nodes_.data() + offsets_[level - 1];
    Wide* here = nodes_.data() + offsets_[level];
    for (std::size_t k = 0; k < sizes_[level - 1]; ++k) here[k / kFanout] += below[k];
  }
}

void SumTree::copy_from(const SumTree& other) {
  nodes_.resize(other.nodes_.size());
  std::copy(other.nodes_.begin(), other.nodes_.end(), nodes_.begin());
  offsets_ = other.offsets_;
  sizes_ = other.sizes_;
  leaves_ = other.leaves_;
}

void SumTree::add(std::size_t leaf, Wide delta) noexcept {
  std::size_t k = leaf;
  for (std::size_t level = 0; level < sizes_.size(); ++level) {
    nodes_[offsets_[level] + k] += delta;
    k /= kFanout;
  }
}

std::size_t SumTree::find(Wide target, Wide& before) const noexcept {
  Wide acc = 0;
  std::size_t k = 0;  // node index within the current level
  for (std::size_t level = sizes_.size() - 1; level-- > 0;) {
    const Wide* children = nodes_.data() + offsets_[level];
    std::size_t child = k * kFanout;
    const std::size_t end = std::min(child + kFanout, sizes_[level]);
    while (child + 1 < end && acc + children[child] <= target) acc += children[child++];
    k = child;
  }
  before = acc;
  return k;
}

}  // namespace corvane
