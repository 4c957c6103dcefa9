// The time limit of a solve: once its deadline has passed, no new ant colony
// iteration and no new sample of the probabilistic solver starts. The work in
// flight finishes, so the limit holds to within one iteration or one sample.
#pragma once

#include <chrono>

#include "runtime/function_ref.h"
#include "runtime/pool.h"

namespace corvane {

class TimeLimit {
 public:
  using Clock = std::chrono::steady_clock;

  // A deadline `seconds` (> 0) after `start`. A limit beyond what the clock
  // can hold (more than 30 years) never passes.
  TimeLimit(Clock::time_point start, double seconds) noexcept;

  Clock::time_point deadline() const noexcept { return deadline_; }
  bool passed() const noexcept { return Clock::now() >= deadline_; }

 private:
  Clock::time_point deadline_;
};

// The watch of a batch whose every item is a unit of work of its own (the
// probabilistic solver's samples): the batch stops at the deadline of
// `limit` (the threads that build the samples see it), and every wake goes
// on to `inner`. Either may be null.
class SampleWatch final : public runtime::BatchWatch {
 public:
  SampleWatch(runtime::BatchWatch* inner, const TimeLimit* limit) noexcept : inner_(inner), limit_(limit) {}

  // What to hand the batch: null when there is nothing to watch, `inner`
  // alone when there is no limit.
  runtime::BatchWatch* get() noexcept { return limit_ != nullptr ? this : inner_; }

  Clock::time_point wake_at() const override;
  void woke(FunctionRef<void()> stop) override;
  Clock::time_point stop_at() const override { return limit_->deadline(); }

 private:
  runtime::BatchWatch* inner_;
  const TimeLimit* limit_;
};

}  // namespace corvane
