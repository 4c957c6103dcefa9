// The production construction against the straightforward rescan: same
// cells, same order, same number of draws, same failures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "ant_colony/construction.h"
#include "ant_colony/construction_pipeline.h"
#include "ant_colony/fast_construction.h"
#include "ant_colony/quantised_tree.h"
#include "runtime/failure.h"
#include "runtime/weighted_index.h"
#include "support/outputs.h"

namespace corvane {
namespace {

using testing::RecordedOutputs;
using testing::ScriptedOutputs;

struct Outcome {
  std::vector<std::uint64_t> picks;
  std::optional<std::string> failure;
  std::uint64_t drawn = 0;
};

struct Case {
  std::vector<double> weights;
  std::vector<std::int64_t> resources;
  std::int64_t b_total = 1;
  int coarse_bits = 0;
};

template <class Outputs>
Outcome run_rescan(const Case& c, Outputs outputs) {
  Outcome outcome;
  try {
    outcome.picks = construct_by_rescan({c.weights, c.resources, c.b_total}, outputs);
  } catch (const InternalFailure& failure) {
    outcome.failure = failure.message();
  }
  outcome.drawn = outputs.drawn;
  return outcome;
}

template <class Outputs>
Outcome run_fast(Constructor& constructor, const ConstructionPlan& plan, Outputs outputs) {
  Outcome outcome;
  try {
    constructor.construct(plan, outputs, &outcome.picks);
    // The picked set holds exactly the cells of the pick order.
    CellSet expected(plan.cells());
    for (std::uint64_t cell : outcome.picks) expected.insert(cell);
    if (!(constructor.picked() == expected)) outcome.failure = "picked() differs from the order of picks";
  } catch (const InternalFailure& failure) {
    // The rescan returns no picks when it fails; the outputs drawn pin the
    // point of failure.
    outcome.failure = failure.message();
    outcome.picks.clear();
  }
  outcome.drawn = outputs.drawn;
  return outcome;
}

std::string describe(const Outcome& outcome) {
  std::string text = outcome.failure ? "failure '" + *outcome.failure + "'" : "no failure";
  text += ", " + std::to_string(outcome.picks.size()) + " picks, " + std::to_string(outcome.drawn) + " drawn";
  return text;
}

// Builds the plan for `c` (in `layout`, else the one its size picks) and runs
// one fast construction and the rescan, each on a fresh `make_outputs()`:
// they must fail alike, pick the same cells in the same order and draw as
// many outputs. `expected`, when given, receives the rescan's outcome.
template <class MakeOutputs>
  requires(std::is_invocable_v<MakeOutputs&>)::testing::AssertionResult
same_as_rescan(Constructor& constructor, const Case& c, MakeOutputs make_outputs, Outcome* expected = nullptr,
               std::optional<ConstructionPlan::Layout> layout = std::nullopt) {
  ConstructionPlan plan(c.resources, c.b_total, layout.value_or(ConstructionPlan::Layout::for_cells(c.weights.size())));
  plan.set_weights(c.weights);
  const Outcome rescan = run_rescan(c, make_outputs());
  const Outcome fast = run_fast(constructor, plan, make_outputs());
  if (expected != nullptr) *expected = rescan;
  if (fast.failure == rescan.failure && fast.picks == rescan.picks && fast.drawn == rescan.drawn) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << c.weights.size() << " cells: the rescan ends with " << describe(rescan)
                                       << ", the fast construction with " << describe(fast);
}

// The same on the outputs of a SplitMix64 sequence from `seed`.
::testing::AssertionResult same_as_rescan(Constructor& constructor, const Case& c, std::uint64_t seed,
                                          Outcome* expected = nullptr,
                                          std::optional<ConstructionPlan::Layout> layout = std::nullopt) {
  return same_as_rescan(constructor, c, [&] { return ScriptedOutputs(seed, c.coarse_bits); }, expected, layout);
}

// Hands out candidates 0, 1, 2, ... and keeps each failure's text by index.
class ClaimsInOrder final : public runtime::Claims {
 public:
  explicit ClaimsInOrder(std::size_t count) : failures(count) {}
  bool next(std::size_t& index) override {
    if (next_ == failures.size()) return false;
    index = next_++;
    return true;
  }
  void fail(std::size_t index, std::exception_ptr failure) override {
    try {
      std::rethrow_exception(failure);
    } catch (const InternalFailure& internal) {
      failures.at(index) = internal.message();
    } catch (...) {
      failures.at(index) = "(an exception of another type)";
    }
  }
  std::vector<std::optional<std::string>> failures;

