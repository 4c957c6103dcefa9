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
SampleWatch::Clock::time_point SampleWatch::wake_at() const {
  return inner_ != nullptr ? std::min(inner_->wake_at(), limit_->deadline()) : limit_->deadline();
}

void SampleWatch::woke(FunctionRef<void()> stop) {
  if (limit_->passed()) {
    stop();
    return;
  }
  if (inner_ != nullptr) inner_->woke(stop);
}

}  // namespace corvane
