// What a construction reads of a cell, kept side by side so that a step's
// reads of one cell share a cache line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// 16 bytes, so that four cache lines hold a block of 16 cells. A cell's quantised
// weight is not stored; the construction computes it from the weight.
struct CellRecord {
  double weight = 0.0;  // in the current batch
  std::int64_t resource = 0;
};
static_assert(sizeof(CellRecord) == 16);

// The weights of a row of cells, wherever they are stored: a plain array, or
// the weight fields of cell records.
class WeightView {
 public:
  WeightView(std::span<const double> weights) noexcept  // NOLINT: implicit, as a span would be
      : first_(weights.data()), stride_(1), size_(weights.size()) {}
  WeightView(const std::vector<double>& weights) noexcept  // NOLINT
      : WeightView(std::span<const double>(weights)) {}
  WeightView(std::span<const CellRecord> records) noexcept  // NOLINT
      : first_(records.empty() ? nullptr : &records.front().weight),
        stride_(sizeof(CellRecord) / sizeof(double)),
        size_(records.size()) {}

  double operator[](std::size_t cell) const noexcept { return first_[cell * stride_]; }
  std::size_t size() const noexcept { return size_; }

 private:
  static_assert(sizeof(CellRecord) % sizeof(double) == 0);
  const double* first_;
  std::size_t stride_;
  std::size_t size_;
};

}  // namespace corvane
