// Building one candidate: start from nothing and add one cell at a time,
// drawn in proportion to its weight among the cells that are still free and
// still fit into the budget, until none is left.
//
// Both solvers use this procedure; they differ only in the weight of a cell
// (tau^alpha * eta^beta for an ant, eta for a probabilistic sample), which is
// fixed for the whole construction and therefore computed beforehand.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/output_source.h"

namespace corvane {

// Everything a construction reads, indexed by row-major cell (i * n + j).
struct ConstructionInput {
  std::span<const double> weights;          // a cell whose weight is not > 0 is never a candidate
  std::span<const std::int64_t> resources;  // b_ij
  std::int64_t b_total = 0;
};

// The straightforward construction: every step rescans all cells in row-major
// order, builds a WeightedIndex over the candidates and draws from it.
// Returns the chosen cells in the order they were picked. A total weight of
// +infinity throws InternalFailure.
std::vector<std::uint64_t> construct_by_rescan(const ConstructionInput& input, OutputSource& outputs);

}  // namespace corvane
