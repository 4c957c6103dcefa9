#include "ant_colony/time_limit.h"

#include <algorithm>

namespace corvane {
namespace {

// Far beyond any solve, and far below the clock's range (292 years of
// nanoseconds from boot), so that start + limit cannot overflow.
constexpr double kForever = 1e9;

}  // namespace

TimeLimit::TimeLimit(Clock::time_point start, double seconds) noexcept
    : deadline_(seconds > kForever
                    ? Clock::time_point::max()
                    : start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))) {}

// Woken at the deadline, the batch has stopped by itself already; the wake
// only makes sure of it.
LimitWatch::Clock::time_point LimitWatch::wake_at() const {
  if (limit_ == nullptr) return inner_->wake_at();
  return inner_ != nullptr ? std::min(inner_->wake_at(), limit_->deadline()) : limit_->deadline();
}

void LimitWatch::woke(FunctionRef<void()> stop) {
  if (limit_ != nullptr && limit_->passed()) {
    stop();
    return;
  }
  if (inner_ == nullptr) return;
  auto cancel = [&] {
    cutoff_.cancel();
    stop();
  };
  inner_->woke(cancel);
}

}  // namespace corvane
