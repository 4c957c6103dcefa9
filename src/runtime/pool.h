// The process-wide worker pool and the ordered parallel map built on it.
//
// A batch of N >= 2 items runs on the pool's workers while the calling thread
// blocks; N = 0 and N = 1 run on the calling thread (unless the caller
// watches the batch, below). When items fail, every other item still runs
// and the failure of the lowest failing index is rethrown on the caller.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/check.h"
#include "runtime/function_ref.h"
#include "runtime/ordered_slots.h"

namespace corvane::runtime {

// The pool's thread count T, creating the pool on first use.
std::size_t current_num_threads();

// 0 .. T-1 on a pool worker; T on any other thread (creating the pool).
std::size_t worker_index();

using IndexBody = void (*)(void* context, std::size_t index);

// The items of a batch as one thread takes them: every thread that takes part
// runs the batch's body once with its own Claims, and the body asks for items
// until there are none left, so that it can keep several of them in flight.
class Claims {
 public:
  // The next unclaimed index; false once none is left, or once the batch was
  // stopped (see BatchWatch).
  virtual bool next(std::size_t& index) = 0;
  // Item `index` failed: the batch still runs its other items, then rethrows
  // the failure of the lowest failing index.
  virtual void fail(std::size_t index, std::exception_ptr failure) = 0;

 protected:
  ~Claims() = default;
};

using ClaimsBody = void (*)(void* context, Claims& claims);

// What the thread that submits a batch does while the batch runs: it wakes
// at wake_at() and calls woke(), again and again until the batch is done.
// woke() may call `stop`, which stops the batch before it returns: no further
// index is handed out, except index 0 if nobody has taken it yet, so that
// every batch builds its first item; the items already handed out run to
// their end, and woke() is not called again. When woke() throws, the batch is
// stopped and waited for before the exception goes on. A batch that woke()
// submits runs on its submitter too, as a nested batch does on a worker, so
// that it ends even while the workers are busy with the watched one. A
// watched batch of one item runs on the pool, so that its submitter can wake.
//
// A batch whose watch gives a stop_at() time stops by itself at that time,
// as if woke() had called `stop` then, without waiting for its submitter to
// wake: the threads that take its items read the clock before each item.
class BatchWatch {
 public:
  using Clock = std::chrono::steady_clock;
  virtual Clock::time_point wake_at() const = 0;
  virtual void woke(FunctionRef<void()> stop) = 0;
  // Read once, when the batch is submitted; max: never.
  virtual Clock::time_point stop_at() const { return Clock::time_point::max(); }

 protected:
  ~BatchWatch() = default;
};

// Runs body(context, i) once for every i in [0, count) (see above). Called
// from inside a batch item, the nested batch completes without deadlock.
// After fork() the child gets a fresh pool of the parent's size on first use.
void run_indexed(std::size_t count, IndexBody body, void* context, BatchWatch* watch = nullptr);

// The same with a body that takes its items through Claims.
void run_claims(std::size_t count, ClaimsBody body, void* context, BatchWatch* watch = nullptr);

template <class F>
void parallel_for(std::size_t count, F&& body, BatchWatch* watch = nullptr) {
  using Body = std::remove_reference_t<F>;
  run_indexed(
      count, [](void* context, std::size_t i) { (*static_cast<Body*>(context))(i); },
      const_cast<void*>(static_cast<const void*>(&body)), watch);
}

// body(claims) on every thread that takes part in the batch.
template <class F>
void parallel_claims(std::size_t count, F&& body, BatchWatch* watch = nullptr) {
  using Body = std::remove_reference_t<F>;
  run_claims(
      count, [](void* context, Claims& claims) { (*static_cast<Body*>(context))(claims); },
      const_cast<void*>(static_cast<const void*>(&body)), watch);
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
