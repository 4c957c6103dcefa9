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
int binade(double x) noexcept { return static_cast<int>((std::bit_cast<std::uint64_t>(x) >> 52) & 0x7FF) - 1023; }

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

void RunningSums::resize(std::size_t cells) {
  forget_walk();
  const std::size_t blocks = (cells + kBlock - 1) / kBlock;
  const std::size_t groups = (blocks + kGroup - 1) / kGroup;
  blocks_.assign(blocks, Block{kNoExponent, 0, 0.0});
  groups_.assign(groups, Block{kNoExponent, 0, 0.0});
  starts_.assign(groups + 1, 0.0);
  marked_.assign((blocks + 63) / 64, 0);
}

void RunningSums::restart(const RunningSums& start) {
  forget_walk();
  start_ = &start;
  marked_.assign((start.blocks_.size() + 63) / 64, 0);
}

void RunningSums::restart_all_changed(const RunningSums& start) {
  restart(start);
  const std::size_t blocks = start.blocks_.size();
  std::fill(marked_.begin(), marked_.end(), ~std::uint64_t{0});
  if (blocks % 64 != 0) marked_.back() = (std::uint64_t{1} << (blocks % 64)) - 1;
}

void RunningSums::adopt() {
  blocks_.assign(start_->blocks_.begin(), start_->blocks_.end());
  groups_.assign(start_->groups_.begin(), start_->groups_.end());
  starts_.resize(start_->starts_.size());
  start_ = nullptr;
}

void RunningSums::forget_marked_groups() noexcept {
  for (std::size_t block : SetBits(marked_.data(), 0, marked_.size())) groups_[block / kGroup].exponent = kNoExponent;
}

const RunningSums::Block& RunningSums::cached(std::size_t block, int exponent, WeightView weights,
                                              std::uint64_t word) noexcept {
  std::uint64_t& marks = marked_[block / 64];
  const std::uint64_t bit = std::uint64_t{1} << (block % 64);
  if ((marks & bit) != 0 || blocks_[block].exponent != exponent) {
    refresh(weights, word, block, exponent);
    marks &= ~bit;
  }
  return blocks_[block];
}

// A weight joined or left a block or group whose amount is cached.
void RunningSums::change_cached(Block& b, double weight, double sign) noexcept {
  if (b.exponent == kNoExponent) return;
  // The cached sum is exact only below 2^exponent; anything else is rebuilt
  // on the next walk.
  const double limit = pow2(b.exponent);
  if (!(b.sum < limit) || !(weight < 0x1p1023)) {
    b.exponent = kNoExponent;
    return;
  }
  const double scale = pow2(52 - b.exponent);
  const Rounded r = round_to_grid(weight, scale);
  b.sum = (b.sum * scale + sign * r.units) * pow2(b.exponent - 52);
  if (r.halfway) b.halfway += sign > 0.0 ? 1 : -1;
  if (!(b.sum < limit)) b.exponent = kNoExponent;
}

void RunningSums::refresh(WeightView weights, std::uint64_t word, std::size_t block, int exponent) noexcept {
  const double scale = pow2(52 - exponent);
  double units = 0.0;
  std::uint32_t halfway = 0;
  for (std::size_t cell : SetBits(word, block * kBlock)) {
    const Rounded r = round_to_grid(weights[cell], scale);
    units += r.units;
    halfway += r.halfway ? 1 : 0;
  }
  blocks_[block] = Block{exponent, halfway, units * pow2(exponent - 52)};
}

// Whether group `group` has its amount cached for binade `exponent`, which
// it gets, if need be, from its blocks' amounts for that binade. Amounts of
// at least 2^exponent are of no use and are not kept.
bool RunningSums::ready_for(std::size_t group, int exponent, WeightView weights, const CellSet& candidates) noexcept {
  Block& g = groups_[group];
  if (g.exponent == exponent) return true;
  const double scale = pow2(52 - exponent);
  std::int64_t units = 0;  // whole units of 2^(exponent - 52), exact
  std::uint32_t halfway = 0;
  const std::size_t end = std::min(blocks_.size(), (group + 1) * kGroup);
  for (std::size_t block = group * kGroup; block < end; ++block) {
    const std::uint64_t word = candidates.word(block);
    if (word == 0) continue;
    const Block& b = cached(block, exponent, weights, word);
    if (!(b.sum < pow2(exponent))) return false;
    units += static_cast<std::int64_t>(b.sum * scale);
    halfway += b.halfway;
    if (units >= std::int64_t{1} << 52) return false;
  }
  g = Block{exponent, halfway, static_cast<double>(units) * pow2(exponent - 52)};
  return true;
}

