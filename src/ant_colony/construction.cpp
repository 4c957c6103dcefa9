#include "ant_colony/construction.h"

#include <variant>

#include "runtime/weighted_index.h"

namespace corvane {

std::vector<std::uint64_t> construct_by_rescan(const ConstructionInput& input, OutputSource& outputs) {
  const std::size_t cells = input.weights.size();
  std::vector<std::uint8_t> chosen(cells, 0);
  std::vector<std::uint64_t> candidates;
  std::vector<double> weights;
  candidates.reserve(cells);
  weights.reserve(cells);
  std::vector<std::uint64_t> picks;

  // The resource used is kept exactly: 128 bits hold any sum of m * n
  // signed 64-bit values, so the budget test never wraps.
  __int128 used = 0;
  for (;;) {
    candidates.clear();
    weights.clear();
    for (std::size_t cell = 0; cell < cells; ++cell) {
      if (chosen[cell] != 0) continue;
      if (used + input.resources[cell] > input.b_total) continue;
      const double w = input.weights[cell];
      if (!(w > 0.0)) continue;
      candidates.push_back(cell);
      weights.push_back(w);
    }
    if (candidates.empty()) break;
    auto built = runtime::WeightedIndex::build(weights);
    if (!std::holds_alternative<runtime::WeightedIndex>(built)) break;
    const std::size_t k = std::get<runtime::WeightedIndex>(built).sample_from_output(outputs.next_u64());
    const std::uint64_t cell = candidates[k];
    chosen[cell] = 1;
    used += input.resources[cell];
    picks.push_back(cell);
  }
  return picks;
}

}  // namespace corvane
