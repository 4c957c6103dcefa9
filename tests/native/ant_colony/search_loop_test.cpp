// The ant colony's arithmetic, bit for bit: tau, Q and the best value after
// each iteration of small solves driven by known outputs, against a model of
// the loop written out here step by step (heuristic, weights, the reference
// rescan construction, objective, evaporation, deposit), and against values
// worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ant_colony/ant_colony_solver.h"
#include "ant_colony/construction.h"
#include "probabilistic/probabilistic_solver.h"
#include "support/outputs.h"

namespace corvane {
namespace {

using testing::ScriptedOutputs;

// Candidate j of batch i draws a SplitMix sequence of its own, on any thread.
class ScriptedSources final : public runtime::CandidateSources {
 public:
  void start_batch(std::uint64_t batch) override {
    batch_ = batch;
    ++batches_started;
  }
  OutputSource& open(std::uint64_t candidate, runtime::OutputSlot& slot) const override {
    return slot.emplace<ScriptedOutputs>(seed(batch_, candidate));
  }
  static std::uint64_t seed(std::uint64_t batch, std::uint64_t candidate) { return 1000 * batch + candidate + 1; }
  int batches_started = 0;

 private:
  std::uint64_t batch_ = 0;
};

Task make_task(std::size_t m, std::size_t n, std::vector<std::int64_t> c, std::vector<std::int64_t> b,
               std::vector<double> omega, std::int64_t b_total) {
  Task task;
  task.m = m;
  task.n = n;
  task.c = IntMatrix::with_layout(m, n, std::move(c), static_cast<std::ptrdiff_t>(n), 1, 0);
  task.b_ij = IntMatrix::with_layout(m, n, std::move(b), static_cast<std::ptrdiff_t>(n), 1, 0);
  task.omega = FloatMatrix::with_layout(m, n, std::move(omega), static_cast<std::ptrdiff_t>(n), 1, 0);
  task.b_total = b_total;
  return task;
}

// The state after an iteration, as the loop must leave it.
struct Snapshot {
  std::vector<double> tau;
  double q = 0.0;
  double best = 0.0;
};

// The loop, written out for a row-major task.
std::vector<Snapshot> model(const Task& task, const AntColonyParameters& p, std::vector<double>* ant_values) {
  const std::size_t cells = task.m * task.n;
  const std::vector<std::int64_t> c(task.c.storage(), task.c.storage() + cells);
  const std::vector<std::int64_t> b(task.b_ij.storage(), task.b_ij.storage() + cells);
  const std::vector<double> omega(task.omega.storage(), task.omega.storage() + cells);

  std::vector<double> eta(cells);
  std::int64_t sum = 0;
  std::int64_t cmax = 0;
  for (std::size_t k = 0; k < cells; ++k) {
    eta[k] = b[k] == 0 ? 0.0 : ((1.0 - omega[k]) * static_cast<double>(c[k])) / static_cast<double>(b[k]);
    sum += b[k];
    cmax = std::max(cmax, c[k]);
  }
  const double mean = static_cast<double>(sum) / static_cast<double>(cells);
  const double q = static_cast<double>(task.b_total) / mean * static_cast<double>(cmax);

  std::vector<double> tau;
  tau.assign(cells, p.initial_pheromone);
  double best = 0.0;
  std::vector<Snapshot> snapshots;
  for (std::uint64_t iteration = 0; iteration < p.kmax; ++iteration) {
    std::vector<double> weights(cells);
    for (std::size_t k = 0; k < cells; ++k) weights[k] = std::pow(tau[k], p.alpha) * std::pow(eta[k], p.beta);
    std::vector<std::vector<std::uint64_t>> picks;
    std::vector<double> values;
    for (std::uint64_t ant = 0; ant < p.num_ants; ++ant) {
      ScriptedOutputs outputs(ScriptedSources::seed(iteration, ant));
      std::vector<std::uint64_t> chosen = construct_by_rescan({weights, b, task.b_total}, outputs);
      std::vector<bool> in(cells, false);
      for (std::uint64_t cell : chosen) in[cell] = true;
      double value = 0.0;
      for (std::size_t k = 0; k < cells; ++k) {
        if (in[k]) value += static_cast<double>(c[k]) * (1.0 - omega[k]);
      }
      picks.push_back(chosen);
      values.push_back(value);
      if (ant_values != nullptr) ant_values->push_back(value);
      if (value > best) best = value;
    }
    for (double& t : tau) t *= 1.0 - p.rho;
    for (std::size_t ant = 0; ant < picks.size(); ++ant) {
      for (std::uint64_t cell : picks[ant]) tau[cell] += values[ant] / q;
    }
    snapshots.push_back(Snapshot{tau, q, best});
  }
  return snapshots;
}

// The solver's own state after each iteration, seen by its checkpoint.
std::vector<Snapshot> observe(const Task& task, const AntColonyParameters& p, Assignment* result = nullptr) {
  ScriptedSources sources;
  std::vector<Snapshot> seen;
  auto record = [&](const Progress& progress) {
    seen.push_back(Snapshot{{progress.tau.begin(), progress.tau.end()}, progress.deposit_scale, progress.best_value});
    EXPECT_EQ(progress.batches, seen.size());
    return true;
  };
  Result<Assignment> solved = solve_ant_colony(task, p, SolveControl{sources, record});
  EXPECT_TRUE(solved.ok());
  EXPECT_EQ(sources.batches_started, static_cast<int>(p.num_ants > 0 ? p.kmax : 0));
  if (result != nullptr && solved.ok()) *result = solved.value();
  return seen;
}

void expect_same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t k = 0; k < actual.size(); ++k) {
    // Bit patterns: NaN and the sign of zero count too.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual[k]), std::bit_cast<std::uint64_t>(expected[k]))
        << "cell " << k << ": " << actual[k] << " against " << expected[k];
  }
}

