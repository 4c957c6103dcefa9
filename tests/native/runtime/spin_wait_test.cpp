#include "runtime/spin_wait.h"

#include <gtest/gtest.h>

#include <chrono>

namespace corvane::runtime {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(SpinWait, EndsWhenDoneOrOutOfTime) {
  int looks = 0;
  // Done before the first look at the clock: nothing can end it otherwise.
  EXPECT_EQ(spin_until([&] { return ++looks == 10; }, milliseconds(100)), SpinEnd::done);
  EXPECT_EQ(looks, 10);
  // Never done: out of time, or earlier when another thread needed the processor.
  EXPECT_NE(spin_until([] { return false; }, microseconds(50)), SpinEnd::done);
}

std::size_t idle_machine() noexcept { return 1; }
std::size_t crowded_machine() noexcept { return 1000; }

TEST(SpinWait, RunnableThreadsCountsTheCallingOne) { EXPECT_GE(runnable_threads(), 1u); }

// The caller spins only beside the batch's threads, never in their way nor
// on a crowded machine; it sleeps through batches after a contended spin,
// and for long batches.
TEST(SpinWait, CallerSpinsOnlyOnAProcessorTheBatchLeavesFree) {
  SpinPolicy spin(std::nullopt, &idle_machine);
  const std::size_t cpus = spin.usable_cpus();
  ASSERT_GE(cpus, 1u);
  EXPECT_EQ(SpinPolicy(1, &idle_machine).usable_cpus(), 1u);  // a quota of one CPU allows no spinning
  EXPECT_EQ(spin.caller_budget(cpus).count(), 0);
  if (cpus == 1) GTEST_SKIP() << "one usable processor: the caller never spins";
  SpinPolicy crowded(std::nullopt, &crowded_machine);
  EXPECT_EQ(crowded.caller_budget(cpus - 1).count(), 0);
  EXPECT_GT(spin.caller_budget(cpus - 1).count(), 0);

  spin.record(SpinEnd::contended, microseconds(80));
  for (int k = 0; k < 16; ++k) ASSERT_EQ(spin.caller_budget(1).count(), 0) << k;
  const auto budget = spin.caller_budget(1);
  EXPECT_GE(budget, microseconds(100));  // twice the batch time, or more
  EXPECT_LE(budget, milliseconds(1));

  spin.record(SpinEnd::timed_out, milliseconds(50));
  EXPECT_EQ(spin.caller_budget(1).count(), 0);
}

}  // namespace
}  // namespace corvane::runtime
