// Whole solves on plain C++ tasks: their batches of constructions run on the
// worker pool, also when several threads solve at once, and every result is a
// valid assignment whose value is its objective. Built and run under
// ThreadSanitizer by .ci/stages/11-tsan.sh.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../runtime/test_support.h"
#include "../support/tasks.h"
#include "ant_colony/ant_colony_solver.h"
#include "ant_colony/construction_pipeline.h"
#include "ant_colony/objective.h"
#include "probabilistic/probabilistic_solver.h"
#include "runtime/failure.h"
#include "runtime/pool.h"
#include "runtime/weighted_index.h"
#include "support/outputs.h"

#if defined(__SANITIZE_THREAD__)
// The disabled tall-task test forks a child of this threaded process.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace corvane {
namespace {

using testing::problems;
using testing::random_task;

std::vector<Task> some_tasks() {
  std::mt19937_64 rng(std::random_device{}());
  std::vector<Task> tasks;
  tasks.push_back(random_task(rng, 9, 11, false));
  tasks.push_back(random_task(rng, 6, 20, true));
  tasks.push_back(random_task(rng, 1, 40, false));
  tasks.push_back(random_task(rng, 30, 30, false));  // large enough for the summed-tree construction
  return tasks;
}

TEST(SolverBatches, AntColonyBatchesRunOnThePool) {
  ASSERT_GE(runtime::current_num_threads(), 1u);
  for (const Task& task : some_tasks()) {
    for (std::uint64_t ants : {2u, 7u, 16u}) {
      const AntColonyParameters parameters{ants, 5, 1.0, 2.0, 0.1, 1.0};
      EXPECT_EQ(problems(solve_ant_colony(task, parameters), task), "") << task.m << "x" << task.n;
    }
  }
}

TEST(SolverBatches, ProbabilisticBatchesRunOnThePool) {
  for (const Task& task : some_tasks()) {
    for (std::uint64_t samples : {2u, 33u, 200u}) {
      EXPECT_EQ(problems(solve_probabilistic(task, ProbabilisticParameters{samples}), task), "");
    }
  }
}

TEST(SolverBatches, SeveralThreadsSolveSharedTasksAtOnce) {
  const std::vector<Task> tasks = some_tasks();
  std::atomic<int> ready{0};
  std::vector<std::string> found(6);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < found.size(); ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < static_cast<int>(found.size())) std::this_thread::yield();
      for (int round = 0; round < 4 && found[t].empty(); ++round) {
        const Task& task = tasks[(t + round) % tasks.size()];
        found[t] = (t + round) % 2 == 0
                       ? problems(solve_ant_colony(task, AntColonyParameters{6, 3, 1.0, 2.0, 0.1, 1.0}), task)
                       : problems(solve_probabilistic(task, ProbabilisticParameters{24}), task);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& problem : found) EXPECT_EQ(problem, "");
}

