#include "runtime/batch_watching.h"

#include <utility>

namespace corvane::runtime {
namespace {

// The pool whose batch the current thread is watching (inside woke()).
thread_local constinit const void* watching_pool = nullptr;

}  // namespace

bool watching(const void* pool) noexcept { return watching_pool == pool; }

void wait_watched(Batch& batch, std::unique_lock<std::mutex>& lock, BatchWatch* watch, const void* pool,
                  FunctionRef<void()> stop) {
  const auto done = [&batch] { return batch.finished.load(std::memory_order_relaxed); };
  while (watch != nullptr && !done()) {
    if (batch.finished_signal.wait_until(lock, watch->wake_at(), done)) break;
    // The watch may run for long (it may call into Python): not under the lock.
    lock.unlock();
    const void* const outer = std::exchange(watching_pool, pool);
    try {
      watch->woke(stop);
    } catch (...) {
      // The batch lives in the caller's frame, which this exception leaves
      // (the unwinding that ends a thread included): the batch ends first.
      watching_pool = outer;
      stop();
      lock.lock();
      batch.finished_signal.wait(lock, done);
      throw;
    }
    watching_pool = outer;
    lock.lock();
    if (batch.halted()) watch = nullptr;
  }
  batch.finished_signal.wait(lock, done);
}

}  // namespace corvane::runtime
