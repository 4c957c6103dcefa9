// What a forked child keeps of its parent's per-thread state: the generator
// of the forking thread (rekeyed), and nothing of the threads that did not
// survive the fork. Threads that exit give their generators back.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/pool.h"
#include "runtime/thread_rng.h"
#include "test_support.h"

namespace corvane::runtime {
namespace {

TEST(ForkHygiene, ChildKeepsOnlyTheForkingThreadsGeneratorAndThreadsReleaseTheirs) {
  (void)ThreadRng::current().next_u64();
  parallel_for(64, [](std::size_t) { (void)ThreadRng::current().next_u64(); });  // pool workers draw too
  const std::size_t before = live_generators();

  std::mutex mutex;
  std::condition_variable changed;
  int drawn = 0;
  bool release = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      (void)ThreadRng::current().next_u64();
      std::unique_lock<std::mutex> lock(mutex);
      ++drawn;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return drawn == 3; });
  }
  EXPECT_EQ(live_generators(), before + 3);

  const int child = corvane::testing::run_in_child([] {
    if (live_generators() != 1) return 1;
    (void)ThreadRng::current().next_u64();  // the survivor's generator still works
    parallel_for(16, [](std::size_t) { (void)ThreadRng::current().next_u64(); });
    return live_generators() >= 2 ? 0 : 2;  // the child's own workers have theirs
  });
  EXPECT_EQ(child, 0) << "1: generators of threads gone with the fork were kept; 2: new ones were not counted";

  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(live_generators(), before);
}

}  // namespace
}  // namespace corvane::runtime
