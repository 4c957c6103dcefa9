#include "runtime/pool.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "runtime/failure.h"
#include "runtime/thread_count.h"
#include "runtime/worker_pool.h"

namespace corvane::runtime {
namespace {

// The process-wide pool: created by the first caller, never destroyed.
std::atomic<WorkerPool*> global_pool{nullptr};
std::mutex creation_mutex;
// Guarded by creation_mutex.
std::optional<std::string> creation_failure;
std::size_t size_after_fork = 0;

// Pools that this process inherited through fork and left behind; see below.
std::vector<WorkerPool*>* abandoned_pools = nullptr;

// Only the forking thread exists in a child process. The old pool's workers
// are gone, and its mutex may have been held by one of them at the moment of
// the fork, so the child never touches that pool again and starts a fresh
// pool of the same size on first use. The old pool can be neither used nor
// destroyed (destruction waits for its workers), so it is kept on purpose,
// reachable, rather than lost. Holding creation_mutex across the fork keeps a
// half-created pool out of the child.
void lock_before_fork() { creation_mutex.lock(); }
void unlock_in_parent() { creation_mutex.unlock(); }
void reset_in_child() {
  if (WorkerPool* inherited = global_pool.load(std::memory_order_relaxed)) {
    size_after_fork = inherited->size();
    global_pool.store(nullptr, std::memory_order_relaxed);
    try {
      if (abandoned_pools == nullptr) abandoned_pools = new std::vector<WorkerPool*>;
      abandoned_pools->push_back(inherited);
    } catch (const std::bad_alloc&) {
      // Without memory to note it in, the old pool is merely unreachable.
    }
  }
  WorkerPool::forget_current_worker();
  creation_mutex.unlock();
}
const bool fork_handlers_installed = pthread_atfork(&lock_before_fork, &unlock_in_parent, &reset_in_child) == 0;

WorkerPool& pool() {
  (void)fork_handlers_installed;
  if (WorkerPool* existing = global_pool.load(std::memory_order_acquire)) return *existing;
  std::lock_guard<std::mutex> lock(creation_mutex);
  if (WorkerPool* existing = global_pool.load(std::memory_order_relaxed)) return *existing;
  // A failed creation is final: later callers get the same failure.
  if (creation_failure) fail(*creation_failure);
  const std::size_t size = size_after_fork != 0 ? size_after_fork : thread_count_from_system();
  try {
    WorkerPool* created = WorkerPool::start(size).release();
    global_pool.store(created, std::memory_order_release);
    return *created;
  } catch (const InternalFailure& failure) {
    creation_failure = failure.message();
    throw;
  }
}

}  // namespace

std::size_t current_num_threads() { return pool().size(); }

std::size_t worker_index() { return pool().worker_index(); }

void run_indexed(std::size_t count, IndexBody body, void* context, BatchWatch* watch) {
  pool().run(count, body, context, watch);
}

void run_claims(std::size_t count, ClaimsBody body, void* context, BatchWatch* watch) {
  pool().run_claims(count, body, context, watch);
}

}  // namespace corvane::runtime
