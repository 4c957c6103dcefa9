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

  // Whether the deadline has passed; once it has said so, reached() does
  // too. For the thread that runs the solve only.
  bool passed() noexcept;
  bool reached() const noexcept { return reached_; }

 private:
  Clock::time_point deadline_;
  bool reached_ = false;
};

// The watch of a batch whose every item is a unit of work of its own (the
// probabilistic solver's samples): it stops the batch at the deadline of
// `limit`, and passes every other wake on to `inner`. Either may be null.
class SampleWatch final : public runtime::BatchWatch {
 public:
  SampleWatch(runtime::BatchWatch* inner, TimeLimit* limit) noexcept : inner_(inner), limit_(limit) {}

  // What to hand the batch: null when there is nothing to watch, `inner`
  // alone when there is no limit.
  runtime::BatchWatch* get() noexcept { return limit_ != nullptr ? this : inner_; }

  Clock::time_point wake_at() const override;
  void woke(FunctionRef<void()> stop) override;

 private:
  runtime::BatchWatch* inner_;
  TimeLimit* limit_;
};

}  // namespace corvane
