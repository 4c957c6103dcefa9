#include "runtime/weighted_index.h"

#include <bit>
#include <cmath>

#include "runtime/failure.h"

namespace corvane::runtime {

double sampler_scale(double total) noexcept {
  constexpr double kMaxUnit = 0.9999999999999998;  // 1 - 2^-52, the largest u
  double scale = total;
  while (scale * kMaxUnit > total) {
    scale = std::bit_cast<double>(std::bit_cast<std::uint64_t>(scale) - 1);
  }
  return scale;
}

std::size_t count_at_most(const double* cumulative, std::size_t length, double d) noexcept {
  if (length == 0) return 0;
  std::size_t base = 0;
  std::size_t size = length;
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    base = d >= cumulative[mid] ? mid : base;
    size -= half;
  }
  return base + (d >= cumulative[base] ? 1 : 0);
}

std::variant<WeightedIndex, WeightedIndexError> WeightedIndex::build(std::span<const double> weights) {
  if (weights.empty()) return WeightedIndexError::EmptyInput;
  double total = weights[0];
  if (!(total >= 0.0)) return WeightedIndexError::InvalidWeight;

  WeightedIndex index;
  index.cumulative_.reserve(weights.size() - 1);
  for (std::size_t k = 1; k < weights.size(); ++k) {
    const double w = weights[k];
    if (!(w >= 0.0)) return WeightedIndexError::InvalidWeight;
    index.cumulative_.push_back(total);
    total = total + w;
  }
  if (total == 0.0) return WeightedIndexError::AllWeightsZero;
  if (std::isinf(total)) fail(kNonFiniteTotal);

  index.total_ = total;
  index.sampler_ = UniformFloat{0.0, sampler_scale(total)};
  return index;
}

std::size_t WeightedIndex::sample_from_output(std::uint64_t x) const noexcept {
  const double d = sampler_.sample_from_output(x);
  return count_at_most(cumulative_.data(), cumulative_.size(), d);
}

}  // namespace corvane::runtime
