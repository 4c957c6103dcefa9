// One batch handed to the worker pool, and the claims through which threads
// take its items.
//
// Every thread that takes part in a batch claims chunks of its index range
// from an atomic cursor, so no index runs twice and the batch needs no
// per-item bookkeeping; chunks shrink as the range runs out, so the last
// items spread over idle workers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <limits>
#include <mutex>

#include "runtime/pool.h"

namespace corvane::runtime {

struct Batch {
  using Clock = BatchWatch::Clock;

  Batch(ClaimsBody body, void* context, std::size_t count, std::size_t chunk_divisor,
        Clock::time_point stop_at) noexcept
      : body(body), context(context), count(count), chunk_divisor(chunk_divisor), stop_at(stop_at) {}

  const ClaimsBody body;
  void* const context;
  const std::size_t count;
  const std::size_t chunk_divisor;
  // Stops by itself then (see BatchWatch::stop_at); max: never.
  const Clock::time_point stop_at;
  std::atomic<std::size_t> next{0};  // first unclaimed index
  // Set under the pool's mutex; read without it by claiming threads.
  std::atomic<bool> stopped{false};

  // Guarded by the pool's mutex.
  std::size_t holders = 0;  // threads currently claiming from or running it
  bool queued = false;
  Batch* older = nullptr;  // neighbours in the pool's queue
  Batch* newer = nullptr;
  // Set under the pool's mutex; atomic so that a caller can spin on it
  // without the mutex.
  std::atomic<bool> finished{false};
  std::condition_variable finished_signal;

  bool halted() const noexcept {
    return stopped.load(std::memory_order_relaxed) || (stop_at != Clock::time_point::max() && Clock::now() >= stop_at);
  }

  // Claims the next chunk, [begin, end). Chunks are a share of what is left,
  // at least one item, so large batches cost few claims and small ones still
  // spread over every worker. A stopped batch hands out index 0 alone, and
  // only while nobody has it.
  bool claim(std::size_t& begin, std::size_t& end) noexcept;

  // Whether no index will be handed out any more.
  bool exhausted() const noexcept;

  // Keeps the failure of the lowest failing index.
  void record_failure(std::size_t index, std::exception_ptr failure);
  // Rethrows it, if any; once the batch is finished.
  void rethrow_failure() const;

  // Runs the body on the calling thread with claims of its own.
  void help();

 private:
  std::mutex failure_mutex_;
  std::size_t failed_index_ = std::numeric_limits<std::size_t>::max();  // guarded by failure_mutex_
  std::exception_ptr failure_;                                          // guarded by failure_mutex_
};

// A batch of one item run on the submitting thread, with the same failure
// rules.
void run_solo(ClaimsBody body, void* context);

// An indexed body run through claims: one item at a time, each failure
// recorded under its index.
struct IndexedBody {
  IndexBody body;
  void* context;

  static void run(void* self, Claims& claims);
};

}  // namespace corvane::runtime
