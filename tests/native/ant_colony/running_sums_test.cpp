// Block-wise running sums against plain left-to-right addition.

#include "ant_colony/running_sums.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "ant_colony/fast_construction.h"
#include "support/outputs.h"

namespace corvane {
namespace {

double left_to_right(const std::vector<double>& weights, const CellSet& candidates) {
  double total = 0.0;
  for (std::size_t cell : candidates.members()) total += weights[cell];
  return total;
}

std::vector<double> random_weights(std::mt19937_64& rng, std::size_t cells, int kind) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> w(cells, 0.0);
  for (double& x : w) {
    switch (kind) {
      case 0:
        x = 0.1 + unit(rng);
        break;                           // ordinary
      case 1:
        x = std::pow(2.0, std::floor(unit(rng) * 8));
        break;  // powers of two: halfway weights
      case 2:
        x = std::pow(10.0, -250 + 500 * unit(rng));
        break;    // huge range
      default:
        x = static_cast<double>(1 + rng() % 5) * 0.1;
        break; // inexact decimals
    }
  }
  return w;
}

TEST(RunningSums, WalkAndPickMatchPlainAdditionAsCandidatesChange) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    const int kind = round % 4;
    // Up to several groups of blocks.
    const std::size_t cells = 1 + rng() % (round % 5 == 0 ? 20000 : 5000);
    const std::vector<double> weights = random_weights(rng, cells, kind);
    CellSet candidates(cells);
    for (std::size_t cell = 0; cell < cells; ++cell) {
      if (rng() % 4 != 0) candidates.insert(cell);
    }
    RunningSums start;
    start.resize(cells);
    if (round % 2 == 1) (void)start.walk(weights, candidates);  // a warm start
    RunningSums sums;
    sums.restart(start);
    // Candidates come and go before the first walk (only marked then) and
    // between walks (kept up to date, or forgotten in a sweep), as in a
    // construction.
    for (int step = 0; step < 30; ++step) {
      const bool sweeps = step % 3 == 2;
      for (int change = 0; change < 40; ++change) {
        const std::size_t cell = rng() % cells;
        if (candidates.contains(cell)) {
          candidates.erase(cell);
          if (sweeps && change % 2 == 0) {
            sums.left_in_sweep(cell);
          } else {
            sums.left(cell, weights[cell]);
          }
        } else {
          candidates.insert(cell);
          sums.joined(cell, weights[cell]);
        }
      }
      const double total = sums.walk(weights, candidates);
      ASSERT_EQ(total, left_to_right(weights, candidates)) << "round " << round << " step " << step;
      if (total > 0.0 && std::isfinite(total)) {
        for (int draw = 0; draw < 5; ++draw) {
          const std::uint64_t output = rng();
          testing::RecordedOutputs for_scan({output});
          ASSERT_EQ(sums.pick(weights, candidates, total, output), pick_by_scan(weights, candidates, for_scan));
        }
      }
    }
  }
}

TEST(RunningSums, InfiniteTotalsAreReported) {
  std::vector<double> weights(300, 1e307);
  CellSet all(300);
  for (std::size_t cell = 0; cell < 300; ++cell) all.insert(cell);
  RunningSums sums;
  sums.resize(300);
  EXPECT_TRUE(std::isinf(sums.walk(weights, all)));
}

}  // namespace
}  // namespace corvane