TEST(SolverBatches, AFailedBatchLeavesThePoolWorking) {
  const std::vector<Task> tasks = some_tasks();
  // pow(0, -1) is +infinity: every ant of the first batch fails.
  const AntColonyParameters infinite{8, 2, -1.0, 2.0, 0.1, 0.0};
  std::vector<std::string> texts(3);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < texts.size(); ++t) {
    threads.emplace_back(
        [&, t] { texts[t] = testing::failure_text([&] { (void)solve_ant_colony(tasks[t], infinite); }); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& text : texts) EXPECT_EQ(text, runtime::kNonFiniteTotal);
  for (const Task& task : tasks) {
    EXPECT_EQ(problems(solve_probabilistic(task, ProbabilisticParameters{16}), task), "");
    EXPECT_EQ(problems(solve_ant_colony(task, AntColonyParameters{4, 2, 1.0, 2.0, 0.1, 1.0}), task), "");
  }
}

// Solves from several threads at once, each drawing seeded streams and taking
// a shared lock between its batches, as solves that give up the interpreter
// lock do: each returns exactly what it returns alone.
TEST(SolverBatches, SeededSolvesFromSeveralThreadsRepeatTheirSoloResults) {
  const std::vector<Task> tasks = some_tasks();
  std::mutex interpreter;
  auto solve = [&](std::size_t t, bool locked) {
    runtime::SeededSources sources(2024, t);
    auto between_batches = [&](const Progress&) {
      if (locked) std::lock_guard<std::mutex> hold(interpreter);
      return true;
    };
    const SolveControl control{sources, between_batches};
    const Task& task = tasks[t % tasks.size()];
    return t % 2 == 0 ? solve_ant_colony(task, AntColonyParameters{5, 4, 1.0, 2.0, 0.1, 1.0}, control)
                      : solve_probabilistic(task, ProbabilisticParameters{30}, control);
  };
  constexpr std::size_t kThreads = 6;
  std::vector<Assignment> alone;
  for (std::size_t t = 0; t < kThreads; ++t) alone.push_back(solve(t, false).value());
  std::vector<std::optional<Assignment>> together(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Result<Assignment> result = solve(t, true);
      if (result) together[t] = std::move(result).value();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(together[t].has_value());
    EXPECT_EQ(together[t]->value, alone[t].value) << "thread " << t;
    EXPECT_EQ(std::vector<std::int64_t>(together[t]->x.storage(), together[t]->x.storage() + together[t]->x.size()),
              std::vector<std::int64_t>(alone[t].x.storage(), alone[t].x.storage() + alone[t].x.size()));
  }
}

// Candidates whose outputs fail at their tenth draw, the others drawing
// SplitMix sequences of their own.
class FailingSources final : public runtime::CandidateSources {
 public:
  explicit FailingSources(std::vector<std::size_t> failing) : failing_(std::move(failing)) {}
  void start_batch(std::uint64_t) override {}
  OutputSource& open(std::uint64_t candidate, runtime::OutputSlot& slot) const override {
    const bool fails = std::find(failing_.begin(), failing_.end(), candidate) != failing_.end();
    return slot.emplace<Outputs>(candidate, fails);
  }

 private:
  class Outputs final : public OutputSource {
   public:
    Outputs(std::uint64_t candidate, bool fails) : scripted_(candidate), candidate_(candidate), fails_(fails) {}
    std::uint64_t next_u64() override {
      if (fails_ && scripted_.drawn == 9) fail("candidate " + std::to_string(candidate_) + " fails");
      return scripted_.next_u64();
    }

   private:
    testing::ScriptedOutputs scripted_;
    std::uint64_t candidate_;
    bool fails_;
  };
  std::vector<std::size_t> failing_;
};

// Pipelines on the pool's threads, several constructions in flight on each:
// a candidate that fails, in its construction or as it is handed over, does
// not disturb the others, which all run to their end, each exactly as it
// does alone, and the batch fails with the failure of the lowest failing
// index.
TEST(SolverBatches, PipelinedBatchesOnThePoolKeepEveryCandidateApart) {
  const ConstructionPlan plan = testing::random_plan(77, 6000, 3000, 3);
  constexpr std::size_t kCandidates = 23;
  std::vector<std::vector<std::uint64_t>> alone(kCandidates);
  const FailingSources none({});
  for (std::size_t k = 0; k < kCandidates; ++k) {
    runtime::OutputSlot slot;
    Constructor constructor;
    constructor.construct(plan, none.open(k, slot), &alone[k]);
  }

  const FailingSources sources({17, 9});
  std::vector<ConstructionPipeline> pipelines;
  for (std::size_t t = 0; t <= runtime::current_num_threads(); ++t) pipelines.emplace_back(true);
  std::vector<std::vector<std::uint64_t>> built(kCandidates);
  const std::string failure = testing::failure_text([&] {
    runtime::parallel_claims(kCandidates, [&](runtime::Claims& claims) {
      pipelines[runtime::worker_index()].run(plan, claims, sources, [&](std::size_t k, const Constructor& constructor) {
        if (k == 4) fail("candidate 4 is refused");
        built[k] = constructor.order();
      });
    });
  });
  EXPECT_EQ(failure, "candidate 4 is refused");
  for (std::size_t k = 0; k < kCandidates; ++k) {
    if (k == 4 || k == 9 || k == 17) {
      EXPECT_TRUE(built[k].empty()) << "candidate " << k;
    } else {
      EXPECT_EQ(built[k], alone[k]) << "candidate " << k;
    }
  }
}

// n = 0 leaves nothing to do however many rows there are: no solver may
// walk the 2^59 empty rows.
TEST(SolverBatches, TallEmptyTaskFinishesAtOnce) {
  const int code = testing::run_in_child(
      [] {
        Task task;
        task.m = std::uint64_t{1} << 59;
        task.n = 0;
        task.c = IntMatrix(task.m, 0);
        task.b_ij = IntMatrix(task.m, 0);
        task.omega = FloatMatrix(task.m, 0);
        task.b_total = 1;
        // An empty result, checked without walking its rows either.
        auto empty = [&](const Result<Assignment>& result) {
          return result.ok() && result.value().x.rows() == task.m && result.value().x.cols() == 0 &&
                 result.value().value == 0.0;
        };
        const bool probabilistic_ok = empty(solve_probabilistic(task, ProbabilisticParameters{4}));
        const bool ant_colony_ok = empty(solve_ant_colony(task, AntColonyParameters{3, 2, 1.0, 2.0, 0.1, 1.0}));
        return probabilistic_ok && ant_colony_ok ? 0 : 1;
      },
      20);
  EXPECT_EQ(code, 0) << "128 + 14 means the child was still looping after 20 s";
}

}  // namespace
}  // namespace corvane
