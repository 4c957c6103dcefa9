#include "runtime/chacha.h"

namespace corvane::runtime {
namespace {

// One vector lane per block: lane j holds the state word of block j, so the
// four blocks go through the rounds together (SSE2 on x86-64, plain code
// elsewhere). Every lane computes exactly the scalar ChaCha block.
using Lanes = std::uint32_t __attribute__((vector_size(16)));

inline Lanes rotate_left(Lanes v, int bits) { return (v << bits) | (v >> (32 - bits)); }

// clang-format off: one add, xor and rotation per line, as the algorithm is written
inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b; d ^= a; d = rotate_left(d, 16);
  c += d; b ^= c; b = rotate_left(b, 12);
  a += b; d ^= a; d = rotate_left(d, 8);
  c += d; b ^= c; b = rotate_left(b, 7);
}
// clang-format on

inline Lanes splat(std::uint32_t word) { return Lanes{word, word, word, word}; }

}  // namespace

ChaChaKey ChaChaKey::from_bytes(std::span<const std::uint8_t, 32> bytes) noexcept {
  ChaChaKey key;
  for (std::size_t i = 0; i < key.words.size(); ++i) {
    key.words[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
                   std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
  }
  return key;
}

void chacha_blocks(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, int rounds,
                   std::span<std::uint32_t, kChaChaOutputWords> out) noexcept {
  Lanes initial[kChaChaBlockWords];
  // "expand 32-byte k"
  initial[0] = splat(0x61707865);
  initial[1] = splat(0x3320646e);
  initial[2] = splat(0x79622d32);
  initial[3] = splat(0x6b206574);
  for (std::size_t i = 0; i < 8; ++i) initial[4 + i] = splat(key.words[i]);
  for (std::size_t lane = 0; lane < kChaChaBlocksPerCall; ++lane) {
    const std::uint64_t block_counter = counter + lane;  // wraps modulo 2^64
    initial[12][lane] = static_cast<std::uint32_t>(block_counter);
    initial[13][lane] = static_cast<std::uint32_t>(block_counter >> 32);
  }
  initial[14] = splat(static_cast<std::uint32_t>(stream));
  initial[15] = splat(static_cast<std::uint32_t>(stream >> 32));

  Lanes x[kChaChaBlockWords];
  for (std::size_t i = 0; i < kChaChaBlockWords; ++i) x[i] = initial[i];
  for (int round = 0; round < rounds; round += 2) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }

  for (std::size_t i = 0; i < kChaChaBlockWords; ++i) {
    const Lanes word = x[i] + initial[i];
    for (std::size_t lane = 0; lane < kChaChaBlocksPerCall; ++lane) {
      out[lane * kChaChaBlockWords + i] = word[lane];
    }
  }
}

}  // namespace corvane::runtime