// A 3 x 4 task where ants fill about half the budget: several ants per
// iteration, different cells and values, and rho away from 0, 1/2 and 1, so
// that evaporating by rho instead of 1 - rho, depositing before evaporating,
// or letting only the best ant deposit all change tau.
Task mixed_task() {
  return make_task(3, 4, {-3, 9, 4, 7, 2, 8, 5, 1, 6, 3, 9, 2}, {1, 3, 2, 2, 1, 4, 2, 1, 3, 2, 2, 1},
                   {0.0, 0.1, 0.5, 0.0, 0.25, 0.0, 0.2, 0.9, 0.0, 0.3, 0.1, 0.0}, 10);
}

TEST(AntColonyLoop, TauQAndBestFollowTheLoopBitForBit) {
  const Task task = mixed_task();
  const AntColonyParameters p{4, 2, 1.5, 2.0, 0.3, 0.8};
  std::vector<double> ant_values;
  const std::vector<Snapshot> expected = model(task, p, &ant_values);
  Assignment result;
  const std::vector<Snapshot> seen = observe(task, p, &result);
  ASSERT_EQ(seen.size(), 2u);

  // Worked by hand: the resources sum to 24 over 12 cells, a mean of 2;
  // Q = 10 / 2 * 9 = 45.
  EXPECT_EQ(seen[0].q, 45.0);
  // The case is a real test of the deposit rule only if the ants differ.
  ASSERT_NE(*std::min_element(ant_values.begin(), ant_values.begin() + 4),
            *std::max_element(ant_values.begin(), ant_values.begin() + 4));
  for (std::size_t iteration = 0; iteration < 2; ++iteration) {
    SCOPED_TRACE("after iteration " + std::to_string(iteration + 1));
    EXPECT_EQ(seen[iteration].q, expected[iteration].q);
    EXPECT_EQ(seen[iteration].best, expected[iteration].best);
    expect_same_bits(seen[iteration].tau, expected[iteration].tau);
  }
  EXPECT_EQ(result.value, expected[1].best);
}

TEST(AntColonyLoop, HandWorkedSingleCell) {
  // One cell of cost 5, resource 1, budget 1: every ant takes it and scores
  // 5; Q = 1 / 1 * 5 = 5, so each of 3 ants deposits 1. With rho = 0.25:
  // tau = 2 * 0.75 + 3 = 4.5 after the first iteration, then
  // 4.5 * 0.75 + 3 = 6.375.
  const Task task = make_task(1, 1, {5}, {1}, {0.0}, 1);
  const std::vector<Snapshot> seen = observe(task, AntColonyParameters{3, 2, 1.0, 2.0, 0.25, 2.0});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].q, 5.0);
  EXPECT_EQ(seen[0].tau, std::vector<double>{4.5});
  EXPECT_EQ(seen[1].tau, std::vector<double>{6.375});
  EXPECT_EQ(seen[1].best, 5.0);
}

