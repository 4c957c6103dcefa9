// Where the candidates of a solve draw their generator outputs from.
//
// By default every candidate draws from the generator of the thread that
// builds it, keyed from OS entropy, so results vary from run to run and with
// the scheduling. With a seed, every candidate has a ChaCha12 stream of its
// own, determined by (seed, call, batch, candidate) alone, so results repeat
// exactly whatever thread builds what:
//
//   seed key   K      = the seed as 8 little-endian bytes, then 24 zero bytes
//   batch key  K(k,i) = words 0-7 of the ChaCha12 block of key K with block
//                       counter i and stream k (call k of solve in the
//                       process, batch i of that call)
//   candidate j of batch i of call k draws the ChaCha12 key stream of key
//   K(k,i) with stream j, from block counter 0; each 64-bit output is two
//   consecutive 32-bit words, the earlier one as the low half.
//
// Distinct (k, i) give independent keys and distinct j distinct streams under
// one key, so no two candidates of a process share stream positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "runtime/chacha.h"
#include "runtime/output_source.h"

namespace corvane::runtime {

// Room for the output source of one candidate: a thread that builds several
// candidates at once keeps one slot per candidate in flight, and reuses it
// for the next. Whatever source is made in it lives until the next one is,
// or until the slot is destroyed.
class OutputSlot {
 public:
  OutputSlot() = default;
  ~OutputSlot() { reset(); }
  OutputSlot(const OutputSlot&) = delete;
  OutputSlot& operator=(const OutputSlot&) = delete;

  template <class Source, class... Args>
  Source& emplace(Args&&... args) {
    static_assert(std::is_base_of_v<OutputSource, Source>);
    static_assert(sizeof(Source) <= kBytes && alignof(Source) <= kAlignment, "a source that fits the slot");
    reset();
    Source* made = ::new (static_cast<void*>(storage_)) Source(std::forward<Args>(args)...);
    source_ = made;
    return *made;
  }

 private:
  static constexpr std::size_t kBytes = 384;
  static constexpr std::size_t kAlignment = 64;
  void reset() noexcept {
    if (source_ != nullptr) std::exchange(source_, nullptr)->~OutputSource();
  }
  alignas(kAlignment) unsigned char storage_[kBytes];
  OutputSource* source_ = nullptr;
};

class CandidateSources {
 public:
  virtual ~CandidateSources() = default;
  // Called on the solving thread before batch `batch` is built.
  virtual void start_batch(std::uint64_t batch) = 0;
  // The outputs of candidate `candidate` of the current batch, made in
  // `slot`. Called on any thread, for several candidates at once; the source
  // is used only on the thread that opened it.
  virtual OutputSource& open(std::uint64_t candidate, OutputSlot& slot) const = 0;
};

// Every candidate draws from its thread's generator (ThreadRng): the
// candidates a thread builds at once draw from it in turn, one output at a
// time.
class ThreadGeneratorSources final : public CandidateSources {
 public:
  void start_batch(std::uint64_t) override {}
  OutputSource& open(std::uint64_t candidate, OutputSlot& slot) const override;
};

// ChaCha12 outputs of one key and stream, from block counter 0; no rekeying.
class StreamOutputs final : public OutputSource {
 public:
  StreamOutputs(const ChaChaKey& key, std::uint64_t stream) noexcept : key_(key), stream_(stream) {}
  std::uint64_t next_u64() override {
    if (index_ >= kChaChaOutputWords) refill();
    const std::uint64_t low = buffer_[index_];
    const std::uint64_t high = buffer_[index_ + 1];
    index_ += 2;
    return low | high << 32;
  }

 private:
  void refill() noexcept;

  ChaChaKey key_;
  std::uint64_t stream_;
  std::uint64_t counter_ = 0;
  std::size_t index_ = kChaChaOutputWords;
  std::uint32_t buffer_[kChaChaOutputWords];
};

// The key of batch `batch` of call `call` under `seed` (K(k,i) above).
ChaChaKey seeded_batch_key(std::uint64_t seed, std::uint64_t call, std::uint64_t batch) noexcept;

// Every candidate draws from its own stream under the seed (see above).
class SeededSources final : public CandidateSources {
 public:
  SeededSources(std::uint64_t seed, std::uint64_t call) noexcept : seed_(seed), call_(call) {}
  void start_batch(std::uint64_t batch) override { key_ = seeded_batch_key(seed_, call_, batch); }
  OutputSource& open(std::uint64_t candidate, OutputSlot& slot) const override;

 private:
  std::uint64_t seed_;
  std::uint64_t call_;
  ChaChaKey key_;
};

}  // namespace corvane::runtime
