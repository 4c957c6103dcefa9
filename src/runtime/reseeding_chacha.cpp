#include "runtime/reseeding_chacha.h"

#include <array>

#include "runtime/failure.h"

namespace corvane::runtime {
namespace {

std::optional<EntropyError> fill_from_os(void*, std::span<std::uint8_t> out) { return fill_os_entropy(out); }

[[noreturn]] void fail_to_key(const EntropyError& error) { fail(kThreadRngInitFailure + error.text()); }

}  // namespace

EntropySource os_entropy_source() noexcept { return EntropySource{&fill_from_os, nullptr}; }

ReseedingChaCha::ReseedingChaCha(const ChaChaKey& key, EntropySource entropy) noexcept : key_(key), entropy_(entropy) {}

void ReseedingChaCha::require_rekey_before_next_draw() noexcept {
  rekey_required_ = true;
  index_ = kChaChaOutputWords;
}

std::optional<EntropyError> ReseedingChaCha::rekey() {
  std::array<std::uint8_t, 32> bytes;
  if (auto error = entropy_.fill(entropy_.context, bytes)) return error;
  key_ = ChaChaKey::from_bytes(bytes);
  counter_ = 0;
  return std::nullopt;
}

void ReseedingChaCha::refill() {
  // The countdown starts at the threshold and loses one refill's worth per
  // refill; the refill that finds it at or below zero rekeys first. A failed
  // periodic rekey keeps the old key and counter and is retried only after
  // another threshold's worth of output, exactly like a successful one.
  if (rekey_required_) {
    if (auto error = rekey()) fail_to_key(*error);
    rekey_required_ = false;
    bytes_until_reseed_ = kReseedThreshold - kRefillBytes;
  } else if (bytes_until_reseed_ <= 0) {
    (void)rekey();
    bytes_until_reseed_ = kReseedThreshold - kRefillBytes;
  } else {
    bytes_until_reseed_ -= kRefillBytes;
  }
  chacha_blocks(key_, counter_, 0, kRounds, buffer_);
  counter_ += kChaChaBlocksPerCall;
  index_ = 0;
}

std::unique_ptr<ReseedingChaCha> make_keyed_generator(EntropySource entropy) {
  std::array<std::uint8_t, 32> bytes;
  if (auto error = entropy.fill(entropy.context, bytes)) fail_to_key(*error);
  return std::make_unique<ReseedingChaCha>(ChaChaKey::from_bytes(bytes), entropy);
}

}  // namespace corvane::runtime