TEST(AntColonyLoop, NoPositiveCostMakesQZeroAndTheDepositsInfinite) {
  // The largest cost starts from 0, so with every cost negative Q is 0 and
  // a negative value deposits -infinity; cells no ant chose only evaporate.
  // (Each ant takes one cell: any two exceed the budget.)
  const Task task = make_task(1, 3, {-4, -2, -1}, {1, 1, 1}, {0.0, 0.0, 0.0}, 1);
  const AntColonyParameters p{2, 1, 1.0, 2.0, 0.5, 1.0};
  const std::vector<Snapshot> seen = observe(task, p);
  const std::vector<Snapshot> expected = model(task, p, nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].q, 0.0);
  EXPECT_EQ(seen[0].best, 0.0);
  expect_same_bits(seen[0].tau, expected[0].tau);
  const auto chosen = std::count(seen[0].tau.begin(), seen[0].tau.end(), -std::numeric_limits<double>::infinity());
  EXPECT_GE(chosen, 1);
  EXPECT_EQ(chosen + std::count(seen[0].tau.begin(), seen[0].tau.end(), 0.5), 3);
}

TEST(AntColonyLoop, ACheckpointThatSaysStopEndsTheSolve) {
  const Task task = mixed_task();
  ScriptedSources sources;
  int checkpoints = 0;
  auto stop_after_two = [&](const Progress&) { return ++checkpoints < 2; };
  const Result<Assignment> stopped =
      solve_ant_colony(task, AntColonyParameters{3, 10, 1.0, 2.0, 0.1, 1.0}, SolveControl{sources, stop_after_two});
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().kind, ErrorKind::Stopped);
  EXPECT_EQ(checkpoints, 2);
  EXPECT_EQ(sources.batches_started, 2);

  // The probabilistic solver's one batch is followed by one checkpoint.
  ScriptedSources samples;
  checkpoints = 0;
  auto stop = [&](const Progress& progress) {
    ++checkpoints;
    EXPECT_EQ(progress.batches, 1u);
    EXPECT_GT(progress.best_value, 0.0);
    return false;
  };
  const Result<Assignment> refused =
      solve_probabilistic(task, ProbabilisticParameters{50}, SolveControl{samples, stop});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, ErrorKind::Stopped);
  EXPECT_EQ(checkpoints, 1);
}

// A limit already past: the ant colony builds its first ant and no other,
// then ends with that iteration, its update and checkpoint included, with
// that ant's value; the probabilistic solver builds its first sample and far
// from all the others, and returns the best of those it built. A limit
// beyond reach changes nothing.
TEST(TimeLimits, StopNewWorkOnceTheDeadlineHasPassed) {
  const Task task = mixed_task();
  const auto long_ago = TimeLimit::Clock::now() - std::chrono::seconds(1);
  const AntColonyParameters p{4, 10, 1.5, 2.0, 0.3, 0.8};
  std::vector<double> ant_values;
  const std::vector<Snapshot> expected = model(task, p, &ant_values);
  auto go_on = [](const Progress&) { return true; };
  for (const double seconds : {1e-3, 1e12}) {
    SCOPED_TRACE(seconds);
    TimeLimit limit(long_ago, seconds);
    const bool past = seconds < 1.0;
    ScriptedSources sources;
    int checkpoints = 0;
    auto count = [&](const Progress&) { return ++checkpoints > 0; };
    CandidateTally tally;
    const Result<Assignment> solved = solve_ant_colony(task, p, SolveControl{sources, count, nullptr, &tally, &limit});
    ASSERT_TRUE(solved.ok());
    EXPECT_EQ(checkpoints, past ? 1 : 10);
    EXPECT_EQ(tally.done(), past ? 1u : 40u);
    EXPECT_EQ(solved.value().value, past ? std::max(0.0, ant_values[0]) : expected[9].best);
    EXPECT_EQ(tally.best(), solved.value().value);

    TimeLimit sample_limit(long_ago, seconds);
    ScriptedSources samples;
    CandidateTally built;
    const std::uint64_t kmax = past ? 10'000'000 : 500;
    const Result<Assignment> sampled =
        solve_probabilistic(task, ProbabilisticParameters{kmax},
                            SolveControl{samples, go_on, nullptr, &built, &sample_limit});
    ASSERT_TRUE(sampled.ok());
    EXPECT_GE(built.done(), 1u);
    if (past) {
      EXPECT_LT(built.done(), kmax / 10);
    } else {
      EXPECT_EQ(built.done(), kmax);
    }
    EXPECT_EQ(sampled.value().value, built.best());
  }
}

}  // namespace
}  // namespace corvane
