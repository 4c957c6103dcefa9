#include "runtime/spin_wait.h"

#include <gtest/gtest.h>

#include <chrono>

namespace corvane::runtime {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(SpinWait, EndsWhenDoneOrOutOfTime) {
  int looks = 0;
  EXPECT_EQ(spin_until([&] { return ++looks == 100; }, milliseconds(100)), SpinEnd::done);
  EXPECT_EQ(looks, 100);
  // Never done: out of time, or earlier when another thread needed the processor.
  EXPECT_NE(spin_until([] { return false; }, microseconds(50)), SpinEnd::done);
}

// The caller spins only beside the batch's threads, never in their way; it
// sleeps through batches after a contended spin, and for long batches.
TEST(SpinWait, CallerSpinsOnlyOnAProcessorTheBatchLeavesFree) {
  CallerSpin spin(std::nullopt);
  const std::size_t cpus = spin.usable_cpus();
  ASSERT_GE(cpus, 1u);
  EXPECT_EQ(CallerSpin(1).usable_cpus(), 1u);  // a quota of one CPU allows no spinning
  EXPECT_EQ(spin.budget(cpus).count(), 0);
  if (cpus == 1) GTEST_SKIP() << "one usable processor: the caller never spins";
  EXPECT_GT(spin.budget(cpus - 1).count(), 0);

  spin.record(SpinEnd::contended, microseconds(80));
  for (int k = 0; k < 16; ++k) ASSERT_EQ(spin.budget(1).count(), 0) << k;
  const auto budget = spin.budget(1);
  EXPECT_GE(budget, microseconds(100));  // twice the batch time, or more
  EXPECT_LE(budget, milliseconds(1));

  spin.record(SpinEnd::timed_out, milliseconds(50));
  EXPECT_EQ(spin.budget(1).count(), 0);
}

}  // namespace
}  // namespace corvane::runtime
