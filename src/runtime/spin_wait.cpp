#include "runtime/spin_wait.h"

#include <sched.h>

#include <algorithm>
#include <cstdint>

#include "runtime/thread_count.h"

namespace corvane::runtime {
namespace {

// The first batch of a pool is spun for this long; later ones for twice the
// recent batch time, within these bounds.
constexpr std::int64_t kFirstSpinNs = 100'000;
constexpr std::int64_t kShortestSpinNs = 20'000;
// Batches longer than this are not spun for at all: one wake-up costs them a
// few percent at most.
constexpr std::int64_t kLongestSpinNs = 1'000'000;
// Batches slept through after contended spins (from CallerSpin::kFirstPause)
// double up to this while spins keep meeting contention.
constexpr std::uint32_t kLongestPause = 4096;

}  // namespace

namespace spin_detail {
void yield() noexcept { sched_yield(); }
}  // namespace spin_detail

CallerSpin::CallerSpin(std::optional<std::size_t> cpu_quota) noexcept
    : cpu_quota_(std::max<std::size_t>(cpu_quota.value_or(SIZE_MAX), 1)) {}

std::size_t CallerSpin::usable_cpus() const noexcept {
  // The affinity mask is read every time: a process may be pinned later.
  return std::clamp<std::size_t>(affinity_cpu_count(), 1, cpu_quota_);
}

std::chrono::nanoseconds CallerSpin::budget(std::size_t busy_threads) noexcept {
  std::uint32_t paused = paused_.load(std::memory_order_relaxed);
  if (paused > 0) {
    paused_.compare_exchange_strong(paused, paused - 1, std::memory_order_relaxed);
    return {};
  }
  if (usable_cpus() <= busy_threads) return {};
  const std::int64_t typical = typical_ns_.load(std::memory_order_relaxed);
  if (typical == 0) return std::chrono::nanoseconds{kFirstSpinNs};
  if (typical > kLongestSpinNs) return {};
  return std::chrono::nanoseconds{std::clamp(2 * typical, kShortestSpinNs, kLongestSpinNs)};
}

void CallerSpin::record(SpinEnd end, std::chrono::nanoseconds batch_time) noexcept {
  if (end == SpinEnd::contended) {
    const std::uint32_t pause = next_pause_.load(std::memory_order_relaxed);
    paused_.store(pause, std::memory_order_relaxed);
    next_pause_.store(std::min(2 * pause, kLongestPause), std::memory_order_relaxed);
  } else if (end == SpinEnd::done) {
    next_pause_.store(std::max(kFirstPause, next_pause_.load(std::memory_order_relaxed) / 2),
                      std::memory_order_relaxed);
  }
  const std::int64_t typical = typical_ns_.load(std::memory_order_relaxed);
  const std::int64_t now = batch_time.count();
  typical_ns_.store(typical == 0 ? now : (3 * typical + now) / 4, std::memory_order_relaxed);
}

}  // namespace corvane::runtime
