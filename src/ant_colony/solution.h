// Candidate solutions, as the solvers pass them around.
#pragma once

#include <cstdint>
#include <vector>

#include "ant_colony/cell_set.h"
#include "runtime/matrix.h"

namespace corvane {

// One constructed candidate: the cells it chose (row-major cell indices
// i * n + j), and its objective value. Kept kSharingRange apart from its
// neighbours: the candidates of a batch are written by different threads.
struct alignas(kSharingRange) Solution {
  CellSet cells;
  double value = 0.0;
};

// What a solve hands back: the best assignment as a 0/1 matrix, and its value.
struct Assignment {
  IntMatrix x;
  double value = 0.0;
};

}  // namespace corvane
