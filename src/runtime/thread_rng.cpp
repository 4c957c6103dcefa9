#include "runtime/thread_rng.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "runtime/check.h"
#include "runtime/failure.h"
#include "runtime/reseeding_chacha.h"

namespace corvane::runtime {
namespace {

// The thread's generator, read by every draw. It is a plain pointer: the
// generator is deleted at thread exit by the registry's key destructor, not by
// a thread_local object, whose per-thread destructor record a forked child
// could never free.
thread_local constinit ReseedingChaCha* thread_generator = nullptr;

// Every live generator. A forked child holds copies of the generators of all
// its parent's threads, but only the forking thread survives: the child
// deletes the others, which nothing could reach any more (lost memory, and a
// LeakSanitizer report in every child that exits normally). The mutex is held
// across fork, so no thread is half-way through adding or removing one.
//
// Created on first use and never destroyed: detached threads may still exit,
// and run the key destructor, while static objects are being destroyed.
struct Registry {
  std::mutex mutex;
  std::vector<ReseedingChaCha*> generators;  // guarded by mutex
  pthread_key_t owner{};                     // its destructor deletes a thread's generator
  int key_error = 0;
};

void release_at_thread_exit(void* generator);

Registry& registry() {
  static Registry* const instance = [] {
    auto* created = new Registry;
    created->key_error = pthread_key_create(&created->owner, &release_at_thread_exit);
    return created;
  }();
  return *instance;
}

void release_at_thread_exit(void* generator) {
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& all = r.generators;
    all.erase(std::remove(all.begin(), all.end(), generator), all.end());
  }
  delete static_cast<ReseedingChaCha*>(generator);
  thread_generator = nullptr;
}

void lock_before_fork() { registry().mutex.lock(); }
void unlock_in_parent() { registry().mutex.unlock(); }

// Runs on the forking thread in the child. Its own generator is a byte-for-byte
// copy of the parent's: without a fresh key both processes would draw the
// same numbers. The generators of the other threads are deleted.
void reset_in_child() {
  Registry& r = registry();
  for (ReseedingChaCha* generator : r.generators) {
    if (generator != thread_generator) delete generator;
  }
  r.generators.clear();  // keeps its capacity: the push below does not allocate
  if (thread_generator != nullptr) {
    r.generators.push_back(thread_generator);
    thread_generator->require_rekey_before_next_draw();
  }
  r.mutex.unlock();
}
const bool fork_handlers_installed = pthread_atfork(&lock_before_fork, &unlock_in_parent, &reset_in_child) == 0;

}  // namespace

ThreadRng ThreadRng::current() {
  (void)fork_handlers_installed;
  if (thread_generator == nullptr) {
    Registry& r = registry();
    if (r.key_error != 0)
      fail(kThreadRngInitFailure + std::string("pthread_key_create: ") + std::strerror(r.key_error));
    std::unique_ptr<ReseedingChaCha> generator = make_keyed_generator(os_entropy_source());
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.generators.push_back(generator.get());
    }
    if (const int error = pthread_setspecific(r.owner, generator.get()); error != 0) {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.generators.erase(std::find(r.generators.begin(), r.generators.end(), generator.get()));
      fail(kThreadRngInitFailure + std::string("pthread_setspecific: ") + std::strerror(error));
    }
    thread_generator = generator.release();
  }
  return ThreadRng(thread_generator);
}

std::uint64_t ThreadRng::next_u64() {
  CORVANE_CHECK(generator_ == thread_generator, "a ThreadRng stays on the thread that obtained it");
  return generator_->next_u64();
}

std::size_t live_generators() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.generators.size();
}

}  // namespace corvane::runtime
