#include "runtime/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "runtime/batch_watching.h"
#include "runtime/cgroup_quota.h"
#include "runtime/check.h"
#include "runtime/failure.h"
#include "runtime/os_error.h"

namespace corvane::runtime {
namespace {

// Which pool, if any, the current thread works for.
thread_local constinit const WorkerPool* current_pool = nullptr;
thread_local constinit std::size_t current_index = 0;

std::atomic<std::size_t> started_total{0};

// Short batches arrive back to back; a worker that has just run out of work
// waits this long for the next one before it goes to sleep, and so does a
// caller of a pool of several workers that has no processor to spare for
// its batch (SpinPolicy). Both yield the processor meanwhile, to the thread
// with work to do: waking a sleeping thread takes longer than a short batch
// or the caller's work between two batches.
constexpr std::chrono::microseconds kBriefSpin{50};

}  // namespace

WorkerPool::WorkerPool(std::size_t size) : size_(size), slots_(size), spin_(cgroup_cpu_quota("")) {
  for (std::size_t i = 0; i < size; ++i) slots_[i] = WorkerSlot{this, i};
}

std::unique_ptr<WorkerPool> WorkerPool::start(std::size_t size, ThreadStarter starter) {
  std::unique_ptr<WorkerPool> pool(new WorkerPool(size));
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attributes, kStackBytes);
    if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    for (std::size_t i = 0; error == 0 && i < size; ++i) {
      {
        // Counted before the thread exists, so that stop() waits for it.
        std::lock_guard<std::mutex> lock(pool->mutex_);
        ++pool->live_workers_;
      }
      pthread_t thread;
      error = starter(&thread, &attributes, &WorkerPool::thread_main, &pool->slots_[i]);
      if (error == 0) {
        started_total.fetch_add(1, std::memory_order_relaxed);
      } else {
        std::lock_guard<std::mutex> lock(pool->mutex_);
        --pool->live_workers_;
      }
    }
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
    pool.reset();  // stops the workers that did start
    fail(kPoolCreationFailure + os_error_text(error));
  }
  return pool;
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_.store(true, std::memory_order_relaxed);
  work_available_.notify_all();
  workers_gone_.wait(lock, [this] { return live_workers_ == 0; });
}

std::size_t WorkerPool::worker_index() const noexcept { return current_pool == this ? current_index : size_; }

std::size_t WorkerPool::workers_started() noexcept { return started_total.load(std::memory_order_relaxed); }

void WorkerPool::forget_current_worker() noexcept {
  current_pool = nullptr;
  current_index = 0;
}

void* WorkerPool::thread_main(void* slot) {
  const WorkerSlot& self = *static_cast<WorkerSlot*>(slot);
  self.pool->work_loop(self.index);
  return nullptr;
}

void WorkerPool::work_loop(std::size_t index) {
  current_pool = this;
  current_index = index;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (oldest_ != nullptr) {
      Batch& batch = *oldest_;
      ++batch.holders;
      lock.unlock();
      batch.help();
      lock.lock();
      leave(batch);
      continue;
    }
    if (stopping_.load(std::memory_order_relaxed)) break;
    lock.unlock();
    wait_for_work_briefly();
    lock.lock();
    if (oldest_ == nullptr && !stopping_.load(std::memory_order_relaxed)) {
      ++sleeping_;
      work_available_.wait(lock, [this] { return oldest_ != nullptr || stopping_.load(std::memory_order_relaxed); });
      --sleeping_;
    }
  }
  current_pool = nullptr;
  // The last touch of the pool: once the count reaches zero, stop() may
  // return and the pool may be freed.
  --live_workers_;
  workers_gone_.notify_all();
}

void WorkerPool::wait_for_work_briefly() noexcept {
  spin_until(
      [this] {
        return queued_batches_.load(std::memory_order_relaxed) != 0 || stopping_.load(std::memory_order_relaxed);
      },
      kBriefSpin, /*stop_when_kept_off=*/false);
}

void WorkerPool::enqueue(Batch& batch) {
  batch.older = newest_;
  batch.newer = nullptr;
  (newest_ != nullptr ? newest_->newer : oldest_) = &batch;
  newest_ = &batch;
  batch.queued = true;
  queued_batches_.store(++queued_, std::memory_order_relaxed);
}

