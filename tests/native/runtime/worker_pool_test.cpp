#include "runtime/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace corvane::runtime {
namespace {

template <class F>
void run_on(WorkerPool& pool, std::size_t count, F body, BatchWatch* watch = nullptr) {
  pool.run(count, [](void* context, std::size_t i) { (*static_cast<F*>(context))(i); }, &body, watch);
}

template <class F>
void claim_on(WorkerPool& pool, std::size_t count, F body) {
  pool.run_claims(count, [](void* context, Claims& claims) { (*static_cast<F*>(context))(claims); }, &body);
}

// A one-shot signal between threads.
struct Signal {
  std::atomic<bool> raised{false};
  void raise() {
    raised.store(true);
    raised.notify_all();
  }
  void wait() const { raised.wait(false); }
};

// Wakes its caller at once, every time; runs `on_wake` with the stop handle.
template <class F>
struct WatchFn final : BatchWatch {
  explicit WatchFn(F f) : on_wake(std::move(f)) {}
  Clock::time_point wake_at() const override { return Clock::now(); }
  void woke(FunctionRef<void()> stop) override {
    ++wakes;
    on_wake(stop);
  }
  F on_wake;
  std::atomic<int> wakes{0};
};

// 0 and 1 items run on the caller; more run on workers only, each index once
// into its own slot; a single worker takes them in index order.
TEST(WorkerPool, PlacementAndOrderUnderSeveralThreadCounts) {
  for (std::size_t size : {1, 2, 3, 8}) {
    auto pool = WorkerPool::start(size);
    for (std::size_t count : {0, 1, 2, 3, 17, 1000}) {
      std::vector<std::size_t> slots(count, 0), workers(count), order;
      std::vector<std::atomic<int>> runs(count);
      std::atomic<int> on_caller{0};
      const auto caller = std::this_thread::get_id();
      run_on(*pool, count, [&](std::size_t i) {
        slots[i] = i * i + 7;
        runs[i]++;
        workers[i] = pool->worker_index();
        if (std::this_thread::get_id() == caller) on_caller++;
        if (size == 1) order.push_back(i);  // one thread only
      });
      SCOPED_TRACE(std::to_string(size) + " threads, " + std::to_string(count) + " items");
      EXPECT_EQ(on_caller.load(), count < 2 ? static_cast<int>(count) : 0);
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(slots[i], i * i + 7);
        ASSERT_EQ(runs[i].load(), 1);
        ASSERT_EQ(workers[i] < size, count >= 2);  // worker_index() is `size` off the pool
        if (size == 1 && count >= 2) {
          ASSERT_EQ(order[i], i);
        }
      }
    }
  }
}

// Back-to-back batches, as a solver's iterations hand them over (the caller
// spins for them where it may): each still runs on the workers alone, and
// every item's plain writes are seen by the caller once run() returns.
TEST(WorkerPool, BackToBackBatchesRunOffTheCallerAndPublishTheirWrites) {
  for (std::size_t size : {1, 2}) {
    auto pool = WorkerPool::start(size);
    const auto caller = std::this_thread::get_id();
    std::vector<std::size_t> slots(3);
    for (std::size_t round = 1; round <= 300; ++round) {
      std::atomic<int> on_caller{0};
      run_on(*pool, slots.size(), [&](std::size_t i) {
        slots[i] = round * 10 + i;
        if (std::this_thread::get_id() == caller) on_caller++;
      });
      ASSERT_EQ(on_caller.load(), 0) << size << " threads, round " << round;
      for (std::size_t i = 0; i < slots.size(); ++i) ASSERT_EQ(slots[i], round * 10 + i);
    }
  }
}

TEST(WorkerPool, LowestFailingIndexIsRethrownAfterAllItemsRan) {
  for (std::size_t size : {1, 2, 4}) {
    auto pool = WorkerPool::start(size);
    std::atomic<int> ran{0};
    try {
      run_on(*pool, 20, [&](std::size_t i) {
        ran++;
        // The lowest failure is also the last to happen in time.
        if (i == 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (i == 3 || i == 9 || i == 14) throw std::runtime_error(std::to_string(i));
      });
      ADD_FAILURE() << "expected a failure";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "3");
    }
    EXPECT_EQ(ran.load(), 20) << size << " threads";
    // Any exception type crosses, and the pool keeps working afterwards.
    EXPECT_THROW(run_on(*pool, 5,
                        [](std::size_t i) {
                          if (i == 4) throw 42;
                        }),
                 int);
    std::atomic<int> after{0};
    run_on(*pool, 10, [&](std::size_t) { after++; });
    EXPECT_EQ(after.load(), 10);
  }
}

