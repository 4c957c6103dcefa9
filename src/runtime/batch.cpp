#include "runtime/batch.h"

#include <algorithm>
#include <utility>

namespace corvane::runtime {
namespace {

// One thread's claims on a batch: the rest of its last chunk, then new chunks.
class BatchClaims final : public Claims {
 public:
  explicit BatchClaims(Batch& batch) noexcept : batch_(batch) {}

  // The last index handed out.
  std::size_t last() const noexcept { return last_; }

  bool next(std::size_t& index) override {
    if (begin_ == end_ || (begin_ > 0 && batch_.halted())) {
      if (!batch_.claim(begin_, end_)) return false;
    }
    index = last_ = begin_++;
    return true;
  }

  void fail(std::size_t index, std::exception_ptr failure) override {
    batch_.record_failure(index, std::move(failure));
  }

 private:
  Batch& batch_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t last_ = 0;
};

// The claims of a batch of one item run on the submitting thread.
class SoloClaims final : public Claims {
 public:
  bool next(std::size_t& index) override {
    if (taken_) return false;
    taken_ = true;
    index = 0;
    return true;
  }
  void fail(std::size_t, std::exception_ptr failure) override { failure_ = std::move(failure); }
  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  bool taken_ = false;
  std::exception_ptr failure_;
};

}  // namespace

bool Batch::claim(std::size_t& begin, std::size_t& end) noexcept {
  std::size_t first = next.load(std::memory_order_relaxed);
  while (first < count) {
    const bool stop = halted();
    if (stop && first > 0) return false;
    const std::size_t take = stop ? 1 : std::max<std::size_t>(1, (count - first) / chunk_divisor);
    if (next.compare_exchange_weak(first, first + take, std::memory_order_relaxed)) {
      begin = first;
      end = first + take;
      return true;
    }
  }
  return false;
}

bool Batch::exhausted() const noexcept {
  const std::size_t first = next.load(std::memory_order_relaxed);
  return first >= count || (first > 0 && halted());
}

void Batch::record_failure(std::size_t index, std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (index < failed_index_) {
    failed_index_ = index;
    failure_ = std::move(failure);
  }
}

void Batch::rethrow_failure() const {
  // Every thread that recorded a failure has left the batch before it
  // finished, under the pool's mutex: no lock needed here.
  if (failure_) std::rethrow_exception(failure_);
}

void Batch::help() {
  BatchClaims claims(*this);
  try {
    body(context, claims);
  } catch (...) {
    // Bodies report their items' failures through fail(); one that lets a
    // failure out instead stops taking items, and the failure counts for the
    // last item it took.
    record_failure(claims.last(), std::current_exception());
  }
}

void run_solo(ClaimsBody body, void* context) {
  SoloClaims solo;
  body(context, solo);
  solo.rethrow();
}

void IndexedBody::run(void* self, Claims& claims) {
  const IndexedBody& indexed = *static_cast<const IndexedBody*>(self);
  std::size_t i = 0;
  while (claims.next(i)) {
    try {
      indexed.body(indexed.context, i);
    } catch (...) {
      claims.fail(i, std::current_exception());
    }
  }
}

}  // namespace corvane::runtime
