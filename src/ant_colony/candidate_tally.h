// How far a solve has got while its batches run: the candidates finished so
// far and the best value among them, kept up by the batch bodies on every
// thread and read by the thread that reports progress.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

class CandidateTally {
 public:
  // One more candidate finished, with this value. The best is replaced only
  // by a strictly greater value, from 0.0, as the solvers' own best is: NaN
  // never wins, and nothing at or below 0.0 does.
  void add(double value) noexcept {
    done_.fetch_add(1, std::memory_order_relaxed);
    double best = best_.load(std::memory_order_relaxed);
    while (value > best && !best_.compare_exchange_weak(best, value, std::memory_order_relaxed)) {
    }
  }

  std::uint64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }
  double best() const noexcept { return best_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> done_{0};
  std::atomic<double> best_{0.0};
};

}  // namespace corvane
