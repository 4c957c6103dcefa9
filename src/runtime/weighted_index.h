// Uniform floats and the weighted choice over a list of weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <variant>
#include <vector>

namespace corvane::runtime {

// Text of the internal failure raised when the weights add up to +infinity.
inline constexpr const char* kNonFiniteTotal = "called `Result::unwrap()` on an `Err` value: NonFinite";

// A 64-bit output mapped to [0, 1 - 2^-52]: its top 52 bits become the
// fraction of a double in [1, 2), then 1 is taken away.
inline double unit_from_output(std::uint64_t x) noexcept {
  const std::uint64_t bits = (x >> 12) | 0x3FF0000000000000ULL;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v + -1.0;
}

// Uniform over [low, low + scale): u * scale + low, two separate roundings.
struct UniformFloat {
  double low;
  double scale;

  double sample_from_output(std::uint64_t x) const noexcept {
    const double product = unit_from_output(x) * scale;  // no fused multiply-add
    return product + low;
  }
};

enum class WeightedIndexError { EmptyInput, InvalidWeight, AllWeightsZero };

class WeightedIndex {
 public:
  // Builds the distribution; build errors come back as values. A total of
  // +infinity throws InternalFailure(kNonFiniteTotal).
  static std::variant<WeightedIndex, WeightedIndexError> build(std::span<const double> weights);

  // The index selected by one 64-bit generator output.
  std::size_t sample_from_output(std::uint64_t x) const noexcept;

  template <class Rng>
  std::size_t sample(Rng& rng) const {
    return sample_from_output(rng.next_u64());
  }

  double total() const noexcept { return total_; }
  double scale() const noexcept { return sampler_.scale; }
  // Running sums w0, w0 + w1, ..., all but the last.
  const std::vector<double>& cumulative() const noexcept { return cumulative_; }

 private:
  WeightedIndex() = default;
  std::vector<double> cumulative_;
  double total_ = 0.0;
  UniformFloat sampler_{0.0, 0.0};
};

// Largest scale whose products u * scale stay below `total` for every u the
// sampler can produce; equal to `total` for every positive finite total.
double sampler_scale(double total) noexcept;

// Number of entries of the non-decreasing list `cumulative` that are <= d,
// by a binary search whose step count depends only on the list length.
std::size_t count_at_most(const double* cumulative, std::size_t length, double d) noexcept;

}  // namespace corvane::runtime