void WorkerPool::dequeue(Batch& batch) {
  CORVANE_CHECK(batch.queued, "only a queued batch leaves the queue");
  (batch.older != nullptr ? batch.older->newer : oldest_) = batch.newer;
  (batch.newer != nullptr ? batch.newer->older : newest_) = batch.older;
  batch.queued = false;
  queued_batches_.store(--queued_, std::memory_order_relaxed);
}

void WorkerPool::leave(Batch& batch) {
  CORVANE_CHECK(batch.holders > 0, "a thread leaves only a batch it holds");
  --batch.holders;
  settle(batch);
}

void WorkerPool::settle(Batch& batch) {
  // Fully claimed: nobody new may join, so take it off the queue. It is
  // finished once the last thread that claimed part of it has left, because
  // every claimed item has then run.
  if (batch.queued && batch.exhausted()) dequeue(batch);
  if (!batch.queued && batch.holders == 0 && !batch.finished.load(std::memory_order_relaxed)) {
    batch.finished.store(true, std::memory_order_release);
    batch.finished_signal.notify_all();
  }
}

void WorkerPool::run(std::size_t count, IndexBody body, void* context, BatchWatch* watch) {
  if (count == 0) return;
  if (count == 1 && watch == nullptr) {
    body(context, 0);
    return;
  }
  IndexedBody indexed{body, context};
  run_claims(count, &IndexedBody::run, &indexed, watch);
}

void WorkerPool::run_claims(std::size_t count, ClaimsBody body, void* context, BatchWatch* watch) {
  if (count == 0) return;
  // A watch that submits a batch of its own (it may call anything) waits
  // for it as a worker would, running its items itself: the workers may all
  // be busy with the batch being watched until long after.
  const bool helping = current_pool == this || watching(this);
  if (count == 1 && (watch == nullptr || helping)) {
    run_solo(body, context);
    return;
  }
  Batch batch(body, context, count, 2 * size_, watch != nullptr ? watch->stop_at() : Batch::Clock::time_point::max());
  std::unique_lock<std::mutex> lock(mutex_);
  enqueue(batch);
  for (std::size_t woken = 0; woken < std::min(sleeping_, count); ++woken) work_available_.notify_one();
  if (helping) {
    // A worker must not sleep on its own nested batch: the other workers may
    // all be busy. It runs items itself until none is left to claim, then
    // waits only for items that other threads are running right now.
    ++batch.holders;
    lock.unlock();
    batch.help();
    lock.lock();
    leave(batch);
    watch = nullptr;
  }
  wait_for(batch, lock, helping ? 0 : std::min(size_, count), watch);
  lock.unlock();
  batch.rethrow_failure();
}

void WorkerPool::wait_for(Batch& batch, std::unique_lock<std::mutex>& lock, std::size_t busy_threads,
                          BatchWatch* watch) {
  if (batch.finished.load(std::memory_order_relaxed)) return;
  // The workers that run the batch keep `busy_threads` processors busy; the
  // caller spins on one more if the process has it (SpinPolicy). Without
  // one, a caller of a pool of several workers spins briefly, yielding to
  // them, and one of a single worker goes to sleep at once, leaving its
  // processor to it. A worker that waits for its nested batch (busy_threads
  // 0) does not spin: its processor is needed by the batch's other items.
  const auto submitted = Batch::Clock::now();
  const auto finished = [&batch] { return batch.finished.load(std::memory_order_acquire); };
  const std::chrono::nanoseconds budget =
      busy_threads == 0 ? std::chrono::nanoseconds{} : spin_.caller_budget(busy_threads);
  SpinEnd end = SpinEnd::timed_out;
  if (budget.count() > 0 || busy_threads > 1) {
    lock.unlock();
    end = budget.count() > 0 ? spin_until(finished, budget)
                             : spin_until(finished, kBriefSpin, /*stop_when_kept_off=*/false);
    lock.lock();
  }
  if (end != SpinEnd::done) {
    const auto stop = [this, &batch] {
      std::lock_guard<std::mutex> stopping(mutex_);
      batch.stopped.store(true, std::memory_order_relaxed);
      settle(batch);
    };
    wait_watched(batch, lock, watch, this, stop);
  }
  // Only the policy's own spins teach it about contention.
  if (busy_threads > 0) spin_.record(budget.count() > 0 ? end : SpinEnd::timed_out, Batch::Clock::now() - submitted);
}

}  // namespace corvane::runtime
