// The time limit of a solve: once its deadline has passed, no new ant colony
// iteration, no new ant and no new sample starts, and the constructions in
// flight are abandoned (nothing of them counts), except that a solve always
// completes one candidate: until one has, those in flight go on.
#pragma once

#include <atomic>
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

// When the constructions of a solve give up: once its time limit has passed
// and some candidate of the solve has completed, or once the solve is
// cancelled (it ends with an exception, and nothing it builds counts).
// Constructions in flight poll it every so many steps (reading the clock
// costs about as much as a step) and whenever they would start one.
class Cutoff {
 public:
  explicit Cutoff(const TimeLimit* limit) noexcept : limit_(limit) {}

  // A candidate of the solve is complete.
  void completed() noexcept {
    if (!completed_.load(std::memory_order_relaxed)) completed_.store(true, std::memory_order_relaxed);
  }
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool due() const noexcept {
    return cancelled_.load(std::memory_order_relaxed) ||
           (limit_ != nullptr && completed_.load(std::memory_order_relaxed) && limit_->passed());
  }

 private:
  const TimeLimit* limit_;
  std::atomic<bool> completed_{false};
  std::atomic<bool> cancelled_{false};
};

// The watch of a solve's batches: a batch stops at the deadline of `limit`
// (the threads that take its items see it), every wake goes on to `inner`,
// and a stop that `inner` asks for (its solve ends with an exception) also
// cancels `cutoff`, so that the constructions in flight end at once. Either
// may be null.
class LimitWatch final : public runtime::BatchWatch {
 public:
  LimitWatch(runtime::BatchWatch* inner, const TimeLimit* limit, Cutoff& cutoff) noexcept
      : inner_(inner), limit_(limit), cutoff_(cutoff) {}

  // What to hand the batch: null when there is nothing to watch.
  runtime::BatchWatch* get() noexcept { return limit_ != nullptr || inner_ != nullptr ? this : nullptr; }
  // What the constructions of a batch watched by get() poll; null with it.
  Cutoff* cutoff() noexcept { return get() != nullptr ? &cutoff_ : nullptr; }

  Clock::time_point wake_at() const override;
  void woke(FunctionRef<void()> stop) override;
  Clock::time_point stop_at() const override {
    return limit_ != nullptr ? limit_->deadline() : Clock::time_point::max();
  }

 private:
  runtime::BatchWatch* inner_;
  const TimeLimit* limit_;
  Cutoff& cutoff_;
};

}  // namespace corvane
