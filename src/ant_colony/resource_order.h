// The cells of a task in ascending order of resource (ties in cell order),
// cut into runs of equal resource. A construction admits or drops whole runs
// as its remaining budget moves, so the cells the budget excludes are always
// a suffix of this order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/check.h"

namespace corvane {

class ResourceOrder {
 public:
  // Cell indices are stored in 32 bits while they fit, which halves the
  // memory this order takes; from 2^32 cells on they take 64 bits.
  enum class Width { Narrow, Wide };
  static Width width_for(std::size_t cells) noexcept {
    return cells >= std::size_t{1} << 32 ? Width::Wide : Width::Narrow;
  }

  ResourceOrder(std::span<const std::int64_t> resources, Width width);

  bool wide() const noexcept { return !wide_cells_.empty(); }
  // The k-th cell in resource order, k below the number of cells.
  std::size_t cell(std::size_t k) const {
    CORVANE_CHECK(k < (wide() ? wide_cells_.size() : narrow_cells_.size()), "a position in the resource order");
    return wide() ? wide_cells_[k] : narrow_cells_[k];
  }

  // Runs of equal resource, in ascending resource: run r < runs() holds
  // positions run_begin(r) .. run_end(r) - 1 of the order.
  std::size_t runs() const noexcept { return run_values_.size(); }
  std::int64_t run_resource(std::size_t run) const {
    CORVANE_CHECK(run < runs(), "a run of the resource order");
    return run_values_[run];
  }
  std::size_t run_begin(std::size_t run) const {
    CORVANE_CHECK(run < runs(), "a run of the resource order");
    return run == 0 ? 0 : run_ends_[run - 1];
  }
  std::size_t run_end(std::size_t run) const {
    CORVANE_CHECK(run < runs(), "a run of the resource order");
    return run_ends_[run];
  }
  // How many runs use at most `limit`.
  std::size_t runs_at_most(std::int64_t limit) const noexcept;

  // visit(cell, ahead) for the cells of run `run` in order, where `ahead`
  // is the cell a few places further on (or the last one), worth fetching.
  template <class Visit>
  void for_each_in_run(std::size_t run, Visit&& visit) const {
    for_each_at(run_begin(run), run_end(run), run_end(run), visit);
  }
  // The same for positions [begin, end), the cells ahead taken from before
  // `horizon` (at least `end`).
  template <class Visit>
  void for_each_at(std::size_t begin, std::size_t end, std::size_t horizon, Visit&& visit) const {
    CORVANE_CHECK(begin <= end && end <= horizon && horizon <= (wide() ? wide_cells_.size() : narrow_cells_.size()),
                  "positions of the resource order");
    if (wide()) {
      visit_range(wide_cells_.data(), begin, end, horizon, visit);
    } else {
      visit_range(narrow_cells_.data(), begin, end, horizon, visit);
    }
  }

 private:
  template <class Index, class Visit>
  static void visit_range(const Index* cells, std::size_t begin, std::size_t end, std::size_t horizon, Visit& visit) {
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = begin; k < end; ++k) visit(cells[k], cells[k + kAhead < horizon ? k + kAhead : horizon - 1]);
  }

  std::vector<std::uint32_t> narrow_cells_;
  std::vector<std::uint64_t> wide_cells_;
  std::vector<std::int64_t> run_values_;
  std::vector<std::size_t> run_ends_;
};

}  // namespace corvane
