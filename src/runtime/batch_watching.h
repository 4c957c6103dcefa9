// The submitting thread's wait for a batch that it watches (see BatchWatch):
// asleep until the watch's next wake-up time, then the watch's woke(), over
// and over until the batch has finished.
#pragma once

#include <mutex>

#include "runtime/batch.h"
#include "runtime/function_ref.h"
#include "runtime/pool.h"

namespace corvane::runtime {

// Whether the calling thread is inside woke() of a batch of `pool`.
bool watching(const void* pool) noexcept;

// Waits under `lock` (the pool's mutex, held) until `batch` has finished,
// calling `watch` (when not null) as it asks. `stop` stops the batch; it
// takes the pool's mutex itself, and is called without it.
void wait_watched(Batch& batch, std::unique_lock<std::mutex>& lock, BatchWatch* watch, const void* pool,
                  FunctionRef<void()> stop);

}  // namespace corvane::runtime