 private:
  std::size_t next_ = 0;
};

// Candidate k draws from outputs[k], which outlive the batch.
template <class Outputs>
class ListedSources final : public runtime::CandidateSources {
 public:
  explicit ListedSources(std::vector<Outputs>& outputs) : outputs_(outputs) {}
  void start_batch(std::uint64_t) override {}
  OutputSource& open(std::uint64_t candidate, runtime::OutputSlot& slot) const override {
    return slot.emplace<Borrowed>(outputs_.at(candidate));
  }

 private:
  class Borrowed final : public OutputSource {
   public:
    explicit Borrowed(OutputSource& from) : from_(from) {}
    std::uint64_t next_u64() override { return from_.next_u64(); }

   private:
    OutputSource& from_;
  };
  std::vector<Outputs>& outputs_;
};

// Builds a candidate for every entry of `outputs` (in `layout`, else the one
// the size of `c` picks) with a pipeline that keeps `in_flight` of them going,
// and compares each with the rescan on a fresh copy of its outputs.
template <class Outputs>
::testing::AssertionResult pipeline_same_as_rescan(const Case& c, const std::vector<Outputs>& outputs,
                                                   std::size_t in_flight,
                                                   std::optional<ConstructionPlan::Layout> layout = std::nullopt) {
  ConstructionPlan::Layout chosen = layout.value_or(ConstructionPlan::Layout::for_cells(c.weights.size()));
  chosen.in_flight = in_flight;
  ConstructionPlan plan(c.resources, c.b_total, chosen);
  plan.set_weights(c.weights);
  std::vector<Outcome> built(outputs.size());
  std::vector<Outputs> drawing = outputs;
  ClaimsInOrder claims(outputs.size());
  const ListedSources<Outputs> sources(drawing);
  ConstructionPipeline pipeline(true);
  pipeline.run(plan, claims, sources, [&](std::size_t k, const Constructor& constructor) {
    built.at(k).picks = constructor.order();
    CellSet expected(plan.cells());
    for (std::uint64_t cell : constructor.order()) expected.insert(cell);
    if (!(constructor.picked() == expected)) built[k].failure = "picked() differs from the order of picks";
  });
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    if (claims.failures[k]) built[k] = Outcome{{}, claims.failures[k]};
    built[k].drawn = drawing[k].drawn;
    const Outcome rescan = run_rescan(c, outputs[k]);
    if (built[k].failure != rescan.failure || built[k].picks != rescan.picks || built[k].drawn != rescan.drawn) {
      return ::testing::AssertionFailure()
             << c.weights.size() << " cells, candidate " << k << " of " << outputs.size() << " with " << in_flight
             << " in flight: the rescan ends with " << describe(rescan) << ", the pipeline with " << describe(built[k]);
    }
  }
  return ::testing::AssertionSuccess();
}

// Outputs for `count` candidates of `c`, each a SplitMix sequence of its own.
std::vector<ScriptedOutputs> scripted_batch(const Case& c, std::mt19937_64& rng, int count) {
  std::vector<ScriptedOutputs> outputs;
  for (int k = 0; k < count; ++k) outputs.emplace_back(rng(), c.coarse_bits);
  return outputs;
}

// Task families, each aimed at a way the fast construction could go wrong.
enum class Family {
  Uniform,          // ordinary weights and resources
  HugeRange,        // weights from 1e-300 to 1e300
  EqualWeights,     // many equal weights, draws on bucket edges
  NegativeBudget,   // negative resources let the budget grow back
  IntegerLimits,    // resources and budgets near the 64-bit limits
  Overflow,         // totals that reach +infinity, infinite weights
  FiniteOverflow,   // finite weights whose sum overflows, no infinite weight
  Junk,             // zero, negative and NaN weights mixed in
  kCount
};

// A task of the family with at least `min_cells` cells: mostly a few hundred,
// sometimes up to a hundred or so (the plain scan, and the smallest trees).
Case make_case(Family family, std::mt19937_64& rng, std::size_t min_cells = 1) {
  std::uniform_int_distribution<int> size_pick(0, 9);
  const std::size_t cells = std::max(min_cells, size_pick(rng) < 2 ? 1 + rng() % 120 : 256 + rng() % 900);
  Case c;
  c.weights.resize(cells);
  c.resources.resize(cells);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto resource = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  std::int64_t total_resource = 0;
  for (std::size_t k = 0; k < cells; ++k) {
    switch (family) {
      case Family::Uniform:
        c.weights[k] = 0.01 + unit(rng) * 100.0;
        c.resources[k] = resource(1, 19);
        break;
      case Family::HugeRange:
        c.weights[k] = std::pow(10.0, -300.0 + 600.0 * unit(rng));
        c.resources[k] = resource(1, 19);
        break;
      case Family::EqualWeights: {
        static const double choices[] = {1.0, 2.0, 0.5, 3.0, 1024.0};
        c.weights[k] = rng() % 4 == 0 ? choices[rng() % 5] : 1.0;
        c.resources[k] = resource(1, 3);
        c.coarse_bits = 1 + static_cast<int>(rng() % 8);
        break;
      }
      case Family::NegativeBudget:
        c.weights[k] = 0.5 + unit(rng) * 10.0;
        c.resources[k] = resource(-10, 19);
        break;
      case Family::IntegerLimits: {
        const std::int64_t big = std::numeric_limits<std::int64_t>::max();
        const std::int64_t options[] = {big, big - 1, -big - 1, big / 2, -(big / 2), 1, 0, -1};
        c.weights[k] = 1.0 + unit(rng);
        c.resources[k] = options[rng() % 8];
        break;
      }
      case Family::Overflow:
        c.weights[k] = rng() % 50 == 0 ? std::numeric_limits<double>::infinity() : 1e305 * (1.0 + unit(rng));
        c.resources[k] = resource(0, 19);
        break;
      case Family::FiniteOverflow:
        // Large enough that some hundreds of candidates overflow: at the
        // start, or only once negative resources have let more cells back in.
        c.weights[k] = (cells < 256 ? 1e307 : 2e305) * (1.0 + unit(rng));
        c.resources[k] = resource(-5, 19);
        break;
      case Family::Junk: {
        const double options[] = {0.0, -0.0, -1.0, std::nan(""), 1e-320, 5.0};
        c.weights[k] = rng() % 3 == 0 ? options[rng() % 6] : 1.0 + unit(rng) * 3.0;
        c.resources[k] = resource(0, 9);
        break;
      }
      case Family::kCount:
        break;
    }
    if (c.resources[k] > 0 && family != Family::IntegerLimits) total_resource += c.resources[k];
  }
  if (family == Family::IntegerLimits) {
    c.b_total = rng() % 2 ? std::numeric_limits<std::int64_t>::max() : 1 + static_cast<std::int64_t>(rng() >> 2);
  } else if (family == Family::FiniteOverflow) {
    c.b_total = 1 + static_cast<std::int64_t>(rng() % 12);
  } else if (family == Family::Overflow) {
    c.b_total = std::max<std::int64_t>(1, total_resource / (rng() % 2 ? 2 : 50));
  } else {
    c.b_total = std::max<std::int64_t>(1, total_resource / static_cast<std::int64_t>(1 + rng() % 10));
  }
  return c;
}

class ConstructionEquivalence : public ::testing::TestWithParam<Family> {};

TEST_P(ConstructionEquivalence, SamePicksAsTheRescan) {
  std::mt19937_64 rng(1234 + static_cast<int>(GetParam()));
  Constructor constructor;  // reused across cases, as a worker reuses it
  std::uint64_t failures = 0;
  std::uint64_t picks = 0;
  for (int round = 0; round < 300; ++round) {
    const Case c = make_case(GetParam(), rng);
    for (int draw = 0; draw < 2; ++draw) {
      Outcome expected;
      ASSERT_TRUE(same_as_rescan(constructor, c, rng(), &expected)) << "round " << round;
      failures += expected.failure.has_value();
      picks += expected.picks.size();
    }
  }
  EXPECT_GT(picks, 0u);
  if (GetParam() == Family::Overflow || GetParam() == Family::FiniteOverflow) {
    EXPECT_GT(failures, 0u);
  }
  RecordProperty("exact_steps", static_cast<int>(constructor.exact_steps()));
}

TEST_P(ConstructionEquivalence, PipelinedSamePicksAsTheRescan) {
  // Batches of a few more candidates than are in flight, so that slots are
  // reused while the others are mid-way, and failures among them.
  std::mt19937_64 rng(4321 + static_cast<int>(GetParam()));
  for (int round = 0; round < 120; ++round) {
    const Case c = make_case(GetParam(), rng);
    ASSERT_TRUE(pipeline_same_as_rescan(c, scripted_batch(c, rng, 7), 2 + round % 4)) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Families, ConstructionEquivalence,
                         ::testing::Values(Family::Uniform, Family::HugeRange, Family::EqualWeights,
                                           Family::NegativeBudget, Family::IntegerLimits, Family::Overflow,
                                           Family::FiniteOverflow, Family::Junk));

TEST(ConstructionEquivalence, FiniteOverflowFailsBeforeItsDraw) {
  // {1e308, 1e308} on the scan path, and the same pair among many tiny
  // weights on the tree path: both fail at the first step with no output
  // drawn, as the rescan does.
  std::vector<double> tree_weights(300, 1e-3);
  tree_weights[17] = tree_weights[200] = 1e308;
  for (const std::vector<double>& weights : {std::vector<double>{1e308, 1e308}, tree_weights}) {
    const Case c{weights, std::vector<std::int64_t>(weights.size(), 1), 1000, 0};
    Constructor constructor;
    Outcome expected;
    EXPECT_TRUE(same_as_rescan(constructor, c, 5, &expected));
    EXPECT_EQ(expected.failure, std::optional<std::string>(runtime::kNonFiniteTotal));
    EXPECT_EQ(expected.drawn, 0u);
  }
}

TEST(ConstructionEquivalence, WideTreeSums) {
  // Beyond 2^22 cells the tree's upper levels hold 128-bit sums; 2^54 quanta
  // per weight make a tree of a few hundred cells take that form too.
  EXPECT_EQ(QuantisedTree::quantum_bits(std::size_t{1} << 20), 42);
  EXPECT_EQ(QuantisedTree::quantum_bits((std::size_t{1} << 22) + 1), 50);
  std::mt19937_64 rng(654);
  Constructor constructor;
  Constructor ordinary;  // ordinary tasks only: the tree, not the exact scan, must decide their steps
  std::size_t ordinary_picks = 0;
  for (int round = 0; round < 140; ++round) {
    const Family family = static_cast<Family>(round % static_cast<int>(Family::kCount));
    const Case c = make_case(family, rng);
    Outcome expected;
    const ConstructionPlan::Layout layout{ResourceOrder::width_for(c.weights.size()), 54};
    ASSERT_TRUE(same_as_rescan(family == Family::Uniform ? ordinary : constructor, c, rng(), &expected, layout))
        << "round " << round;
    ASSERT_TRUE(pipeline_same_as_rescan(c, scripted_batch(c, rng, 3), 5, layout)) << "round " << round;
    if (family == Family::Uniform && c.weights.size() >= 256) ordinary_picks += expected.picks.size();
  }
  EXPECT_GT(ordinary_picks, 100u);
  EXPECT_LT(ordinary.exact_steps() * 10, ordinary_picks);
}

TEST(ConstructionEquivalence, LayoutsOfLargeTasks) {
  // Small tasks with the layout of large ones: running sums that follow
  // every change, no quantised weights kept by the plan. Every family, so
  // that exact steps take part.
  EXPECT_FALSE(ConstructionPlan::Layout::for_cells(1000).follow_sums);
  EXPECT_FALSE(ConstructionPlan::Layout::for_cells(1000000).keep_units);
  std::mt19937_64 rng(777);
  Constructor constructor;
  for (int round = 0; round < 100; ++round) {
    const Case c = make_case(static_cast<Family>(round % static_cast<int>(Family::kCount)), rng);
    ConstructionPlan::Layout layout = ConstructionPlan::Layout::for_cells(c.weights.size());
    layout.follow_sums = true;
    layout.keep_units = round % 2 == 0;
    ASSERT_TRUE(same_as_rescan(constructor, c, rng(), nullptr, layout)) << "round " << round;
    ASSERT_TRUE(pipeline_same_as_rescan(c, scripted_batch(c, rng, 3), 2, layout)) << "round " << round;
  }
}

TEST(ConstructionEquivalence, WideCellIndices) {
  // Tasks of 2^32 cells or more keep their resource order in 64-bit indices.
  // The same construction over wide indices, forced on small tasks.
  EXPECT_EQ(ResourceOrder::width_for((std::size_t{1} << 32) - 1), ResourceOrder::Width::Narrow);
  EXPECT_EQ(ResourceOrder::width_for(std::size_t{1} << 32), ResourceOrder::Width::Wide);
  std::mt19937_64 rng(321);
  Constructor constructor;
  for (int round = 0; round < 100; ++round) {
    const Case c = make_case(round % 2 ? Family::NegativeBudget : Family::Uniform, rng);
    const ConstructionPlan::Layout layout{ResourceOrder::Width::Wide, QuantisedTree::quantum_bits(c.weights.size())};
    ASSERT_TRUE(same_as_rescan(constructor, c, rng(), nullptr, layout)) << "round " << round;
    ASSERT_TRUE(pipeline_same_as_rescan(c, scripted_batch(c, rng, 3), 2, layout)) << "round " << round;
  }
}

TEST(ConstructionEquivalence, TreeAndExactScanBothTakePart) {
  // On ordinary weights the tree decides; with draws on bucket edges of equal
  // weights, the exact scan must step in.
  std::mt19937_64 rng(99);
  Constructor ordinary;
  Constructor edges;
  for (int round = 0; round < 20; ++round) {
    const Case c = make_case(Family::Uniform, rng, 256);
    ConstructionPlan plan(c.resources, c.b_total);
    plan.set_weights(c.weights);
    ScriptedOutputs outputs(rng(), 0);
    std::vector<std::uint64_t> picks;
    ordinary.construct(plan, outputs, &picks);
    EXPECT_LT(ordinary.exact_steps(), picks.size());

    const Case e = make_case(Family::EqualWeights, rng, 256);
    ConstructionPlan edge_plan(e.resources, e.b_total);
    edge_plan.set_weights(e.weights);
    ScriptedOutputs edge_outputs(rng(), 2);
    edges.construct(edge_plan, edge_outputs);
  }
  EXPECT_GT(edges.exact_steps(), 0u);
}

TEST(ConstructionEquivalence, WeightsOverAVastRangeStayWithTheTree) {
  // eta^16 (a high beta) spans hundreds of binades: once the largest
  // candidates are taken, the rest quantise to nothing on the batch's scale,
  // and a construction quantises them afresh instead of scanning exactly at
  // every step.
  std::mt19937_64 rng(2718);
  Constructor constructor;
  std::size_t picks = 0;
  for (int round = 0; round < 10; ++round) {
    Case c;
    // eta from 0.03 to 100, spread evenly over its binades
    std::uniform_real_distribution<double> log_eta(std::log(0.03), std::log(100.0));
    std::int64_t total = 0;
    for (std::size_t k = 0; k < 2000; ++k) {
      c.weights.push_back(std::pow(std::exp(log_eta(rng)), 16.0));
      c.resources.push_back(1 + static_cast<std::int64_t>(rng() % 19));
      total += c.resources.back();
    }
    c.b_total = total / 2;
    Outcome expected;
    ASSERT_TRUE(same_as_rescan(constructor, c, rng(), &expected)) << "round " << round;
    picks += expected.picks.size();
  }
  EXPECT_LT(constructor.exact_steps() * 10, picks);
}

// Outputs whose draws land on, or a few units in the last place next to, a
// bucket edge at every step: found by walking the construction with the
// weighted choice itself and aiming each draw at a random running sum.
std::vector<std::uint64_t> edge_seeking_outputs(const Case& c, std::mt19937_64& rng) {
  std::vector<std::uint64_t> outputs;
  std::vector<std::uint8_t> chosen(c.weights.size(), 0);
  __int128 used = 0;
  for (;;) {
    std::vector<std::size_t> cells;
    std::vector<double> weights;
    for (std::size_t k = 0; k < c.weights.size(); ++k) {
      if (chosen[k] == 0 && used + c.resources[k] <= c.b_total && c.weights[k] > 0.0) {
        cells.push_back(k);
        weights.push_back(c.weights[k]);
      }
    }
    if (cells.empty()) break;
    auto built = runtime::WeightedIndex::build(weights);
    const auto& index = std::get<runtime::WeightedIndex>(built);
    std::uint64_t x = rng();
    if (!index.cumulative().empty()) {
      const double edge = index.cumulative()[rng() % index.cumulative().size()];
      const double u = edge / index.total();
      const auto mantissa =
          static_cast<std::int64_t>(std::nearbyint(u * 0x1p52)) + static_cast<std::int64_t>(rng() % 7) - 3;
      x = static_cast<std::uint64_t>(std::clamp<std::int64_t>(mantissa, 0, (1LL << 52) - 1)) << 12;
    }
    outputs.push_back(x);
    const std::size_t cell = cells[index.sample_from_output(x)];
    chosen[cell] = 1;
    used += c.resources[cell];
  }
  return outputs;
}

TEST(ConstructionEquivalence, DrawsOnBucketEdges) {
  std::mt19937_64 rng(7);
  Constructor constructor;
  for (int round = 0; round < 150; ++round) {
    Case c = make_case(round % 2 ? Family::Uniform : Family::HugeRange, rng);
    if (round % 3 == 0) {
      for (double& w : c.weights) w = 0.1 * static_cast<double>(1 + rng() % 7);  // inexact binary fractions
    }
    const std::vector<std::uint64_t> outputs = edge_seeking_outputs(c, rng);
    ASSERT_TRUE(same_as_rescan(constructor, c, [&] { return RecordedOutputs(outputs); })) << "round " << round;
    if (round % 3 == 0) {
      std::vector<RecordedOutputs> batch;
      for (int k = 0; k < 4; ++k) batch.emplace_back(edge_seeking_outputs(c, rng));
      ASSERT_TRUE(pipeline_same_as_rescan(c, batch, 3)) << "round " << round;
    }
  }
  EXPECT_GT(constructor.exact_steps(), 0u);
}

TEST(ConstructionPipeline, ASlotWhoseConstructionEndsStartsTheNextCandidate) {
  // Cell 0 weighs nearly everything and uses the whole budget: a draw of 0
  // takes it and ends the construction at once. Draws of almost 1 take the
  // last cells instead, one unit of budget each, for 100 steps. With two in
  // flight, candidates 1 to 5 (one step each) pass through one slot while
  // candidate 0 is still being built in the other.
  Case c;
  c.weights.assign(300, 1.0);
  c.weights[0] = 1e6;
  c.resources.assign(300, 1);
  c.resources[0] = 100;
  c.b_total = 100;
  std::vector<RecordedOutputs> outputs(6, RecordedOutputs({}));
  outputs[0] = RecordedOutputs(std::vector<std::uint64_t>(100, ~std::uint64_t{0}));
  ASSERT_TRUE(pipeline_same_as_rescan(c, outputs, 2));

  ConstructionPlan::Layout layout = ConstructionPlan::Layout::for_cells(c.weights.size());
  layout.in_flight = 2;
  ConstructionPlan plan(c.resources, c.b_total, layout);
  plan.set_weights(c.weights);
  ClaimsInOrder claims(outputs.size());
  const ListedSources<RecordedOutputs> sources(outputs);
  std::vector<std::size_t> finished;
  std::vector<std::size_t> picks;
  ConstructionPipeline pipeline;
  pipeline.run(plan, claims, sources, [&](std::size_t k, const Constructor& built) {
    finished.push_back(k);
    picks.push_back(built.picked().count());
  });
  EXPECT_EQ(finished, (std::vector<std::size_t>{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(picks, (std::vector<std::size_t>{1, 1, 1, 1, 1, 100}));
}

TEST(PickByScan, MatchesTheWorkedExample) {
  // Weights 1, 2, 1 over cells 0, 2, 3 (cell 1 is no candidate).
  // Cell 1 weighs 5 but is no candidate.
  const std::vector<double> w = {1.0, 5.0, 2.0, 1.0};
  CellSet candidates(4);
  for (std::size_t cell : {0, 2, 3}) candidates.insert(cell);
  RecordedOutputs outputs({0x0000000000000000ULL, 0x3333333333333333ULL, 0x4000000000000000ULL, 0xC000000000000000ULL,
                           0xFFFFFFFFFFFFFFFFULL});
  for (std::size_t expected : {0u, 0u, 2u, 3u, 3u}) EXPECT_EQ(pick_by_scan(w, candidates, outputs), expected);
  const std::vector<double> overflow = {1e308, 1e308, 1e308};
  CellSet two(3);
  two.insert(0);
  two.insert(2);
  EXPECT_THROW(pick_by_scan(overflow, two, outputs), InternalFailure);
  EXPECT_EQ(outputs.drawn, 5u);  // no draw for the overflowing total
}

}  // namespace
}  // namespace corvane
