// Output sources with known values, for driving constructions and solves.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/output_source.h"

namespace corvane::testing {

// A SplitMix64 sequence. `coarse_bits` > 0 keeps only that many top bits, so
// that draws land exactly on the edges of buckets made of equal weights.
class ScriptedOutputs final : public OutputSource {
 public:
  explicit ScriptedOutputs(std::uint64_t seed, int coarse_bits = 0) : state_(seed), coarse_bits_(coarse_bits) {}
  std::uint64_t next_u64() override {
    ++drawn;
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    if (coarse_bits_ > 0) z &= ~0ULL << (64 - coarse_bits_);
    return z;
  }
  std::uint64_t drawn = 0;

 private:
  std::uint64_t state_;
  int coarse_bits_;
};

// Replays a fixed list of outputs, then zeros.
class RecordedOutputs final : public OutputSource {
 public:
  explicit RecordedOutputs(std::vector<std::uint64_t> values) : values_(std::move(values)) {}
  std::uint64_t next_u64() override {
    ++drawn;
    return next_ < values_.size() ? values_[next_++] : 0;
  }
  std::uint64_t drawn = 0;

 private:
  std::vector<std::uint64_t> values_;
  std::size_t next_ = 0;
};

}  // namespace corvane::testing
