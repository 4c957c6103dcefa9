#include "runtime/chacha.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace corvane::runtime {
namespace {

using Block = std::array<std::uint32_t, 16>;

// A plain one-block ChaCha, written directly from the algorithm's
// definition, to check the four-lane core against.
std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

void quarter(Block& s, int a, int b, int c, int d) {
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 7);
}

Block reference_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, int rounds) {
  Block init = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) init[4 + i] = key.words[i];
  init[12] = static_cast<std::uint32_t>(counter);
  init[13] = static_cast<std::uint32_t>(counter >> 32);
  init[14] = static_cast<std::uint32_t>(stream);
  init[15] = static_cast<std::uint32_t>(stream >> 32);
  Block s = init;
  for (int r = 0; r < rounds / 2; ++r) {
    quarter(s, 0, 4, 8, 12);
    quarter(s, 1, 5, 9, 13);
    quarter(s, 2, 6, 10, 14);
    quarter(s, 3, 7, 11, 15);
    quarter(s, 0, 5, 10, 15);
    quarter(s, 1, 6, 11, 12);
    quarter(s, 2, 7, 8, 13);
    quarter(s, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) s[i] += init[i];
  return s;
}

ChaChaKey counting_key(std::uint8_t first) {
  std::array<std::uint8_t, 32> bytes;
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return ChaChaKey::from_bytes(bytes);
}

// Block test vector of RFC 8439, section 2.3.2: key 00 01 .. 1f, block count 1
// and nonce 00:00:00:09:00:00:00:4a:00:00:00:00, i.e. state words 12..15 =
// 1, 0x09000000, 0x4a000000, 0 -- a 64-bit counter of 0x0900000000000001 and
// a 64-bit stream of 0x4a000000 in this layout.
TEST(ChaCha, TwentyRoundsMatchRfc8439BlockVector) {
  const Block expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                          0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                          0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  const ChaChaKey key = counting_key(0);
  EXPECT_EQ(key.words[0], 0x03020100u);  // key bytes are read little-endian
  std::uint32_t out[kChaChaOutputWords];
  chacha_blocks(key, 0x0900000000000001ULL, 0x4a000000ULL, 20, out);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "word " << i;
  EXPECT_EQ(reference_block(key, 0x0900000000000001ULL, 0x4a000000ULL, 20), expected);
}

// Each of the four lanes is the block of its own counter, in order, also
// where the counter carries into its high word or wraps around.
TEST(ChaCha, FourBlocksMatchReferenceAtTwelveAndTwentyRounds) {
  const std::uint64_t counters[] = {0, 5, 0xFFFFFFFEULL, 0xFFFFFFFFFFFFFFFEULL};
  for (int rounds : {12, 20}) {
    for (std::uint64_t counter : counters) {
      for (std::uint64_t stream : {0ULL, 0x0123456789abcdefULL}) {
        const ChaChaKey key = counting_key(static_cast<std::uint8_t>(counter * 7 + stream));
        std::uint32_t out[kChaChaOutputWords];
        chacha_blocks(key, counter, stream, rounds, out);
        for (std::uint64_t block = 0; block < 4; ++block) {
          const Block want = reference_block(key, counter + block, stream, rounds);
          for (int i = 0; i < 16; ++i) {
            ASSERT_EQ(out[block * 16 + i], want[i]) << rounds << " rounds, counter " << counter << ", block " << block;
          }
        }
      }
    }
  }
  // Twelve and twenty rounds really differ.
  EXPECT_NE(reference_block(counting_key(0), 0, 0, 12), reference_block(counting_key(0), 0, 0, 20));
}

}  // namespace
}  // namespace corvane::runtime
