// The calling thread's random generator: ChaCha12 keyed from OS entropy,
// rekeyed every 64 KiB of output, created on the thread's first draw and
// destroyed when the thread exits. In a child created by fork() the surviving
// thread's generator is rekeyed before its next draw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::runtime {

class ReseedingChaCha;

// A handle to the current thread's generator. It must stay on the thread
// that obtained it and must not outlive that thread.
class ThreadRng {
 public:
  // Creates and keys the generator on the thread's first call; throws
  // InternalFailure("could not initialize ThreadRng: ...") when the entropy
  // source fails.
  static ThreadRng current();

  // Throws the same failure when the rekey forced by fork() fails.
  std::uint64_t next_u64();

 private:
  explicit ThreadRng(ReseedingChaCha* generator) : generator_(generator) {}
  ReseedingChaCha* generator_;
};

// Generators alive in this process: one per thread that has drawn and not
// exited. In a forked child, only the forking thread's (if it had one).
std::size_t live_generators();

}  // namespace corvane::runtime
