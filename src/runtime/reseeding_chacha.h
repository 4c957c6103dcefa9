// ChaCha12 keyed from an entropy source and rekeyed every 64 KiB of output.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "runtime/chacha.h"
#include "runtime/os_rng.h"

namespace corvane::runtime {

// Prefix of the internal failure raised when a thread's generator cannot be
// keyed; the entropy error's text follows it.
inline constexpr const char* kThreadRngInitFailure = "could not initialize ThreadRng: ";

// Where keys come from: the OS in production, something scripted in tests.
struct EntropySource {
  std::optional<EntropyError> (*fill)(void* context, std::span<std::uint8_t> out);
  void* context;
};

EntropySource os_entropy_source() noexcept;

class ReseedingChaCha {
 public:
  static constexpr int kRounds = 12;
  // Output bytes between two rekeys.
  static constexpr std::int64_t kReseedThreshold = 65536;
  static constexpr std::int64_t kRefillBytes = kChaChaOutputWords * 4;

  // A generator with `key`, block counter 0 and an empty buffer.
  ReseedingChaCha(const ChaChaKey& key, EntropySource entropy) noexcept;

  ReseedingChaCha(const ReseedingChaCha&) = delete;
  ReseedingChaCha& operator=(const ReseedingChaCha&) = delete;

  // Two consecutive buffer words, the earlier one as the low half. Draws only
  // ever take whole pairs, so a pair never straddles two refills.
  std::uint64_t next_u64() {
    if (index_ >= kChaChaOutputWords) refill();
    const std::uint64_t low = buffer_[index_];
    const std::uint64_t high = buffer_[index_ + 1];
    index_ += 2;
    return low | high << 32;
  }

  // Drops the buffered output and makes the next draw rekey first. Unlike the
  // periodic rekey, that one must succeed: the draw throws the initialisation
  // failure instead of continuing with the old key (and retries next time).
  // Used in a forked child, whose generator state is a copy of the parent's.
  void require_rekey_before_next_draw() noexcept;

 private:
  void refill();
  std::optional<EntropyError> rekey();

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  std::int64_t bytes_until_reseed_ = kReseedThreshold;
  bool rekey_required_ = false;
  std::size_t index_ = kChaChaOutputWords;
  std::uint32_t buffer_[kChaChaOutputWords];
  EntropySource entropy_;
};

// A generator keyed with 32 bytes from `entropy`. Throws
// InternalFailure(kThreadRngInitFailure + error text) when the source fails.
std::unique_ptr<ReseedingChaCha> make_keyed_generator(EntropySource entropy);

}  // namespace corvane::runtime
