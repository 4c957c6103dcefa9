#include "runtime/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/worker_pool.h"
#include "test_support.h"

#if defined(__SANITIZE_THREAD__)
// The fork tests start threads in a child of a threaded process on purpose.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace corvane::runtime {
namespace {

TEST(Pool, ZeroItemsStillCreateThePool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "2", 1);
        const std::size_t before = WorkerPool::workers_started();
        int calls = 0;
        parallel_for(0, [&](std::size_t) { ++calls; });
        std::fprintf(stderr, "before=%zu after=%zu calls=%d", before, WorkerPool::workers_started(), calls);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "before=0 after=2 calls=0");
}

TEST(Pool, OneItemRunsOnTheCallerAndMoreNever) {
  const std::size_t threads = current_num_threads();
  EXPECT_EQ(worker_index(), threads);
  std::size_t seen = 0;
  parallel_for(1, [&](std::size_t) { seen = worker_index(); });
  EXPECT_EQ(seen, threads);
  std::vector<std::size_t> indices(64);
  parallel_for(indices.size(), [&](std::size_t i) { indices[i] = worker_index(); });
  for (std::size_t index : indices) EXPECT_LT(index, threads);
}

// Counts live instances, to see that partial results are destroyed.
struct Tracked {
  static inline std::atomic<int> live{0};
  std::string value;
  explicit Tracked(std::string v) : value(std::move(v)) { ++live; }
  Tracked(Tracked&& other) noexcept : value(std::move(other.value)) { ++live; }
  ~Tracked() { --live; }
};

TEST(Pool, ParExtendAppendsInIndexOrderOrLeavesTheListAlone) {
  std::vector<Tracked> out;
  out.emplace_back("old");
  par_extend(out, 100, [](std::size_t i) { return Tracked(std::to_string(i)); });
  ASSERT_EQ(out.size(), 101u);
  EXPECT_EQ(out[0].value, "old");
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(out[i + 1].value, std::to_string(i));
  EXPECT_EQ(Tracked::live.load(), 101);

  try {
    par_extend(out, 50, [](std::size_t i) {
      if (i == 17 || i == 40) throw std::runtime_error("item " + std::to_string(i));
      return Tracked("new");
    });
    ADD_FAILURE() << "expected a failure";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "item 17");
  }
  EXPECT_EQ(out.size(), 101u);
  EXPECT_EQ(out.back().value, "99");
  EXPECT_EQ(Tracked::live.load(), 101);
}

TEST(Pool, OrderedSlotsChecksItsWrites) {
  using corvane::testing::failure_text;
  OrderedSlots<int> slots(3);
  slots.write(0, 10);
  slots.write(2, 30);
  EXPECT_EQ(failure_text([&] { slots.write(3, 40); }), "too many values pushed to consumer");
  std::vector<int> out;
  EXPECT_EQ(failure_text([&] { slots.append_to(out); }), "expected 3 total writes, but got 2");
  EXPECT_TRUE(out.empty());
}

TEST(Pool, ForkedChildGetsAFreshPoolOfTheSameSize) {
  const std::size_t threads = current_num_threads();
  parallel_for(8, [](std::size_t) {});  // the parent's workers exist and have worked
  const std::size_t started_before = WorkerPool::workers_started();
  const int status = corvane::testing::run_in_child([&] {
    std::vector<std::size_t> slots(64, 0);
    std::vector<std::size_t> workers(64, 0);
    parallel_for(slots.size(), [&](std::size_t i) {
      slots[i] = i * 3;
      workers[i] = worker_index();
    });
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i] != i * 3 || workers[i] >= threads) return 1;
    }
    if (current_num_threads() != threads) return 2;
    if (WorkerPool::workers_started() != started_before + threads) return 3;
    return 0;
  });
  EXPECT_EQ(status, 0);  // 128 + SIGALRM would mean the child hung
  // The parent's pool is unaffected.
  std::atomic<int> ran{0};
  parallel_for(10, [&](std::size_t) { ran++; });
  EXPECT_EQ(ran.load(), 10);
}

}  // namespace
}  // namespace corvane::runtime
