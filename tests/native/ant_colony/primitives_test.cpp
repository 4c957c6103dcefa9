// Known answers for the construction's building blocks, so that a fault
// points at the primitive rather than at a mismatch many picks later; and
// the debug checks of their preconditions, which these tests run with.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "../runtime/test_support.h"
#include "ant_colony/cell_set.h"
#include "ant_colony/quantised_tree.h"
#include "ant_colony/resource_order.h"
#include "ant_colony/running_sums.h"

namespace corvane {
namespace {

static_assert(kChecksOn, "the native tests link the core with its debug checks");

using testing::failure_text;

template <class Word>
std::vector<std::size_t> positions(const SetBits<Word>& bits) {
  std::vector<std::size_t> out;
  for (std::size_t position : bits) out.push_back(position);
  return out;
}

using Positions = std::vector<std::size_t>;

TEST(SetBits, WalksTheSetBitsOfAWordOrARunOfWords) {
  EXPECT_EQ(positions(SetBits<std::uint64_t>(0b1010'0101, 100)), (Positions{100, 102, 105, 107}));
  EXPECT_EQ(positions(SetBits<std::uint64_t>(0)), Positions{});
  EXPECT_EQ(positions(SetBits<std::uint64_t>(std::uint64_t{1} << 63)), Positions{63});
  EXPECT_EQ(positions(SetBits<std::uint32_t>(0x8000'0001u, 16)), (Positions{16, 47}));
  const std::uint64_t words[] = {0, 0b10, 0, std::uint64_t{1} << 63 | 1};
  EXPECT_EQ(positions(SetBits(words, 0, 4)), (Positions{65, 192, 255}));
  EXPECT_EQ(positions(SetBits(words, 1, 3)), Positions{65});
  EXPECT_EQ(positions(SetBits(words, 2, 2)), Positions{});
  EXPECT_EQ(positions(SetBits(words, 3, 4)), (Positions{192, 255}));
}

TEST(CellSet, KnownAnswers) {
  EXPECT_EQ(CellSet::words_for(0), 0u);
  EXPECT_EQ(CellSet::words_for(64), 1u);
  EXPECT_EQ(CellSet::words_for(130), 3u);
  CellSet set(130);
  for (std::size_t cell : {129u, 64u, 0u, 7u}) set.insert(cell);
  EXPECT_EQ(positions(set.members()), (Positions{0, 7, 64, 129}));
  EXPECT_EQ(positions(set.members(1, 3)), (Positions{64, 129}));
  EXPECT_EQ(positions(set.members(2, 3)), Positions{129});
  EXPECT_EQ(set.count(), 4u);
  EXPECT_TRUE(set.take(64));
  EXPECT_FALSE(set.take(64));
  set.erase(7);
  EXPECT_TRUE(set.contains(0));
  EXPECT_FALSE(set.contains(7));
  EXPECT_EQ(set.word(0), 1u);
  EXPECT_EQ(set.word(2), 2u);  // cell 129 is bit 1 of word 2

  CellSet copy;
  copy.assign(set);
  EXPECT_EQ(copy, set);
  copy.clear(10);
  EXPECT_EQ(copy.cells(), 10u);
  EXPECT_EQ(copy.count(), 0u);
}

struct TreeLayout {
  std::size_t blocks;
  std::int64_t unit;
  int bits;
  bool narrow;
};

class QuantisedTreeLayouts : public ::testing::TestWithParam<TreeLayout> {};

// Blocks 0, 1, 2, ... holding 1, 2, 3, ... units of `unit` quanta: block b
// starts after b(b + 1)/2 units.
TEST_P(QuantisedTreeLayouts, FindsTheBlockOfEveryUnit) {
  const TreeLayout layout = GetParam();
  const Wide unit = layout.unit;
  auto start_of = [&](std::size_t b) { return static_cast<Wide>(b * (b + 1) / 2) * unit; };
  QuantisedTree tree;
  tree.resize(layout.blocks * QuantisedTree::kBlock, layout.bits);
  for (std::size_t row = 0; row * QuantisedTree::kFanout < layout.blocks; ++row) {
    std::int64_t sums[QuantisedTree::kFanout] = {};
    for (std::size_t k = 0; k < QuantisedTree::kFanout && row * QuantisedTree::kFanout + k < layout.blocks; ++k) {
      sums[k] = static_cast<std::int64_t>(row * QuantisedTree::kFanout + k + 1) * layout.unit;
    }
    tree.set_row(row, sums);
  }
  tree.finish();
  ASSERT_EQ(tree.narrow(), layout.narrow);
  EXPECT_EQ(tree.total(), start_of(layout.blocks));

  // (block, units before it, offset into it) for `target`.
  auto find = [&](Wide target) {
    std::int64_t offset = 0;
    if (tree.narrow()) {
      std::int64_t before = 0;
      const std::size_t block = tree.find_block(static_cast<std::int64_t>(target), before, offset);
      return std::tuple<std::size_t, Wide, Wide>(block, before, offset);
    }
    Wide before = 0;
    const std::size_t block = tree.find_block(target, before, offset);
    return std::tuple<std::size_t, Wide, Wide>(block, before, offset);
  };
  // First and last units of blocks at the edges of rows and of the levels above.
  for (std::size_t b : {0u, 15u, 16u, 20u, 255u, 256u, 299u}) {
    if (b >= layout.blocks) continue;
    EXPECT_EQ(find(start_of(b)), std::make_tuple(b, start_of(b), Wide{0})) << "block " << b;
    EXPECT_EQ(find(start_of(b + 1) - 1), std::make_tuple(b, start_of(b), start_of(b + 1) - 1 - start_of(b)))
        << "block " << b;
  }

  // An empty block is never found: not at the start of a row either.
  tree.add(QuantisedTree::kBlock * 16 + 3, -17 * layout.unit);  // block 16 empties
  EXPECT_EQ(find(start_of(16)), std::make_tuple(std::size_t{17}, start_of(16), Wide{0}));
  std::int64_t deltas[QuantisedTree::kFanout] = {-layout.unit};
  tree.add_to_row(0, deltas);  // block 0 empties
  EXPECT_EQ(find(0), std::make_tuple(std::size_t{1}, Wide{0}, Wide{0}));
  EXPECT_EQ(tree.total(), start_of(layout.blocks) - 18 * unit);
}

INSTANTIATE_TEST_SUITE_P(Layouts, QuantisedTreeLayouts,
                         ::testing::Values(
        // 300 blocks: three levels, all 64-bit, as for up to 2^22 cells.
                             TreeLayout{300, 1, QuantisedTree::quantum_bits(std::size_t{1} << 22), true},
        // Quanta of 2^54: the level above the rows holds 128-bit sums, whose
        // total passes 2^63 (blocks stay below 16 * 2^54).
                             TreeLayout{256, std::int64_t{1} << 49, 54, false}),
                         [](const ::testing::TestParamInfo<TreeLayout>& info) {
                           return info.param.narrow ? "Narrow" : "Wide";
                         });

TEST(ResourceOrder, KnownAnswersInBothWidths) {
  // Counted out (a narrow range of resources) and sorted (a wide one).
  const std::vector<std::int64_t> counted = {3, 1, 2, 1, 3, 2, 1, 3, 2, 1};
  const std::int64_t big = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::int64_t> sorted = {5, -big - 1, 5, 0, big, -big - 1, 5};
  for (ResourceOrder::Width width : {ResourceOrder::Width::Narrow, ResourceOrder::Width::Wide}) {
    const ResourceOrder a(counted, width);
    const ResourceOrder b(sorted, width);
    EXPECT_EQ(a.wide(), width == ResourceOrder::Width::Wide);
    Positions order;
    for (std::size_t k = 0; k < counted.size(); ++k) order.push_back(a.cell(k));
    EXPECT_EQ(order, (Positions{1, 3, 6, 9, 2, 5, 8, 0, 4, 7}));
    order.clear();
    for (std::size_t k = 0; k < sorted.size(); ++k) order.push_back(b.cell(k));
    EXPECT_EQ(order, (Positions{1, 5, 3, 0, 2, 6, 4}));

    ASSERT_EQ(b.runs(), 4u);
    EXPECT_EQ(b.run_resource(0), -big - 1);
    EXPECT_EQ(b.run_resource(3), big);
    EXPECT_EQ(b.run_begin(2), 3u);
    EXPECT_EQ(b.run_end(2), 6u);
    EXPECT_EQ(b.runs_at_most(-big - 1), 1u);
    EXPECT_EQ(b.runs_at_most(4), 2u);
    EXPECT_EQ(b.runs_at_most(5), 3u);
    EXPECT_EQ(b.runs_at_most(big), 4u);
    Positions run;
    Positions ahead;
    b.for_each_in_run(2, [&](std::size_t cell, std::size_t next) {
      run.push_back(cell);
      ahead.push_back(next);
    });
    EXPECT_EQ(run, (Positions{0, 2, 6}));
    EXPECT_EQ(ahead, (Positions{6, 6, 6}));  // eight places on, or the run's last cell
  }
}

// A violated precondition is an internal failure naming the check and
// where it stands.
TEST(Checks, ViolatedPreconditionsAreReported) {
  QuantisedTree tree;
  tree.resize(40, 10);
  const std::int64_t block_sums[QuantisedTree::kFanout] = {5, 5, 5};
  tree.set_row(0, block_sums);
  tree.finish();
  std::int64_t before = 0;
  std::int64_t offset = 0;
  const std::string text = failure_text([&] { tree.find_block(std::int64_t{15}, before, offset); });
  EXPECT_TRUE(
      text.starts_with("check failed: a tree query's target lies in [0, total) at src/ant_colony/quantised_tree.cpp:"))
      << text;

  CellSet set(10);
  EXPECT_NE(failure_text([&] { set.insert(10); }).find("a cell of the set"), std::string::npos);

  const ResourceOrder order(std::vector<std::int64_t>{1, 2}, ResourceOrder::Width::Narrow);
  EXPECT_NE(failure_text([&] { (void)order.run_resource(2); }).find("a run of the resource order"), std::string::npos);

  const std::vector<double> weights(10, 1.0);
  set.insert(3);
  RunningSums sums;
  sums.resize(10);
  EXPECT_NE(failure_text([&] { sums.pick(weights, set, 1.0, 0); }).find("a pick follows a walk"), std::string::npos);
  const double total = sums.walk(weights, set);
  EXPECT_EQ(sums.pick(weights, set, total, 0), 3u);
  sums.joined(4, 1.0);
  EXPECT_NE(failure_text([&] { sums.pick(weights, set, total, 0); }).find("a pick follows a walk"), std::string::npos);
}

}  // namespace
}  // namespace corvane
