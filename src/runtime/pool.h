// The process-wide worker pool and the ordered parallel map built on it.
//
// A batch of N >= 2 items runs on the pool's workers while the calling thread
// blocks; N = 0 and N = 1 run on the calling thread. When items fail, every
// other item still runs and the failure of the lowest failing index is
// rethrown on the caller.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/check.h"
#include "runtime/ordered_slots.h"

namespace corvane::runtime {

// The pool's thread count T, creating the pool on first use.
std::size_t current_num_threads();

// 0 .. T-1 on a pool worker; T on any other thread (creating the pool).
std::size_t worker_index();

using IndexBody = void (*)(void* context, std::size_t index);

// Runs body(context, i) once for every i in [0, count) (see above). Called
// from inside a batch item, the nested batch completes without deadlock.
// After fork() the child gets a fresh pool of the parent's size on first use.
void run_indexed(std::size_t count, IndexBody body, void* context);

template <class F>
void parallel_for(std::size_t count, F&& body) {
  using Body = std::remove_reference_t<F>;
  run_indexed(
      count, [](void* context, std::size_t i) { (*static_cast<Body*>(context))(i); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// Appends make(0), ..., make(count - 1) to `out` in index order, building the
// results as run_indexed does. `out` grows once. If any item throws, the
// results already built are destroyed, `out` keeps its old elements, and the
// exception of the lowest failing index is rethrown.
// Runs body(begin, end) over [0, count) cut into pieces of `chunk` items,
// the pieces in parallel: for data-parallel loops over large arrays.
template <class F>
void parallel_chunks(std::size_t count, std::size_t chunk, F&& body) {
  CORVANE_CHECK(chunk > 0, "chunks of at least one item");
  const std::size_t pieces = (count + chunk - 1) / chunk;
  parallel_for(pieces, [&](std::size_t piece) {
    const std::size_t begin = piece * chunk;
    body(begin, count - begin < chunk ? count : begin + chunk);
  });
}

template <class T, class F>
void par_extend(std::vector<T>& out, std::size_t count, F&& make) {
  out.reserve(out.size() + count);
  OrderedSlots<T> slots(count);
  parallel_for(count, [&slots, &make](std::size_t i) { slots.write(i, make(i)); });
  slots.append_to(out);
}

}  // namespace corvane::runtime