// Adds the candidates of block `block` to `running`: its cached amount when
// that is exact, else cell by cell.
double RunningSums::add_block(std::size_t block, double running, WeightView weights,
                              const CellSet& candidates) noexcept {
  const std::uint64_t word = candidates.word(block);
  if (word == 0) return running;
  if (running > 0.0 && running < 0x1p1022) {
    const int e = binade(running);
    if (e >= kLowestExponent) {
      const Block& b = cached(block, e, weights, word);
      // Exact: running and the sum are multiples of 2^(e-52) and their
      // sum stays below 2^(e+1).
      if (b.halfway == 0 && b.sum < pow2(e)) {
        const double next = running + b.sum;
        if (next < pow2(e + 1)) return next;
      }
    }
  }
  for (std::size_t cell : SetBits(word, block * kBlock)) running += weights[cell];
  return running;
}

double RunningSums::walk(WeightView weights, const CellSet& candidates) {
  // The start's groups know nothing of the changes marked since the restart.
  if (start_ != nullptr) {
    adopt();
    forget_marked_groups();
  }
  CORVANE_CHECK(candidates.word_count() == blocks_.size() && weights.size() == candidates.cells(),
                "sums sized for the candidates' cells");
  double running = 0.0;
  for (std::size_t group = 0; group < groups_.size(); ++group) {
    starts_[group] = running;
    // A whole group at once, exactly as its blocks would add up, when the
    // running sum stays within one binade across it.
    if (running > 0.0 && running < 0x1p1022) {
      const int e = binade(running);
      if (e >= kLowestExponent && ready_for(group, e, weights, candidates)) {
        const Block& g = groups_[group];
        if (g.halfway == 0 && g.sum < pow2(e)) {
          const double next = running + g.sum;
          if (next < pow2(e + 1)) {
            running = next;
            continue;
          }
        }
      }
    }
    const std::size_t end = std::min(blocks_.size(), (group + 1) * kGroup);
    for (std::size_t block = group * kGroup; block < end; ++block) {
      running = add_block(block, running, weights, candidates);
    }
  }
  starts_[groups_.size()] = running;
  if constexpr (kChecksOn) walked_ = true;
  return running;
}

std::size_t RunningSums::pick(WeightView weights, const CellSet& candidates, double total, std::uint64_t output) {
  CORVANE_CHECK(walked_, "a pick follows a walk, with no change since");
  CORVANE_CHECK(std::isfinite(total), "a pick from a finite total");
  const double d = runtime::UniformFloat{0.0, runtime::sampler_scale(total)}.sample_from_output(output);
  // The first group whose end sum exceeds d holds the first running sum
  // above d; within it, the first such block, then the first such cell.
  const auto first_above = std::upper_bound(starts_.begin() + 1, starts_.end(), d);
  if (first_above != starts_.end()) {
    const std::size_t group = static_cast<std::size_t>(first_above - starts_.begin()) - 1;
    double running = starts_[group];
    const std::size_t end = std::min(blocks_.size(), (group + 1) * kGroup);
    for (std::size_t block = group * kGroup; block < end; ++block) {
      if (candidates.word(block) == 0) continue;
      // Cell by cell only in the block where the running sum passes d.
      const double after = add_block(block, running, weights, candidates);
      if (!(after > d)) {
        running = after;
        continue;
      }
      for (std::size_t cell : SetBits(candidates.word(block), block * kBlock)) {
        running += weights[cell];
        if (running > d) return cell;  // the last candidate is picked by this too
      }
    }
  }
  // No running sum exceeds d: the last candidate.
  for (std::size_t block = blocks_.size(); block-- > 0;) {
    const std::uint64_t word = candidates.word(block);
    if (word != 0) return block * kBlock + (CellSet::kWordBits - 1 - static_cast<std::size_t>(std::countl_zero(word)));
  }
  return weights.size();
}

}  // namespace corvane