TEST(WorkerPool, NestedBatchesCompleteEvenOnOneWorker) {
  for (std::size_t size : {1, 2, 3}) {
    auto pool = WorkerPool::start(size);
    std::vector<std::atomic<int>> cells(8 * 50);
    run_on(*pool, 8,
           [&](std::size_t outer) { run_on(*pool, 50, [&](std::size_t inner) { cells[outer * 50 + inner]++; }); });
    for (auto& cell : cells) ASSERT_EQ(cell.load(), 1) << size << " threads";
  }
}

// Bodies that hold several items at once get every index exactly once, and
// failures they report keep the lowest-index rule.
TEST(WorkerPool, ClaimsHandEveryIndexOnceToBodiesHoldingSeveral) {
  for (std::size_t size : {1, 2, 3}) {
    auto pool = WorkerPool::start(size);
    for (std::size_t count : {1, 2, 7, 1000}) {
      std::vector<std::atomic<int>> runs(count);
      auto body = [&](Claims& claims) {
        for (bool more = true; more;) {
          std::size_t held[3];
          std::size_t n = 0;
          while (n < 3 && (more = claims.next(held[n]))) ++n;
          while (n-- > 0) {  // finished out of order
            runs[held[n]]++;
            if (held[n] % 5 == 3)
              claims.fail(held[n], std::make_exception_ptr(std::runtime_error(std::to_string(held[n]))));
          }
        }
      };
      SCOPED_TRACE(std::to_string(size) + " threads, " + std::to_string(count) + " items");
      if (count > 3) {
        EXPECT_EQ(corvane::testing::failure_text([&] {
                    try {
                      claim_on(*pool, count, body);
                    } catch (const std::runtime_error& error) {
                      fail(error.what());
                    }
                  }),
                  "3");
      } else {
        claim_on(*pool, count, body);
      }
      for (auto& run : runs) ASSERT_EQ(run.load(), 1);
    }
  }
}

// A watched batch wakes its submitter while it runs, one item included, and
// the items run on the workers.
TEST(WorkerPool, WatchWakesTheSubmitterWhileItemsRun) {
  auto pool = WorkerPool::start(2);
  for (std::size_t count : {1, 5}) {
    Signal woken;
    WatchFn watch([&](FunctionRef<void()>) { woken.raise(); });
    std::atomic<int> on_workers{0};
    run_on(
        *pool, count,
        [&](std::size_t) {
          woken.wait();  // the batch cannot end before its submitter woke
          if (pool->worker_index() < 2) on_workers++;
        },
        &watch);
    EXPECT_GE(watch.wakes.load(), 1);
    EXPECT_EQ(on_workers.load(), static_cast<int>(count));
  }
}

// Stopped, a batch hands out no further index; the items in flight finish;
// index 0 runs even when the stop came before anyone took it.
TEST(WorkerPool, StoppedBatchRunsOnlyWhatWasHandedOutAndAlwaysItsFirstItem) {
  auto pool = WorkerPool::start(2);
  // In flight: both workers hold an item when the stop comes.
  {
    std::vector<std::atomic<int>> runs(100);
    Signal stopped;
    std::atomic<int> entered{0};
    WatchFn watch([&](FunctionRef<void()> stop) {
      if (entered.load() < 2) return;
      stop();
      stopped.raise();
    });
    run_on(
        *pool, runs.size(),
        [&](std::size_t i) {
          runs[i]++;
          entered++;
          stopped.wait();
        },
        &watch);
    int ran = 0;
    for (auto& run : runs) ran += run.load();
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(runs[0].load(), 1);
  }
  // Before any: both workers are busy with another batch until after the stop.
  {
    Signal blocked_entered, release;
    std::atomic<int> entered{0};
    std::thread blocker([&] {
      run_on(*pool, 2, [&](std::size_t) {
        if (++entered == 2) blocked_entered.raise();
        release.wait();
      });
    });
    blocked_entered.wait();
    std::vector<std::atomic<int>> runs(50);
    WatchFn watch([&](FunctionRef<void()> stop) {
      stop();
      release.raise();
    });
    run_on(*pool, runs.size(), [&](std::size_t i) { runs[i]++; }, &watch);
    blocker.join();
    EXPECT_EQ(watch.wakes.load(), 1);
    EXPECT_EQ(runs[0].load(), 1);
    for (std::size_t i = 1; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 0) << i;
  }
  // And the pool goes on as before.
  std::atomic<int> after{0};
  run_on(*pool, 10, [&](std::size_t) { after++; });
  EXPECT_EQ(after.load(), 10);
}

