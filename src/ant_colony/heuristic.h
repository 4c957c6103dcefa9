// The heuristic matrix: how attractive each cell is, from the task alone.
#pragma once

#include "runtime/matrix.h"
#include "surface/task.h"

namespace corvane {

// eta[i][j] = ((1 - omega) * c) / b_ij, or 0.0 where b_ij is 0; row-major.
FloatMatrix build_heuristic_matrix(const Task& task);

}  // namespace corvane
