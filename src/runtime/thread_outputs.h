// The current thread's generator seen as an OutputSource.
#pragma once

#include "runtime/output_source.h"
#include "runtime/thread_rng.h"

namespace corvane::runtime {

class ThreadOutputs final : public OutputSource {
 public:
  ThreadOutputs() : rng_(ThreadRng::current()) {}
  std::uint64_t next_u64() override { return rng_.next_u64(); }

 private:
  ThreadRng rng_;
};

}  // namespace corvane::runtime
