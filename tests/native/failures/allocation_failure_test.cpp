// Allocation failure anywhere. The k-th allocation of a call fails, for
// k = 1, 2, ... until the call makes fewer than k: a Task construction, a
// solve of each solver in default and in seeded mode (on a pool of three
// threads, so that allocations on worker threads fail too), and a batch that
// collects its results. Every failure must end the call with a MemoryError
// value that says what ran out, or be absorbed with a valid result; it must
// leave no block behind, and the task, the solver and the pool must work for
// the next call, which follows every failed one.
//
// A solve runs cold, in a child process of its own for each k, so that the
// pool's creation and the generators that worker threads key at their first
// draw fail too.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../runtime/test_support.h"
#include "../support/tasks.h"
#include "ant_colony/ant_colony_solver.h"
#include "ant_colony/construction_pipeline.h"
#include "ant_colony/solver_common.h"
#include "failing_allocator.h"
#include "probabilistic/probabilistic_solver.h"
#include "runtime/pool.h"
#include "runtime/thread_rng.h"
#include "surface/task.h"

#if defined(__SANITIZE_THREAD__)
// The solves run in children forked from this threaded process.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace corvane {
namespace {

using testing::allocations_made;
using testing::fail_allocation;
using testing::live_blocks;
using testing::problems;
using testing::random_task;
using testing::stop_failing;

// A bound on the failure points of one call, against a loop that never ends.
constexpr std::uint64_t kMostPoints = 100000;

// More than one pool thread, set before the pool exists.
class ThreePoolThreads : public ::testing::Environment {
 public:
  void SetUp() override { setenv("RAYON_NUM_THREADS", "3", 1); }
};
::testing::Environment* const kThreePoolThreads = ::testing::AddGlobalTestEnvironment(new ThreePoolThreads);

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Empty when `error` is a MemoryError that says what ran out.
std::string memory_error_problems(const Error& error) {
  if (error.kind != ErrorKind::MemoryError) return "an error of another kind: " + error.message;
  if (!starts_with(error.message, "not enough memory ")) return "the message '" + error.message + "'";
  return "";
}

// Empty when a solve whose allocation failed may return `result`.
std::string failed_solve_problems(const Result<Assignment>& result, const Task& task) {
  return result ? problems(result, task) : memory_error_problems(result.error());
}

// Every pool worker and this thread draw once: afterwards each has its
// generator. As many items as workers, each waiting for all the others,
// cannot go two to one worker.
void draw_on_every_thread() {
  (void)runtime::ThreadRng::current().next_u64();
  const std::size_t workers = runtime::current_num_threads();
  std::atomic<std::size_t> arrived{0};
  runtime::parallel_for(workers, [&](std::size_t) {
    (void)runtime::ThreadRng::current().next_u64();
    arrived.fetch_add(1);
    while (arrived.load() < workers) std::this_thread::yield();
  });
}

struct Variant {
  const char* name;
  bool ant_colony;
  bool seeded;
  std::size_t side = 20;  // of the task
};
void PrintTo(const Variant& variant, std::ostream* out) { *out << variant.name; }

Result<Assignment> solve(const Task& task, const Variant& variant, runtime::CandidateSources& sources) {
  auto go_on = [](const Progress&) { return true; };
  const SolveControl control{sources, go_on};
  if (variant.ant_colony) return solve_ant_colony(task, AntColonyParameters{4, 3, 1.0, 2.0, 0.1, 1.0}, control);
  return solve_probabilistic(task, ProbabilisticParameters{6}, control);
}

Result<Assignment> solve(const Task& task, const Variant& variant, std::uint64_t call) {
  runtime::ThreadGeneratorSources entropy;
  runtime::SeededSources seeded(2024, call);
  return solve(task, variant, variant.seeded ? static_cast<runtime::CandidateSources&>(seeded) : entropy);
}

// 400 cells are enough for the summed tree and the running sums; 4900, for
// several constructions in flight on each thread.
Task some_task(const Variant& variant) {
  std::mt19937_64 rng(11);
  return random_task(rng, variant.side, variant.side, false);
}

// What a child reports through a pipe.
struct Report {
  std::uint64_t allocations = 0;  // asked for while one could fail
  bool refused = false;           // whether the call returned a MemoryError value
  std::int64_t grown = 0;         // blocks alive at the end, less those at the start
  char problem[256] = {};         // empty, or what went wrong
};

template <class Body>
Report report_from_child(Body&& body) {
  Report report;
  int ends[2];
  if (pipe(ends) != 0) {
    std::snprintf(report.problem, sizeof report.problem, "no pipe");
    return report;
  }
  const int code = testing::run_in_child([&] {
    const Report made = body();
    return write(ends[1], &made, sizeof made) == static_cast<ssize_t>(sizeof made) ? 0 : 1;
  });
  close(ends[1]);
  const bool received = read(ends[0], &report, sizeof report) == static_cast<ssize_t>(sizeof report);
  close(ends[0]);
  if (code != 0 || !received) std::snprintf(report.problem, sizeof report.problem, "the child ended with %d", code);
  return report;
}

// In a fresh child: the k-th allocation of a solve fails (none for k = 0),
// then a second solve must succeed. Every thread then draws, so that the
// state kept for the process (the pool, the generators) ends the same
// whatever failed.
Report cold_solve(const Task& task, const Variant& variant, std::uint64_t k) {
  Report report;
  const std::int64_t before = live_blocks();
  {
    fail_allocation(k);
    const Result<Assignment> first = solve(task, variant, 0);
    report.allocations = stop_failing();
    report.refused = !first;
    std::string problem = failed_solve_problems(first, task);
    if (problem.empty()) problem = problems(solve(task, variant, 1), task);
    std::snprintf(report.problem, sizeof report.problem, "%s", problem.c_str());
  }
  draw_on_every_thread();
  report.grown = live_blocks() - before;
  return report;
}

class Solve : public ::testing::TestWithParam<Variant> {};

TEST_P(Solve, SurvivesTheFailureOfEveryAllocation) {
  const Variant& variant = GetParam();
  const Task task = some_task(variant);
  const Report reference = report_from_child([&] { return cold_solve(task, variant, 0); });
  ASSERT_STREQ(reference.problem, "");
  std::uint64_t k = 1;
  std::uint64_t refused = 0;
  for (; k <= kMostPoints; ++k) {
    const Report report = report_from_child([&] { return cold_solve(task, variant, k); });
    ASSERT_STREQ(report.problem, "") << "when allocation " << k << " failed";
    EXPECT_EQ(report.grown, reference.grown) << "blocks left behind when allocation " << k << " failed";
    if (report.allocations < k) break;
    refused += report.refused ? 1 : 0;
  }
  std::cout << variant.name << ": each of " << k - 1 << " allocations failed in turn, " << refused
            << " of them ending the solve with MemoryError\n";
  RecordProperty("failure_points", static_cast<int>(k - 1));
  EXPECT_GT(refused, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Solvers, Solve,
    ::testing::Values(Variant{"AntColonyDefault", true, false}, Variant{"AntColonySeeded", true, true},
                      Variant{"ProbabilisticDefault", false, false}, Variant{"ProbabilisticSeeded", false, true},
                      Variant{"AntColonyInFlight", true, false, 70}, Variant{"ProbabilisticInFlight", false, true, 70}),
    [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

// Candidate sources that note the allocations made when the first batch starts.
class NotingSources final : public runtime::CandidateSources {
 public:
  explicit NotingSources(runtime::CandidateSources& inner) : inner_(inner) {}
  void start_batch(std::uint64_t batch) override {
    if (batch == 0) at_first_batch = allocations_made();
    inner_.start_batch(batch);
  }
  OutputSource& open(std::uint64_t candidate, runtime::OutputSlot& slot) const override {
    return inner_.open(candidate, slot);
  }

  std::uint64_t at_first_batch = 0;

 private:
  runtime::CandidateSources& inner_;
};

// Everything a solve needs is allocated before its first candidate is built,
// so that what does not fit is refused before any work.
TEST_P(Solve, AllocatesNothingOnceItsFirstBatchStarts) {
  const Variant& variant = GetParam();
  const Task task = some_task(variant);
  draw_on_every_thread();  // the generators are the threads', not the solve's
  runtime::ThreadGeneratorSources entropy;
  runtime::SeededSources seeded(5, 0);
  NotingSources sources(variant.seeded ? static_cast<runtime::CandidateSources&>(seeded) : entropy);
  const Result<Assignment> result = solve(task, variant, sources);
  const std::uint64_t at_end = allocations_made();
  EXPECT_EQ(problems(result, task), "");
  EXPECT_EQ(at_end, sources.at_first_batch);
}

// The candidates of a batch, handed out in index order on this thread.
class ClaimsInOrder final : public runtime::Claims {
 public:
  explicit ClaimsInOrder(std::size_t count) : count_(count) {}
  bool next(std::size_t& index) override {
    if (next_ == count_) return false;
    index = next_++;
    return true;
  }
  void fail(std::size_t, std::exception_ptr) override { ++failed; }
  std::size_t failed = 0;

 private:
  std::size_t count_;
  std::size_t next_ = 0;
};

// A pipeline reserved for one construction or for all that the plan keeps in
// flight builds a batch of many more without allocating.
TEST(AllocationFailure, AReservedPipelineAllocatesNothing) {
  const ConstructionPlan plan = testing::random_plan(3, 5000, 2000, 3);
  runtime::SeededSources sources(7, 0);
  sources.start_batch(0);
  for (const std::size_t depth : {std::size_t{1}, std::size_t{3}}) {
    ConstructionPipeline pipeline;
    pipeline.reserve(plan, depth);
    ClaimsInOrder claims(10);
    std::size_t built = 0;
    const std::uint64_t before = allocations_made();
    pipeline.run(plan, claims, sources, [&](std::size_t, const Constructor&) { ++built; });
    EXPECT_EQ(allocations_made(), before) << depth << " reserved";
    EXPECT_EQ(built, 10u);
    EXPECT_EQ(claims.failed, 0u);
  }
}

// Linux reserves more than the machine holds; a batch whose cells could not
// all be written is refused before anything is reserved for it.
TEST(AllocationFailure, ABatchBeyondMemoryAndSwapIsRefusedWithoutTrying) {
  constexpr std::size_t kCells = std::size_t{1} << 23;  // a MiB of cells per ant
  const auto ants = static_cast<std::uint64_t>(memory_and_swap() >> 20) + 1;
  std::vector<Solution> batch;
  const std::uint64_t before = allocations_made();
  const std::optional<Error> error = allocate_batch(batch, ants, kCells, "ants");
  const std::uint64_t made = allocations_made() - before;
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, ErrorKind::MemoryError);
  EXPECT_TRUE(starts_with(error->message,
                          "not enough memory for a batch of " + std::to_string(ants) + " ants of 8388608 cells each ("))
      << error->message;
  EXPECT_LT(made, ants);  // the limits read and the message, not a reservation per ant
  EXPECT_EQ(batch.capacity(), 0u);
}

TEST(AllocationFailure, TaskConstructionSurvivesTheFailureOfEveryAllocation) {
  constexpr std::size_t m = 20;
  constexpr std::size_t n = 30;
  std::vector<std::int64_t> costs(m * n);
  std::vector<std::int64_t> resources(m * n);
  std::vector<double> discounts(2 * m * n);
  for (std::size_t k = 0; k < m * n; ++k) {
    costs[k] = static_cast<std::int64_t>(k % 17);
    resources[k] = static_cast<std::int64_t>(k % 5 + 1);
    discounts[2 * k] = static_cast<double>(k % 3) / 4.0;
  }
  const auto element = static_cast<std::ptrdiff_t>(sizeof(std::int64_t));
  const auto rows = static_cast<std::ptrdiff_t>(m);
  const auto cols = static_cast<std::ptrdiff_t>(n);
  // Row-major and column-major blocks, copied whole, and every other element
  // of a longer array, gathered.
  const StridedArray c{reinterpret_cast<const char*>(costs.data()), m, n, cols * element, element};
  const StridedArray b_ij{reinterpret_cast<const char*>(resources.data()), m, n, element, rows * element};
  const StridedArray omega{reinterpret_cast<const char*>(discounts.data()), m, n, 2 * cols * element, 2 * element};
  auto matches = [&](const Result<Task>& made) {
    if (!made || !validate(made.value())) return false;
    const Task& task = made.value();
    return task.c(3, 4) == costs[3 * n + 4] && task.b_ij(3, 4) == resources[4 * m + 3] &&
           task.omega(3, 4) == discounts[2 * (3 * n + 4)];
  };

  const std::int64_t before = live_blocks();
  std::uint64_t k = 1;
  for (; k <= kMostPoints; ++k) {
    std::uint64_t made_allocations = 0;
    {
      fail_allocation(k);
      const Result<Task> made = make_task(m, n, c, b_ij, 1000, omega);
      made_allocations = stop_failing();
      if (made) {
        EXPECT_TRUE(matches(made)) << "when allocation " << k << " failed";
      } else {
        EXPECT_EQ(made.error().kind, ErrorKind::MemoryError);
        EXPECT_EQ(made.error().message, "not enough memory for a 20×30 task (14400 bytes)");
      }
      EXPECT_TRUE(matches(make_task(m, n, c, b_ij, 1000, omega)));
    }
    ASSERT_EQ(live_blocks(), before) << "blocks left behind when allocation " << k << " failed";
    if (made_allocations < k) break;
  }
  std::cout << "Task construction: each of " << k - 1 << " allocations failed in turn\n";
  EXPECT_GE(k - 1, 3u);  // a copy of each array
}

// A batch whose results are collected in index order, their strings made on
// the workers.
TEST(AllocationFailure, CollectingABatchSurvivesTheFailureOfEveryAllocation) {
  ASSERT_GE(runtime::current_num_threads(), 2u);
  auto make = [](std::size_t i) { return std::string(40, static_cast<char>('a' + i)); };
  std::vector<std::string> out{"kept"};
  auto kept_alone = [&] { return out.size() == 1 && out[0] == "kept"; };
  auto all_there = [&] {
    if (out.size() != 9 || out[0] != "kept") return false;
    for (std::size_t i = 0; i < 8; ++i) {
      if (out[i + 1] != make(i)) return false;
    }
    return true;
  };
  out.reserve(9);
  const std::int64_t before = live_blocks();
  std::uint64_t k = 1;
  for (; k <= kMostPoints; ++k) {
    fail_allocation(k);
    bool failed = false;
    try {
      runtime::par_extend(out, 8, make);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    const std::uint64_t made_allocations = stop_failing();
    EXPECT_TRUE(failed ? kept_alone() : all_there()) << "when allocation " << k << " failed";
    out.resize(1);
    runtime::par_extend(out, 8, make);
    EXPECT_TRUE(all_there());
    out.resize(1);
    ASSERT_EQ(live_blocks(), before) << "blocks left behind when allocation " << k << " failed";
    if (made_allocations < k) break;
  }
  EXPECT_GE(k - 1, 10u);  // the slots, their marks and eight strings
}

}  // namespace
}  // namespace corvane
