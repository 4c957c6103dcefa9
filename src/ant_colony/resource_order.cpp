#include "ant_colony/resource_order.h"

#include <algorithm>
#include <utility>

namespace corvane {
namespace {

// Cells sorted by resource, ties in cell order. A narrow range of resources
// (the usual case) is counted out in two linear passes; anything else is
// sorted as (resource, cell) pairs, which ties resolve by cell.
template <class Index>
std::vector<Index> sort_cells(std::span<const std::int64_t> resources) {
  const std::size_t n = resources.size();
  std::vector<Index> cells(n);
  if (n == 0) return cells;
  const auto [low, high] = std::minmax_element(resources.begin(), resources.end());
  const auto range = static_cast<unsigned __int128>(static_cast<__int128>(*high) - *low);
  if (range < static_cast<unsigned __int128>(n)) {
    std::vector<std::size_t> starts(static_cast<std::size_t>(range) + 2, 0);
    for (std::int64_t r : resources) ++starts[static_cast<std::size_t>(r - *low) + 1];
    for (std::size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
    for (std::size_t cell = 0; cell < n; ++cell) {
      cells[starts[static_cast<std::size_t>(resources[cell] - *low)]++] = static_cast<Index>(cell);
    }
    return cells;
  }
  std::vector<std::pair<std::int64_t, Index>> keyed(n);
  for (std::size_t cell = 0; cell < n; ++cell) keyed[cell] = {resources[cell], static_cast<Index>(cell)};
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t k = 0; k < n; ++k) cells[k] = keyed[k].second;
  return cells;
}

}  // namespace

ResourceOrder::ResourceOrder(std::span<const std::int64_t> resources, Width width) {
  if (width == Width::Wide) {
    wide_cells_ = sort_cells<std::uint64_t>(resources);
  } else {
    narrow_cells_ = sort_cells<std::uint32_t>(resources);
  }
  for (std::size_t k = 0; k < resources.size(); ++k) {
    const std::int64_t r = resources[cell(k)];
    if (run_values_.empty() || run_values_.back() != r) {
      run_values_.push_back(r);
      run_ends_.push_back(k);
    }
    ++run_ends_.back();
  }
}

std::size_t ResourceOrder::runs_at_most(std::int64_t limit) const noexcept {
  return static_cast<std::size_t>(std::upper_bound(run_values_.begin(), run_values_.end(), limit) -
                                  run_values_.begin());
}

}  // namespace corvane
