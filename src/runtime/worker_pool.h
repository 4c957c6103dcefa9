// A fixed set of detached worker threads that run indexed batches.
//
// Batches wait in one shared FIFO queue. Every worker that takes part in a
// batch claims chunks of its index range from an atomic cursor, so no index
// runs twice and the batch needs no per-item bookkeeping; chunks shrink as
// the range runs out, so the last items spread over idle workers. The thread
// that submitted a batch blocks until every item has run.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/pool.h"

namespace corvane::runtime {

// Prefix of the internal failure raised when the pool cannot be started.
inline constexpr const char* kPoolCreationFailure = "The global thread pool has not been initialized.: ";

class WorkerPool {
 public:
  using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static constexpr std::size_t kStackBytes = std::size_t{2} << 20;

  // Starts `size` >= 1 detached workers with 2 MiB stacks through `starter`
  // (pthread_create in production). When one cannot be started, those already
  // running are stopped and InternalFailure(kPoolCreationFailure + error
  // text) is thrown.
  static std::unique_ptr<WorkerPool> start(std::size_t size, ThreadStarter starter = &pthread_create);

  // Stops the workers and waits until they have left. No batch may be in
  // flight. The process-wide pool is never destroyed.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept { return size_; }

  // 0 .. size-1 on this pool's workers, size on any other thread.
  std::size_t worker_index() const noexcept;

  // body(context, i) for every i in [0, count). 0 and 1 items run on the
  // calling thread, unless a watch is given (see BatchWatch). With 2 or more,
  // the items run on the workers while the caller blocks, waking as the
  // watch asks; a worker of this pool that submits a nested batch, or a
  // watch of this pool's that submits one, helps with it instead of blocking
  // (and ignores the nested batch's watch). Every item runs even when
  // others throw; the exception of the lowest failing index is rethrown here.
  void run(std::size_t count, IndexBody body, void* context, BatchWatch* watch = nullptr);

  // The same, with body(context, claims) run once by every thread that takes
  // part, taking its items through `claims`.
  void run_claims(std::size_t count, ClaimsBody body, void* context, BatchWatch* watch = nullptr);

  // Worker threads successfully created by all pools of this process so far.
  static std::size_t workers_started() noexcept;

  // Clears the calling thread's record of being a pool worker. For a child
  // process, where the forking thread may have been a worker of a pool that
  // did not survive the fork.
  static void forget_current_worker() noexcept;

 private:
  struct Batch;
  class BatchClaims;
  struct WorkerSlot {
    WorkerPool* pool;
    std::size_t index;
  };

  explicit WorkerPool(std::size_t size);

  static void* thread_main(void* slot);
  void work_loop(std::size_t index);
  void wait_for_work_briefly() const noexcept;
  void help(Batch& batch);
  void record_failure(Batch& batch, std::size_t index, std::exception_ptr failure);
  void enqueue(Batch& batch);  // caller holds mutex_
  void dequeue(Batch& batch);  // caller holds mutex_
  void leave(Batch& batch);    // caller holds mutex_
  void settle(Batch& batch);   // caller holds mutex_
  void wait_for(Batch& batch, std::unique_lock<std::mutex>& lock, BatchWatch* watch);
  void stop();

  const std::size_t size_;
  std::vector<WorkerSlot> slots_;

  std::mutex mutex_;
  std::condition_variable work_available_;
  std::condition_variable workers_gone_;
  // Batches with unclaimed items, oldest first, linked through the batches
  // themselves: submitting a batch allocates nothing, so it cannot fail.
  Batch* oldest_ = nullptr;
  Batch* newest_ = nullptr;
  std::size_t queued_ = 0;
  std::size_t sleeping_ = 0;
  std::size_t live_workers_ = 0;
  // Mirrors of state guarded by mutex_, read by spinning workers.
  std::atomic<std::size_t> queued_batches_{0};
  std::atomic<bool> stopping_{false};
  // Whether the last batch a caller waited for with a single worker finished
  // within the spin time (a hint: callers may race on it).
  std::atomic<bool> short_batches_{true};
};

}  // namespace corvane::runtime
