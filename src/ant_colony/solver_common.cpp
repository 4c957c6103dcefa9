#include "ant_colony/solver_common.h"

#include <new>
#include <string>

namespace corvane {

Assignment BestCandidate::assignment(std::uint64_t m, std::uint64_t n) const {
  Assignment result{IntMatrix(m, n, 0), value_};
  // The matrix is row-major: cell i * n + j is its element i * n + j.
  for (std::size_t cell : cells_.members()) result.x.storage()[cell] = 1;
  return result;
}

std::optional<Error> allocate_batch(std::vector<Solution>& batch, std::uint64_t count, const char* what) {
  const Error too_large{ErrorKind::MemoryError,
                        "not enough memory for a batch of " + std::to_string(count) + " " + what};
  if (count > batch.max_size()) return too_large;
  try {
    batch.resize(count);
  } catch (const std::bad_alloc&) {
    return too_large;
  }
  return std::nullopt;
}

}  // namespace corvane
