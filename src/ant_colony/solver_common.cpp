#include "ant_colony/solver_common.h"

#include <new>
#include <string>

#include "runtime/memory_headroom.h"

namespace corvane {

BestCandidate::BestCandidate(std::uint64_t m, std::uint64_t n) : m_(m), n_(n) {
  cells_.reserve(m * n);
  x_.reserve(m * n);
}

Assignment BestCandidate::assignment() && {
  x_.assign(m_ * n_, 0);  // within the reservation: nothing is allocated
  // The matrix is row-major: cell i * n + j is its element i * n + j.
  for (std::size_t cell : cells_.members()) x_[cell] = 1;
  return Assignment{IntMatrix::with_layout(m_, n_, std::move(x_), static_cast<std::ptrdiff_t>(n_), 1, 0), value_};
}

std::optional<Error> allocate_batch(std::vector<Solution>& batch, std::uint64_t count, std::size_t cells,
                                    const char* what) {
  const ByteCount bytes = ByteCount{count} * (sizeof(Solution) + CellSet::storage_bytes(cells));
  // Every ant's cells are written as it is built: a batch beyond what the
  // process can still get is refused without reserving it.
  std::optional<MemoryHeadroom> exceeded;
  if (count <= batch.max_size() && !(exceeded = refused_request(bytes))) {
    try {
      batch.resize(count);
      // Reserved, not written: the pages stay untouched until an ant's cells
      // are stored.
      for (Solution& candidate : batch) candidate.cells.reserve(cells);
      return std::nullopt;
    } catch (const std::bad_alloc&) {
    }
    std::vector<Solution>().swap(batch);  // released before the message is made
  }
  std::string batch_text =
      "a batch of " + std::to_string(count) + " " + what + " of " + std::to_string(cells) + " cells each";
  if (exceeded) return not_enough_memory_for(batch_text, bytes, exceeded->limit);
  return not_enough_memory_for(batch_text, bytes);
}

Error not_enough_memory_to_solve(const Task& task) {
  return not_enough_memory_to("solve a " + grid_size(task.m, task.n) + " task");
}

}  // namespace corvane
