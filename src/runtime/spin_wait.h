// Spinning before sleeping, for the pool's threads and the threads that
// submit batches to it.
//
// Waking a sleeping thread costs tens of microseconds when its processor has
// gone idle (on a virtual machine the idle processor halts, and the wake-up
// goes through the host), far more than a short batch or the caller's work
// between two batches. A thread that expects to be woken soon therefore
// watches an atomic flag for a while first. It does so only where that costs
// nobody a processor: a spin yields the processor every few microseconds, and
// stops at once when a yield handed it to another thread, which means that
// the spinner was standing in that thread's way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvane::runtime {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// How a spin ended.
enum class SpinEnd {
  done,       // the condition came true
  timed_out,  // the time given ran out
  contended,  // another thread needed this processor
};

// Spins until done() or `limit` has passed, yielding the processor every few
// microseconds; having been kept off the processor for a while (by a yield
// or by preemption) ends the spin as contended.
template <class Done>
SpinEnd spin_until(Done done, std::chrono::nanoseconds limit) noexcept;

// How long the thread that submitted a batch watches it before sleeping, one
// per pool and shared by its callers. It spins only when the process may run
// on more processors than the batch occupies (its affinity mask, bounded by
// its control group's CPU quota), so that its spinning takes a
// processor that would otherwise idle, and for about twice as long as recent
// batches took, up to a cap: a batch that takes longer than that is long
// enough for the wake-up not to matter. A spin that turned out to stand in
// another thread's way (another process's, say) is not tried again for a
// while, the while doubling each time.
class CallerSpin {
 public:
  // `cpu_quota`: the control group's CPU quota, if any (read once).
  explicit CallerSpin(std::optional<std::size_t> cpu_quota) noexcept;

  // The processors this thread may use now, at least 1.
  std::size_t usable_cpus() const noexcept;

  // Zero: sleep at once.
  std::chrono::nanoseconds budget(std::size_t busy_threads) noexcept;
  // What became of a spin (or of a wait without one): how long the batch took
  // from its submission.
  void record(SpinEnd end, std::chrono::nanoseconds batch_time) noexcept;

 private:
  const std::size_t cpu_quota_;
  // Moving average of batch times; relaxed, a race only blurs it.
  std::atomic<std::int64_t> typical_ns_{0};
  // Batches left to sleep through after contention, and the next such pause.
  static constexpr std::uint32_t kFirstPause = 16;
  std::atomic<std::uint32_t> paused_{0};
  std::atomic<std::uint32_t> next_pause_{kFirstPause};
};

// ---------------------------------------------------------------------------

namespace spin_detail {
using Clock = std::chrono::steady_clock;
// A yield that took longer than this ran another thread meanwhile.
inline constexpr std::chrono::nanoseconds kYieldedAway{std::chrono::microseconds{20}};
void yield() noexcept;
}  // namespace spin_detail

template <class Done>
SpinEnd spin_until(Done done, std::chrono::nanoseconds limit) noexcept {
  using spin_detail::Clock;
  auto last = Clock::now();
  const auto deadline = last + limit;
  for (unsigned spins = 1;; ++spins) {
    if (done()) return SpinEnd::done;
    cpu_relax();
    if (spins % 64 == 0) {
      spin_detail::yield();
      const auto now = Clock::now();
      // Off the processor since the last look: preempted, or yielded to
      // another thread.
      if (now - last >= spin_detail::kYieldedAway) return done() ? SpinEnd::done : SpinEnd::contended;
      if (now >= deadline) return SpinEnd::timed_out;
      last = now;
    }
  }
}

}  // namespace corvane::runtime
