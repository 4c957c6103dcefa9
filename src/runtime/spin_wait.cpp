#include "runtime/spin_wait.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
// Batches slept through after contended spins (from SpinPolicy::kFirstPause)
// double up to this while spins keep meeting contention.
constexpr std::uint32_t kLongestPause = 4096;

// How often the machine's run queue is looked at again.
constexpr std::int64_t kCrowdCheckNs = 1'000'000;

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(spin_detail::Clock::now().time_since_epoch()).count();
}

}  // namespace

namespace spin_detail {
void yield() noexcept { sched_yield(); }
}  // namespace spin_detail

std::size_t runnable_threads() noexcept {
  const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  if (length <= 0) return 0;
  text[length] = '\0';
  const char* field = text;
  for (int skip = 0; skip < 3 && field != nullptr; ++skip) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  return field != nullptr ? std::strtoul(field, nullptr, 10) : 0;
}

SpinPolicy::SpinPolicy(std::optional<std::size_t> cpu_quota, RunnableThreads runnable) noexcept
    : runnable_(runnable),
      cpu_quota_(std::max<std::size_t>(cpu_quota.value_or(SIZE_MAX), 1)),
      online_cpus_(static_cast<std::size_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)))) {}

bool SpinPolicy::crowded() noexcept {
  const std::int64_t now = now_ns();
  std::int64_t checked = crowd_checked_ns_.load(std::memory_order_relaxed);
  if (now - checked >= kCrowdCheckNs && crowd_checked_ns_.compare_exchange_strong(checked, now)) {
    crowded_.store(runnable_() > online_cpus_, std::memory_order_relaxed);
  }
  return crowded_.load(std::memory_order_relaxed);
}

std::size_t SpinPolicy::usable_cpus() const noexcept {
  // The affinity mask is read every time: a process may be pinned later.
  return std::clamp<std::size_t>(affinity_cpu_count(), 1, cpu_quota_);
}

std::chrono::nanoseconds SpinPolicy::caller_budget(std::size_t busy_threads) noexcept {
  std::uint32_t paused = paused_.load(std::memory_order_relaxed);
  if (paused > 0) {
    paused_.compare_exchange_strong(paused, paused - 1, std::memory_order_relaxed);
    return {};
  }
  if (usable_cpus() <= busy_threads || crowded()) return {};
  const std::int64_t typical = typical_ns_.load(std::memory_order_relaxed);
  if (typical == 0) return std::chrono::nanoseconds{kFirstSpinNs};
  if (typical > kLongestSpinNs) return {};
  return std::chrono::nanoseconds{std::clamp(2 * typical, kShortestSpinNs, kLongestSpinNs)};
}

void SpinPolicy::record(SpinEnd end, std::chrono::nanoseconds batch_time) noexcept {
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
