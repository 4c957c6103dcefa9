// The ChaCha block function, four blocks at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::runtime {

inline constexpr std::size_t kChaChaBlockWords = 16;
inline constexpr std::size_t kChaChaBlocksPerCall = 4;
inline constexpr std::size_t kChaChaOutputWords = kChaChaBlockWords * kChaChaBlocksPerCall;

// A 256-bit key as eight little-endian words.
struct ChaChaKey {
  std::array<std::uint32_t, 8> words{};

  static ChaChaKey from_bytes(std::span<const std::uint8_t, 32> bytes) noexcept;
};

// Writes the blocks for counters counter .. counter + 3 (a 64-bit counter in
// state words 12-13, wrapping) with the 64-bit `stream` in words 14-15, block
// after block, each in the standard word order. `rounds` must be even.
void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, int rounds,
                   std::span<std::uint32_t, kChaChaOutputWords> out) noexcept;

}  // namespace corvane::runtime
