// The process-wide worker pool and the ordered parallel map built on it.
//
// A batch of N >= 2 items runs on the pool's workers while the calling thread
// blocks; N = 0 and N = 1 run on the calling thread. When items fail, every
// other item still runs and the failure of the lowest failing index is
// rethrown on the caller.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace corvane::runtime {

// The pool's thread count T, creating the pool on first use.
std::size_t current_num_threads();

// 0 .. T-1 on a pool worker; T on any other thread.
std::size_t worker_index();

using IndexBody = void (*)(void* context, std::size_t index);

// Runs body(context, i) once for every i in [0, count) (see above).
void run_indexed(std::size_t count, IndexBody body, void* context);

template <class F>
void parallel_for(std::size_t count, F&& body) {
  using Body = std::remove_reference_t<F>;
  run_indexed(
      count, [](void* context, std::size_t i) { (*static_cast<Body*>(context))(i); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace corvane::runtime
