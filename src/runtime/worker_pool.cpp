#include "runtime/worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "runtime/check.h"
#include "runtime/failure.h"
#include "runtime/os_error.h"

namespace corvane::runtime {
namespace {

// Which pool, if any, the current thread works for.
thread_local constinit const WorkerPool* current_pool = nullptr;
thread_local constinit std::size_t current_index = 0;
// The pool whose batch the current thread is watching (inside woke()).
thread_local constinit const WorkerPool* watching_pool = nullptr;

std::atomic<std::size_t> started_total{0};

// Short batches arrive back to back; a worker that has just run out of work
// waits this long for the next one before it goes to sleep, and a caller
// this long for its batch to finish. Both yield the processor meanwhile, to
// the thread with work to do: waking a sleeping thread takes longer than a
// short batch or the caller's work between two batches.
constexpr std::chrono::microseconds kSpinTime{50};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins until `done()` or kSpinTime has passed, yielding the processor
// every few spins to a thread with work to do (the caller above all). Where
// the threads share a processor (a process pinned to one CPU, or more
// threads than CPUs), the thread with the work runs only once the spinner
// yields, so yielding after 8 spins rather than 64 halved the hand-over
// there, at a fraction of a microsecond where each thread has a CPU.
template <class Done>
void spin_briefly(Done done) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned spins = 1; !done(); ++spins) {
    cpu_relax();
    if (spins % 8 == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return;
      sched_yield();
    }
  }
}

}  // namespace

struct WorkerPool::Batch {
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

  bool halted() const noexcept {
    return stopped.load(std::memory_order_relaxed) || (stop_at != Clock::time_point::max() && Clock::now() >= stop_at);
  }

  // Guarded by the pool's mutex.
  std::size_t holders = 0;  // threads currently claiming from or running it
  bool queued = false;
  Batch* older = nullptr;  // neighbours in the queue
  Batch* newer = nullptr;
  // Set under the mutex; atomic so that a caller can spin on it without it.
  std::atomic<bool> finished{false};
  std::size_t failed_index = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure;
  std::condition_variable finished_signal;

  // Claims the next chunk, [begin, end). Chunks are a share of what is left,
  // at least one item, so large batches cost few claims and small ones still
  // spread over every worker. A stopped batch hands out index 0 alone, and
  // only while nobody has it.
  bool claim(std::size_t& begin, std::size_t& end) noexcept {
    std::size_t first = next.load(std::memory_order_relaxed);
    while (first < count) {
      const bool stop = halted();
      if (stop && first > 0) return false;
      const std::size_t take = stop ? 1 : std::max<std::size_t>(1, (count - first) / chunk_divisor);
      if (next.compare_exchange_weak(first, first + take, std::memory_order_relaxed)) {
        begin = first;
        end = first + take;
        return true;
      }
    }
    return false;
  }

  // Whether no index will be handed out any more.
  bool exhausted() const noexcept {
    const std::size_t first = next.load(std::memory_order_relaxed);
    return first >= count || (first > 0 && halted());
  }
};

// One thread's claims on a batch: the rest of its last chunk, then new chunks.
class WorkerPool::BatchClaims final : public Claims {
 public:
  BatchClaims(WorkerPool& pool, Batch& batch) noexcept : pool_(pool), batch_(batch) {}

  // The last index handed out.
  std::size_t last() const noexcept { return last_; }

  bool next(std::size_t& index) override {
    if (begin_ == end_ || (begin_ > 0 && batch_.halted())) {
      if (!batch_.claim(begin_, end_)) return false;
    }
    index = last_ = begin_++;
    return true;
  }

  void fail(std::size_t index, std::exception_ptr failure) override {
    pool_.record_failure(batch_, index, std::move(failure));
  }

 private:
  WorkerPool& pool_;
  Batch& batch_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t last_ = 0;
};

namespace {

// The claims of a batch of one item run on the submitting thread.
class SoloClaims final : public Claims {
 public:
  bool next(std::size_t& index) override {
    if (taken_) return false;
    taken_ = true;
    index = 0;
    return true;
  }
  void fail(std::size_t, std::exception_ptr failure) override { failure_ = std::move(failure); }
  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  bool taken_ = false;
  std::exception_ptr failure_;
};

// An indexed body run through claims: one item at a time, each failure
// recorded under its index.
struct IndexedBody {
  IndexBody body;
  void* context;

  static void run(void* self, Claims& claims) {
    const IndexedBody& indexed = *static_cast<const IndexedBody*>(self);
    std::size_t i = 0;
    while (claims.next(i)) {
      try {
        indexed.body(indexed.context, i);
      } catch (...) {
        claims.fail(i, std::current_exception());
      }
    }
  }
};

}  // namespace

WorkerPool::WorkerPool(std::size_t size) : size_(size), slots_(size) {
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
      help(batch);
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

void WorkerPool::wait_for_work_briefly() const noexcept {
  spin_briefly([this] {
    return queued_batches_.load(std::memory_order_relaxed) != 0 || stopping_.load(std::memory_order_relaxed);
  });
}

void WorkerPool::help(Batch& batch) {
  BatchClaims claims(*this, batch);
  try {
    batch.body(batch.context, claims);
  } catch (...) {
    // Bodies report their items' failures through fail(); one that lets a
    // failure out instead stops taking items, and the failure counts for the
    // last item it took.
    record_failure(batch, claims.last(), std::current_exception());
  }
}

void WorkerPool::record_failure(Batch& batch, std::size_t index, std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < batch.failed_index) {
    batch.failed_index = index;
    batch.failure = std::move(failure);
  }
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
  const bool helping = current_pool == this || watching_pool == this;
  if (count == 1 && (watch == nullptr || helping)) {
    SoloClaims solo;
    body(context, solo);
    solo.rethrow();
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
    help(batch);
    lock.lock();
    leave(batch);
    watch = nullptr;
  }
  // A caller that spins slows the workers a little (on a sibling hardware
  // thread, or on the same processor), which pays while waking it would
  // take longer than the rest of the batch. With a single worker it spins
  // only while batches finish within the spin time: there, a longer batch
  // would cost more than the wake-up it saves.
  const bool single = size_ == 1 && !helping;
  const auto started = single ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  if (!helping && (!single || short_batches_.load(std::memory_order_relaxed))) {
    lock.unlock();
    spin_briefly([&batch] { return batch.finished.load(std::memory_order_acquire); });
    lock.lock();
  }
  wait_for(batch, lock, watch);
  lock.unlock();
  if (single) short_batches_.store(std::chrono::steady_clock::now() - started < kSpinTime, std::memory_order_relaxed);
  if (batch.failure) std::rethrow_exception(batch.failure);
}

void WorkerPool::wait_for(Batch& batch, std::unique_lock<std::mutex>& lock, BatchWatch* watch) {
  const auto done = [&batch] { return batch.finished.load(std::memory_order_relaxed); };
  while (watch != nullptr && !done()) {
    if (batch.finished_signal.wait_until(lock, watch->wake_at(), done)) break;
    // The watch may run for long (it may call into Python): not under the lock.
    lock.unlock();
    const auto stop = [this, &batch] {
      std::lock_guard<std::mutex> stopping(mutex_);
      batch.stopped.store(true, std::memory_order_relaxed);
      settle(batch);
    };
    const WorkerPool* const outer = std::exchange(watching_pool, this);
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
