#include "runtime/weighted_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/failure.h"

namespace corvane::runtime {
namespace {

WeightedIndex built(std::initializer_list<double> weights) {
  std::vector<double> w(weights);
  auto result = WeightedIndex::build(w);
  EXPECT_TRUE(std::holds_alternative<WeightedIndex>(result));
  return std::get<WeightedIndex>(std::move(result));
}

WeightedIndexError build_error(std::initializer_list<double> weights) {
  std::vector<double> w(weights);
  auto result = WeightedIndex::build(w);
  EXPECT_TRUE(std::holds_alternative<WeightedIndexError>(result));
  return std::get<WeightedIndexError>(result);
}

TEST(WeightedIndex, WorkedExampleTable) {
  const WeightedIndex index = built({1.0, 2.0, 1.0});
  EXPECT_EQ(index.cumulative(), (std::vector<double>{1.0, 3.0}));
  EXPECT_EQ(index.total(), 4.0);
  EXPECT_EQ(index.scale(), 4.0);

  struct Row {
    std::uint64_t output;
    double u;
    double d;
    std::size_t index;
  };
  const Row rows[] = {
      {0x0000000000000000ULL, 0.0, 0.0, 0},
      {0x3333333333333333ULL, 0.19999999999999996, 0.7999999999999998, 0},
      {0x4000000000000000ULL, 0.25, 1.0, 1},
      {0xC000000000000000ULL, 0.75, 3.0, 2},
      {0xFFFFFFFFFFFFFFFFULL, 0.9999999999999998, 3.999999999999999, 2},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(unit_from_output(row.output), row.u) << std::hex << row.output;
    EXPECT_EQ((UniformFloat{0.0, 4.0}.sample_from_output(row.output)), row.d) << std::hex << row.output;
    EXPECT_EQ(index.sample_from_output(row.output), row.index) << std::hex << row.output;
  }
}

TEST(WeightedIndex, BuildErrorsInDetectionOrder) {
  EXPECT_EQ(build_error({}), WeightedIndexError::EmptyInput);
  EXPECT_EQ(build_error({0.0, 0.0}), WeightedIndexError::AllWeightsZero);
  EXPECT_EQ(build_error({-0.0}), WeightedIndexError::AllWeightsZero);
  EXPECT_EQ(build_error({1.0, std::nan("")}), WeightedIndexError::InvalidWeight);
  EXPECT_EQ(build_error({-1.0, 5.0}), WeightedIndexError::InvalidWeight);
  EXPECT_EQ(build_error({1.0, -std::numeric_limits<double>::infinity()}), WeightedIndexError::InvalidWeight);
  // An invalid weight is reported before an all-zero total would be.
  EXPECT_EQ(build_error({0.0, -1.0}), WeightedIndexError::InvalidWeight);
}

TEST(WeightedIndex, InfiniteTotalIsAnInternalFailure) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const std::vector<double>& w : {std::vector<double>{1.0, inf}, std::vector<double>{1e308, 1e308}}) {
    try {
      (void)WeightedIndex::build(w);
      ADD_FAILURE() << "expected an internal failure";
    } catch (const InternalFailure& failure) {
      EXPECT_STREQ(failure.what(), "called `Result::unwrap()` on an `Err` value: NonFinite");
    }
  }
}

TEST(WeightedIndex, ZeroWeightsAreNeverChosen) {
  const WeightedIndex index = built({0.0, 2.0, 0.0});
  EXPECT_EQ(index.cumulative(), (std::vector<double>{0.0, 2.0}));
  for (std::uint64_t x : {0ULL, 1ULL << 63, ~0ULL, 0x123456789abcdefULL}) {
    EXPECT_EQ(index.sample_from_output(x), 1u);
  }
  const WeightedIndex single = built({3.5});
  EXPECT_TRUE(single.cumulative().empty());
  EXPECT_EQ(single.sample_from_output(~0ULL), 0u);
}

TEST(WeightedIndex, SubnormalTotalCanReachTheLastIndex) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const WeightedIndex index = built({tiny, 0.0});
  // u * scale rounds up to the total for large u: every entry counts.
  EXPECT_EQ(index.sample_from_output(~0ULL), 1u);
  EXPECT_EQ(index.sample_from_output(0), 0u);
}

TEST(WeightedIndex, BinarySearchCountsEntriesAtMost) {
  const std::vector<double> c = {0.0, 1.0, 1.0, 2.0, 5.0, 5.0, 9.0};
  for (double d : {-1.0, 0.0, 0.5, 1.0, 1.5, 2.0, 4.9, 5.0, 8.0, 9.0, 10.0}) {
    std::size_t expected = 0;
    for (double v : c) expected += v <= d ? 1 : 0;
    EXPECT_EQ(count_at_most(c.data(), c.size(), d), expected) << d;
  }
  EXPECT_EQ(count_at_most(c.data(), 0, 3.0), 0u);
}

}  // namespace
}  // namespace corvane::runtime
