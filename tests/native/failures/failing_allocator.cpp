// Replaces every form of the global operator new and delete (C++17 and
// later) for this test binary. The blocks come from malloc and go back to
// free, which the sanitizers intercept: AddressSanitizer and LeakSanitizer
// still see every block, while the decision to fail is ours, so that a failed
// allocation throws std::bad_alloc under them too (their own operator new
// ends the process instead). Definitions are exported, so that allocations
// made inside the shared C++ runtime come here as well.
#include "failing_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace corvane::testing {
namespace {

std::atomic<bool> g_failing{false};
std::atomic<std::uint64_t> g_window{0};   // allocations asked for in the window
std::atomic<std::uint64_t> g_fail_at{0};  // the one that fails; 0 for none
std::atomic<std::uint64_t> g_total{0};
std::atomic<std::int64_t> g_live{0};

// Null when this allocation is the one to fail, or when memory ran out.
void* allocate(std::size_t size, std::size_t alignment) noexcept {
  g_total.fetch_add(1, std::memory_order_relaxed);
  if (g_failing.load(std::memory_order_acquire) &&
      g_window.fetch_add(1, std::memory_order_relaxed) + 1 == g_fail_at.load(std::memory_order_relaxed)) {
    return nullptr;
  }
  if (size == 0) size = 1;
  void* block = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    block = std::malloc(size);
  } else if (posix_memalign(&block, alignment, size) != 0) {
    block = nullptr;
  }
  if (block != nullptr) g_live.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* block = allocate(size, alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void fail_allocation(std::uint64_t k) {
  g_window.store(0, std::memory_order_relaxed);
  g_fail_at.store(k, std::memory_order_relaxed);
  g_failing.store(true, std::memory_order_release);
}

std::uint64_t stop_failing() {
  g_failing.store(false, std::memory_order_release);
  return g_window.load(std::memory_order_relaxed);
}

std::int64_t live_blocks() { return g_live.load(std::memory_order_relaxed); }

std::uint64_t allocations_made() { return g_total.load(std::memory_order_relaxed); }

}  // namespace corvane::testing

using corvane::testing::allocate;
using corvane::testing::allocate_or_throw;
using corvane::testing::release;

#define CORVANE_EXPORTED [[gnu::visibility("default")]]

CORVANE_EXPORTED void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
CORVANE_EXPORTED void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
CORVANE_EXPORTED void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
CORVANE_EXPORTED void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
CORVANE_EXPORTED void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
CORVANE_EXPORTED void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
CORVANE_EXPORTED void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}
CORVANE_EXPORTED void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}

CORVANE_EXPORTED void operator delete(void* block) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block) noexcept { release(block); }
CORVANE_EXPORTED void operator delete(void* block, std::size_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block, std::size_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete(void* block, std::align_val_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block, std::align_val_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { release(block); }
CORVANE_EXPORTED void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
CORVANE_EXPORTED void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { release(block); }
CORVANE_EXPORTED void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  release(block);
}
