#include "ant_colony/running_sums.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "runtime/weighted_index.h"

namespace corvane {
namespace {

// Binades below this are left to the cell-by-cell path, so that the grid
// scale 2^(52-e) and the grid step 2^(e-52) stay normal, finite doubles.
constexpr int kLowestExponent = -960;

// 2^k for -1022 <= k <= 1023.
double pow2(int k) noexcept { return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52); }

// Binade of a positive, finite, normal x: 2^e <= x < 2^(e+1).
int binade(double x) noexcept {
  return static_cast<int>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7FF) - 1023;
}

// w / 2^(e-52) rounded to the nearest integer (ties to even), and whether w
// lay exactly halfway. `scale` is 2^(52-e).
struct Rounded {
  double units;
  bool halfway;
};

Rounded round_to_grid(double weight, double scale) noexcept {
  const double t = weight * scale;  // exact: a power-of-two scaling
  if (!(t < 0x1p52)) return {t, false};  // already an integer (or +inf)
  const double units = (t + 0x1p52) - 0x1p52;
  return {units, std::fabs(t - units) == 0.5};
}

}  // namespace

void RunningSums::reset(std::span<const double> weights) {
  resize(weights.size());
  for (std::size_t block = 0; block < blocks_.size(); ++block) count(weights, block);
}

void RunningSums::resize(std::size_t cells) {
  const std::size_t blocks = (cells + kBlock - 1) / kBlock;
  blocks_.resize(blocks);
  starts_.assign(blocks + 1, 0.0);
}

void RunningSums::count(std::span<const double> weights, std::size_t block) noexcept {
  std::uint32_t candidates = 0;
  const std::size_t end = std::min(weights.size(), (block + 1) * kBlock);
  for (std::size_t cell = block * kBlock; cell < end; ++cell) candidates += weights[cell] != 0.0;
  blocks_[block] = Block{kNoExponent, candidates, 0, 0.0};
}

void RunningSums::copy_from(const RunningSums& other) {
  blocks_.resize(other.blocks_.size());
  std::copy(other.blocks_.begin(), other.blocks_.end(), blocks_.begin());
  starts_.resize(other.starts_.size());
}

void RunningSums::refresh(std::span<const double> weights, std::size_t block, int exponent) noexcept {
  Block& b = blocks_[block];
  const double scale = pow2(52 - exponent);
  double units = 0.0;
  std::uint32_t halfway = 0;
  const std::size_t end = std::min(weights.size(), (block + 1) * kBlock);
  for (std::size_t cell = block * kBlock; cell < end; ++cell) {
    if (weights[cell] == 0.0) continue;
    const Rounded r = round_to_grid(weights[cell], scale);
    units += r.units;
    halfway += r.halfway ? 1 : 0;
  }
  b.exponent = exponent;
  b.halfway = halfway;
  b.sum = units * pow2(exponent - 52);
}

void RunningSums::update(std::size_t cell, double before, double after) noexcept {
  Block& b = blocks_[cell / kBlock];
  b.candidates += (after != 0.0) - (before != 0.0);
  if (b.exponent == kNoExponent) return;
  // The cached sum is exact only below 2^exponent; anything else is rebuilt
  // on the next walk.
  const double limit = pow2(b.exponent);
  if (!(b.sum < limit)) {
    b.exponent = kNoExponent;
    return;
  }
  const double scale = pow2(52 - b.exponent);
  const double step = pow2(b.exponent - 52);
  double units = b.sum * scale;
  if (before != 0.0) {
    const Rounded r = round_to_grid(before, scale);
    units -= r.units;
    b.halfway -= r.halfway ? 1 : 0;
  }
  if (after != 0.0) {
    const Rounded r = round_to_grid(after, scale);
    units += r.units;
    b.halfway += r.halfway ? 1 : 0;
  }
  b.sum = units * step;
  if (!(b.sum < limit)) b.exponent = kNoExponent;
}

double RunningSums::walk(std::span<const double> weights) {
  double running = 0.0;
  for (std::size_t block = 0; block < blocks_.size(); ++block) {
    starts_[block] = running;
    Block& b = blocks_[block];
    if (b.candidates == 0) continue;
    if (running > 0.0 && running < 0x1p1022) {
      const int e = binade(running);
      if (e >= kLowestExponent) {
        if (b.exponent != e) refresh(weights, block, e);
        // Exact: running and the sum are multiples of 2^(e-52) and their
        // sum stays below 2^(e+1).
        if (b.halfway == 0 && b.sum < pow2(e)) {
          const double next = running + b.sum;
          if (next < pow2(e + 1)) {
            running = next;
            continue;
          }
        }
      }
    }
    const std::size_t end = std::min(weights.size(), (block + 1) * kBlock);
    for (std::size_t cell = block * kBlock; cell < end; ++cell) {
      if (weights[cell] != 0.0) running += weights[cell];
    }
  }
  starts_[blocks_.size()] = running;
  return running;
}

std::size_t RunningSums::pick(std::span<const double> weights, double total, std::uint64_t output) const {
  const double d = runtime::UniformFloat{0.0, runtime::sampler_scale(total)}.sample_from_output(output);
  // The first block whose end sum exceeds d holds the first running sum above d.
  const auto first_above = std::upper_bound(starts_.begin() + 1, starts_.end(), d);
  if (first_above != starts_.end()) {
    const std::size_t block = static_cast<std::size_t>(first_above - starts_.begin()) - 1;
    double running = starts_[block];
    const std::size_t end = std::min(weights.size(), (block + 1) * kBlock);
    for (std::size_t cell = block * kBlock; cell < end; ++cell) {
      if (weights[cell] == 0.0) continue;
      running += weights[cell];
      if (running > d) return cell;  // the last candidate is picked by this too
    }
  }
  // No running sum exceeds d: the last candidate.
  for (std::size_t block = blocks_.size(); block-- > 0;) {
    if (blocks_[block].candidates == 0) continue;
    const std::size_t end = std::min(weights.size(), (block + 1) * kBlock);
    for (std::size_t cell = end; cell-- > block * kBlock;) {
      if (weights[cell] != 0.0) return cell;
    }
  }
  return weights.size();
}

}  // namespace corvane
