#include "runtime/reseeding_chacha.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <vector>

#include "test_support.h"

namespace corvane::runtime {
namespace {

// Hands out a distinct, predictable key on every call and fails on the
// calls listed in `failing` (numbered from 1).
struct ScriptedEntropy {
  int calls = 0;
  std::set<int> failing;

  static std::optional<EntropyError> fill(void* context, std::span<std::uint8_t> out) {
    auto& self = *static_cast<ScriptedEntropy*>(context);
    const int call = ++self.calls;
    if (self.failing.count(call)) return EntropyError{EntropyError::Kind::Os, ENOENT};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(call * 31 + i);
    return std::nullopt;
  }
  EntropySource source() { return EntropySource{&fill, this}; }

  // The key that call number `call` hands out.
  static ChaChaKey key_of(int call) {
    std::array<std::uint8_t, 32> bytes;
    for (std::size_t i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(call * 31 + i);
    return ChaChaKey::from_bytes(bytes);
  }
};

constexpr int kDrawsPerRefill = 32;  // 256 bytes, 8 bytes a draw

// The 32 draws of one refill: four blocks of ChaCha12 from `counter` on,
// stream 0, word pairs with the earlier word low.
std::vector<std::uint64_t> expected_refill(int key_call, std::uint64_t counter) {
  std::uint32_t words[kChaChaOutputWords];
  chacha_blocks(ScriptedEntropy::key_of(key_call), counter, 0, 12, words);
  std::vector<std::uint64_t> draws;
  for (std::size_t i = 0; i < kChaChaOutputWords; i += 2) draws.push_back(words[i] | std::uint64_t{words[i + 1]} << 32);
  return draws;
}

std::vector<std::uint64_t> draw_refill(ReseedingChaCha& generator) {
  std::vector<std::uint64_t> draws;
  for (int i = 0; i < kDrawsPerRefill; ++i) draws.push_back(generator.next_u64());
  return draws;
}

// Refill r (from 1) must come from key call `key_call` at block counter
// `counter`; both are advanced the way the rekey schedule says.
TEST(ReseedingChaCha, RekeysAtRefill257AndEvery256thAfter) {
  ScriptedEntropy entropy;
  auto generator = make_keyed_generator(entropy.source());
  EXPECT_EQ(entropy.calls, 1);
  int key_call = 1;
  std::uint64_t counter = 0;
  for (int refill = 1; refill <= 3 * 256 + 2; ++refill) {
    if (refill > 1 && (refill - 1) % 256 == 0) {
      ++key_call;
      counter = 0;
    }
    ASSERT_EQ(draw_refill(*generator), expected_refill(key_call, counter)) << "refill " << refill;
    ASSERT_EQ(entropy.calls, key_call) << "refill " << refill;
    counter += 4;
  }
  EXPECT_EQ(entropy.calls, 4);  // rekeyed at refills 257, 513 and 769
}

TEST(ReseedingChaCha, FailedRekeyKeepsKeyAndCounterAndRetriesAfterAnother256Refills) {
  ScriptedEntropy entropy;
  entropy.failing = {2};
  auto generator = make_keyed_generator(entropy.source());
  for (int refill = 1; refill <= 256; ++refill) draw_refill(*generator);
  EXPECT_EQ(draw_refill(*generator), expected_refill(1, 256 * 4));  // silent failure
  EXPECT_EQ(entropy.calls, 2);
  for (int refill = 258; refill <= 512; ++refill) draw_refill(*generator);
  EXPECT_EQ(entropy.calls, 2);
  EXPECT_EQ(draw_refill(*generator), expected_refill(3, 0));
}

constexpr const char* kKeyingFailure = "could not initialize ThreadRng: No such file or directory (os error 2)";

TEST(ReseedingChaCha, ForcedRekeyDropsBufferAndMustSucceed) {
  ScriptedEntropy entropy;
  entropy.failing = {2};
  auto generator = make_keyed_generator(entropy.source());
  EXPECT_EQ(generator->next_u64(), expected_refill(1, 0)[0]);

  generator->require_rekey_before_next_draw();
  // A failure must not fall back to the old key.
  EXPECT_EQ(corvane::testing::failure_text([&] { generator->next_u64(); }), kKeyingFailure);
  // Still pending: the next draw tries again, and the old buffer is gone.
  EXPECT_EQ(draw_refill(*generator), expected_refill(3, 0));
  // The schedule restarts from the forced rekey.
  for (int refill = 2; refill <= 256; ++refill) draw_refill(*generator);
  EXPECT_EQ(entropy.calls, 3);
  generator->next_u64();
  EXPECT_EQ(entropy.calls, 4);
}

TEST(ReseedingChaCha, CreationFailureNamesTheEntropyError) {
  ScriptedEntropy entropy;
  entropy.failing = {1};
  EXPECT_EQ(corvane::testing::failure_text([&] { make_keyed_generator(entropy.source()); }), kKeyingFailure);
}

}  // namespace
}  // namespace corvane::runtime
