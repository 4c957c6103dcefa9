// Storage for the results of a batch, one slot per index, filled from any
// thread and handed over in index order.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "runtime/check.h"
#include "runtime/failure.h"

namespace corvane::runtime {

template <class T>
class OrderedSlots {
 public:
  explicit OrderedSlots(std::size_t count)
      : count_(count), filled_(count), values_(count == 0 ? nullptr : std::allocator<T>().allocate(count)) {}

  OrderedSlots(const OrderedSlots&) = delete;
  OrderedSlots& operator=(const OrderedSlots&) = delete;

  // Destroys whatever was written, e.g. the finished results of a batch in
  // which another item failed.
  ~OrderedSlots() {
    for (std::size_t i = 0; i < count_; ++i) {
      if (filled_[i]) std::destroy_at(values_ + i);
    }
    if (values_ != nullptr) std::allocator<T>().deallocate(values_, count_);
  }

  // Moves `value` into slot `index`. Each slot is written by one thread.
  void write(std::size_t index, T&& value) {
    if (index >= count_) fail("too many values pushed to consumer");
    CORVANE_CHECK(filled_[index] == 0, "each slot is written once");
    std::construct_at(values_ + index, std::move(value));
    filled_[index] = 1;
    writes_.fetch_add(1, std::memory_order_relaxed);
  }

  // Checks that every slot was written, then appends the values to `out` in
  // index order; the caller has reserved room so `out` does not grow again.
  void append_to(std::vector<T>& out) {
    const std::size_t writes = writes_.load(std::memory_order_relaxed);
    if (writes != count_) {
      fail("expected " + std::to_string(count_) + " total writes, but got " + std::to_string(writes));
    }
    for (std::size_t i = 0; i < count_; ++i) out.push_back(std::move(values_[i]));
  }

 private:
  std::size_t count_;
  // Allocated before the values: should their allocation fail, the marks go
  // with the half-made object (no destructor runs for it).
  std::vector<unsigned char> filled_;  // one byte per slot: no sharing of a byte between writers
  T* values_;
  std::atomic<std::size_t> writes_{0};
};

}  // namespace corvane::runtime
