// Exact left-to-right running sums of the candidates' weights, computed a
// block of cells at a time.
//
// Floating-point addition is not associative, so the running sums a
// WeightedIndex forms can only be reproduced in order. But while a running
// sum S stays within one binade [2^e, 2^(e+1)), every addition rounds to the
// same grid of multiples of 2^(e-52): fl(S + w) = S + round(w), with round()
// to the nearest multiple, as long as no weight lies exactly halfway between
// two multiples. So a block whose cells keep S inside one binade adds the
// same exact amount whatever S is within that binade; that amount is cached
// per block and kept up to date as candidates come and go. Blocks where S
// crosses into the next binade, or that hold a halfway weight, are added
// cell by cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

class RunningSums {
 public:
  static constexpr std::size_t kBlock = 64;

  // Starts over for the weights `weights` (0 marks a cell that is no candidate).
  void reset(std::span<const double> weights);
  // The same in two steps, so that blocks can be counted in parallel:
  // resize() for the number of cells, then count() every block.
  void resize(std::size_t cells);
  void count(std::span<const double> weights, std::size_t block) noexcept;
  void copy_from(const RunningSums& other);

  // A cell's weight changed from `before` to `after` (one of them may be 0).
  void update(std::size_t cell, double before, double after) noexcept;

  // Runs the sums over all candidates and returns the total; afterwards
  // pick() can answer for any output. The total may be +infinity.
  double walk(std::span<const double> weights);

  // The cell that a WeightedIndex over the candidates (in cell order) picks
  // for `output`, after walk() and with no change in between; `total` is
  // what walk() returned and must be finite.
  std::size_t pick(std::span<const double> weights, double total, std::uint64_t output) const;

 private:
  struct Block {
    int exponent;    // binade the cached sum is for; kNoExponent when none
    std::uint32_t candidates;
    std::uint32_t halfway;  // weights exactly halfway between two grid points
    double sum;      // exact sum of the rounded weights, when below 2^exponent
  };
  static constexpr int kNoExponent = -100000;

  void refresh(std::span<const double> weights, std::size_t block, int exponent) noexcept;

  std::vector<Block> blocks_;
  std::vector<double> starts_;  // running sum before each block, after walk()
};

}  // namespace corvane
