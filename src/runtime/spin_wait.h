// Spinning before sleeping, for the pool's threads and the threads that
// submit batches to it.
//
// Waking a sleeping thread costs tens of microseconds when its processor has
// gone idle (on a virtual machine the idle processor halts, and the wake-up
// goes through the host), far more than a short batch or the caller's work
// between two batches. A thread that expects to be woken soon therefore
// watches an atomic flag for a while first. It does so only where that costs
// nobody a processor: when the process may run on a processor more than the
// threads with work to do occupy, and only until the spinner finds that it
// was kept off its processor (preempted, because another thread needed it).
// A spinner yields the processor every few microseconds, so that a thread
// that needs it gets it at once; with many threads waiting for the
// processors that would put the spinner behind all of them, and so the
// submitter of a batch does not spin at all on a crowded machine.
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
// microseconds; with `stop_when_kept_off`, having been kept off the
// processor for a while (by a yield that ran another thread, or by
// preemption) ends the spin as contended.
template <class Done>
SpinEnd spin_until(Done done, std::chrono::nanoseconds limit, bool stop_when_kept_off = true) noexcept;

// Threads running or waiting for a processor on the whole machine, the
// calling one included: the fourth field of /proc/loadavg ("running/total").
// 0 when it cannot be read.
std::size_t runnable_threads() noexcept;

// How long the pool's threads spin before they sleep, one per pool. The
// thread that submitted a batch spins only when the process may run on more
// processors than the batch occupies (its affinity mask, bounded by its
// control group's CPU quota), so that its spinning takes a processor that
// would otherwise idle, and for about twice as long as recent batches took,
// up to a cap: a batch that takes longer than that is long enough for the
// wake-up not to matter. A spin that turned out to stand in another thread's
// way (another process's, say) is not tried again for a while, the while
// doubling each time.
class SpinPolicy {
 public:
  using RunnableThreads = std::size_t (*)() noexcept;

  // `cpu_quota`: the control group's CPU quota, if any (read once);
  // `runnable`: runnable_threads() outside tests.
  explicit SpinPolicy(std::optional<std::size_t> cpu_quota, RunnableThreads runnable = &runnable_threads) noexcept;

  // The processors this thread may use now, at least 1.
  std::size_t usable_cpus() const noexcept;

  // How long a caller whose batch keeps `busy_threads` processors busy
  // spins; zero: sleep at once.
  std::chrono::nanoseconds caller_budget(std::size_t busy_threads) noexcept;

  // Whether the machine has more threads to run than processors, so that a
  // spinner would keep one of them waiting (looked at every millisecond or
  // so, in /proc/loadavg).
  bool crowded() noexcept;

  // What became of a spin (or of a wait without one): how long the batch took
  // from its submission.
  void record(SpinEnd end, std::chrono::nanoseconds batch_time) noexcept;

 private:
  const RunnableThreads runnable_;
  const std::size_t cpu_quota_;
  const std::size_t online_cpus_;
  std::atomic<std::int64_t> crowd_checked_ns_{INT64_MIN / 2};
  std::atomic<bool> crowded_{false};
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
// A gap this long between two looks at the clock means that the spinner
// was off its processor.
inline constexpr std::chrono::nanoseconds kKeptOff{std::chrono::microseconds{20}};
void yield() noexcept;
}  // namespace spin_detail

template <class Done>
SpinEnd spin_until(Done done, std::chrono::nanoseconds limit, bool stop_when_kept_off) noexcept {
  using spin_detail::Clock;
  auto last = Clock::now();
  const auto deadline = last + limit;
  for (unsigned spins = 1;; ++spins) {
    if (done()) return SpinEnd::done;
    cpu_relax();
    if (spins % 64 == 0) {
      spin_detail::yield();
      const auto now = Clock::now();
      if (stop_when_kept_off && now - last >= spin_detail::kKeptOff) return done() ? SpinEnd::done : SpinEnd::contended;
      if (now >= deadline) return SpinEnd::timed_out;
      last = now;
    }
  }
}

}  // namespace corvane::runtime
