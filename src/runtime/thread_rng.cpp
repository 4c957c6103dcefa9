#include "runtime/thread_rng.h"

#include <pthread.h>

#include "runtime/reseeding_chacha.h"

namespace corvane::runtime {
namespace {

// The thread's generator. The plain pointer is what draws read; the owner
// exists only to delete the generator when the thread exits.
thread_local constinit ReseedingChaCha* thread_generator = nullptr;

struct GeneratorOwner {
  ReseedingChaCha* generator = nullptr;
  ~GeneratorOwner() {
    delete generator;
    thread_generator = nullptr;
  }
};
thread_local GeneratorOwner thread_generator_owner;

// In a forked child only the forking thread survives, and its generator is a
// byte-for-byte copy of the parent's: without a fresh key both processes
// would draw the same numbers. This runs on that thread in the child.
void rekey_after_fork_in_child() {
  if (thread_generator != nullptr) thread_generator->require_rekey_before_next_draw();
}
const bool fork_handler_installed = pthread_atfork(nullptr, nullptr, &rekey_after_fork_in_child) == 0;

}  // namespace

ThreadRng ThreadRng::current() {
  (void)fork_handler_installed;
  if (thread_generator == nullptr) {
    std::unique_ptr<ReseedingChaCha> generator = make_keyed_generator(os_entropy_source());
    thread_generator_owner.generator = generator.get();
    thread_generator = generator.release();
  }
  return ThreadRng(thread_generator);
}

std::uint64_t ThreadRng::next_u64() { return generator_->next_u64(); }

}  // namespace corvane::runtime