// A batch stops by itself at its watch's stop_at(), without its submitter
// waking: no item is taken after it, except item 0 when nobody had it.
TEST(WorkerPool, ABatchStopsByItselfAtItsWatchsStopTime) {
  auto pool = WorkerPool::start(2);
  struct Deadline final : BatchWatch {
    Clock::time_point at;
    Clock::time_point wake_at() const override { return Clock::now() + std::chrono::hours(1); }
    void woke(FunctionRef<void()>) override {}
    Clock::time_point stop_at() const override { return at; }
  } watch;
  for (const auto after : {std::chrono::milliseconds(-1000), std::chrono::milliseconds(30)}) {
    watch.at = BatchWatch::Clock::now() + after;
    std::atomic<int> ran{0}, late{0};
    run_on(
        *pool, 100000,
        [&](std::size_t i) {
          // Taken before the stop time, an item may start a little after it.
          if (i > 0 && BatchWatch::Clock::now() >= watch.at + std::chrono::milliseconds(100)) late++;
          ran++;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        },
        &watch);
    EXPECT_EQ(late.load(), 0);
    if (after.count() < 0) {
      EXPECT_EQ(ran.load(), 1);
    } else {
      EXPECT_GE(ran.load(), 1);
      EXPECT_LT(ran.load(), 100000);
    }
  }
}

// A watch that throws stops its batch and waits for the items in flight
// before the exception leaves: the batch lives in the submitter's frame.
TEST(WorkerPool, AWatchThatThrowsEndsItsBatchFirst) {
  auto pool = WorkerPool::start(2);
  const std::size_t count = 2000;
  std::atomic<int> entered{0}, finished{0};
  Signal thrown;
  WatchFn watch([&](FunctionRef<void()>) {
    if (entered.load() == 0) return;
    thrown.raise();
    throw std::runtime_error("from the watch");
  });
  EXPECT_THROW(run_on(
                   *pool, count,
                   [&](std::size_t) {
                     // Items that start in the moment between the throw and
                     // the stop take long enough that it cannot be all of them.
                     if (entered++ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                     thrown.wait();
                     finished++;
                   },
                   &watch),
               std::runtime_error);
  // Every item handed out has finished, and the rest never started.
  EXPECT_EQ(finished.load(), entered.load());
  EXPECT_LT(entered.load(), static_cast<int>(count));
  std::atomic<int> after{0};
  run_on(*pool, 10, [&](std::size_t) { after++; });
  EXPECT_EQ(after.load(), 10);
}

// A batch that a watch submits ends while the workers are still busy with
// the watched batch: its submitter runs its items.
TEST(WorkerPool, ABatchSubmittedByAWatchEndsWhileTheWatchedOneRuns) {
  auto pool = WorkerPool::start(2);
  Signal nested_done;
  std::atomic<int> nested{0};
  WatchFn watch([&](FunctionRef<void()>) {
    if (nested_done.raised.load()) return;
    run_on(*pool, 50, [&](std::size_t) { nested++; });
    nested_done.raise();
  });
  std::atomic<int> outer{0};
  // Both workers hold an item of the watched batch until the nested one is done.
  run_on(
      *pool, 2,
      [&](std::size_t) {
        nested_done.wait();
        outer++;
      },
      &watch);
  EXPECT_EQ(nested.load(), 50);
  EXPECT_EQ(outer.load(), 2);
}

// A stress run: several submitters, mostly tiny batches and now and then a
// large one, all served by the same three workers.
TEST(WorkerPool, ConcurrentSubmittersShareTheSameWorkers) {
  auto pool = WorkerPool::start(3);
  const std::size_t started = WorkerPool::workers_started();
  std::atomic<int> wrong{0};
  std::vector<std::thread> submitters;
  for (int s = 0; s < 4; ++s) {
    submitters.emplace_back([&, s] {
      for (int batch = 0; batch < 300; ++batch) {
        const std::size_t count = batch % 50 == 0 ? 20000 : 2 + static_cast<std::size_t>((batch * 7 + s) % 30);
        std::vector<std::size_t> slots(count, 0);
        // Low half: the index, doubled if it ran twice; high half: the worker.
        run_on(*pool, count, [&](std::size_t i) { slots[i] += (i + 1) | pool->worker_index() << 32; });
        for (std::size_t i = 0; i < count; ++i) {
          if ((slots[i] & 0xFFFFFFFF) != i + 1 || slots[i] >> 32 >= 3) wrong++;
        }
      }
    });
  }
  for (auto& submitter : submitters) submitter.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(WorkerPool::workers_started(), started);
}

// Lets the first `allowed_starts` threads start, then fails like a process
// that has run out of threads.
std::atomic<int> allowed_starts{0};
int limited_starter(pthread_t* thread, const pthread_attr_t* attributes, void* (*main)(void*), void* argument) {
  if (allowed_starts.fetch_sub(1) <= 0) return EAGAIN;
  return pthread_create(thread, attributes, main, argument);
}

TEST(WorkerPool, StartFailureStopsStartedWorkersAndReportsTheError) {
  allowed_starts = 2;
  const std::size_t started = WorkerPool::workers_started();
  EXPECT_EQ(corvane::testing::failure_text([] { WorkerPool::start(4, &limited_starter); }),
            "The global thread pool has not been initialized.: Resource temporarily unavailable (os error 11)");
  // start() returned, so the two started workers have already left.
  EXPECT_EQ(WorkerPool::workers_started(), started + 2);
}

}  // namespace
}  // namespace corvane::runtime
