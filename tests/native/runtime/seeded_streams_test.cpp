// The seeded outputs: the mapping from (seed, call, batch, candidate) to key
// and stream, pinned by values from an independent computation
// (seeded_vectors.py, plain Python from the ChaCha definition), and the
// distinctness of the streams of different candidates.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "runtime/candidate_sources.h"

namespace corvane::runtime {
namespace {

std::vector<std::uint64_t> seeded_outputs(std::uint64_t seed, std::uint64_t call, std::uint64_t batch,
                                          std::uint64_t candidate, std::size_t count) {
  SeededSources sources(seed, call);
  sources.start_batch(batch);
  std::vector<std::uint64_t> values;
  OutputSlot slot;
  OutputSource& outputs = sources.open(candidate, slot);
  for (std::size_t t = 0; t < count; ++t) values.push_back(outputs.next_u64());
  return values;
}

TEST(SeededStreams, BatchKeyMatchesTheReference) {
  const std::array<std::uint32_t, 8> expected = {0x46d0cf6a, 0xdbd4817d, 0x6851815c, 0x7293f405,
                                                 0xbc4901ee, 0xec9a4122, 0x42402a44, 0xea4e6510};
  EXPECT_EQ(seeded_batch_key(42, 5, 9).words, expected);
}

TEST(SeededStreams, OutputsMatchTheReference) {
  struct Vector {
    std::array<std::uint64_t, 4> seed_call_batch_candidate;
    std::array<std::uint64_t, 7> outputs;  // numbers 0, 1, 2, 31, 32, 33 and 100
  };
  const Vector vectors[] = {
      {{0ULL, 0ULL, 0ULL, 0ULL},
       {0x4469c4f8ebc3397eULL, 0xa089fa64dd08a473ULL, 0x5f7749faa8dc2bf5ULL, 0xba20a3cd29a78a11ULL,
        0x586d0610308f27e3ULL, 0x4f41ddee508982e2ULL, 0xd151af467e46461bULL}},
      {{42ULL, 0ULL, 0ULL, 0ULL},
       {0x404afffafea7fcedULL, 0xb55bc477eaf73857ULL, 0xc4f3abfc2cf2ef70ULL, 0xf9275951f8172ca0ULL,
        0x1b1b33d04b2b1ff0ULL, 0xce649057687c90b9ULL, 0x859e881d1548135eULL}},
      {{42ULL, 1ULL, 0ULL, 0ULL},
       {0x2015b43244e83c10ULL, 0xfd8fa05b797c1945ULL, 0x266ccd104af5dc45ULL, 0x3286bbe26b08af4dULL,
        0x616531211bce43dcULL, 0xb051837f5aaa6333ULL, 0xe01c3a234d3c38bbULL}},
      {{42ULL, 0ULL, 1ULL, 0ULL},
       {0x0b411170e0675bc5ULL, 0x921d6aba4af994f1ULL, 0x131c59fa2c61e866ULL, 0x3ffcdebc9eea264aULL,
        0x1dca174bdf920df8ULL, 0x3fbf77f0928dc84dULL, 0xdf74bca6814cb19eULL}},
      {{42ULL, 0ULL, 0ULL, 1ULL},
       {0x17af1a309eca8f03ULL, 0x8be84b0308153eb1ULL, 0xf6edd6f5d05bd52eULL, 0xc7c649396591cb3eULL,
        0x87a84cf51e053fe8ULL, 0xf4a5e94576463957ULL, 0xb636ba0ec6b7c08eULL}},
      {{12345678901234567890ULL, 7ULL, 3ULL, 19ULL},
       {0x6d01261d8fef03f9ULL, 0xe1aa0011b231b27aULL, 0x1268f2b07bed4376ULL, 0xc2fef84c41f106e4ULL,
        0x5e7228e2cf8b156fULL, 0xd535ede937c18a05ULL, 0x68c386108bd59aa4ULL}},
      {{18446744073709551615ULL, 18446744073709551615ULL, 18446744073709551615ULL, 18446744073709551615ULL},
       {0xcbc3af97a1a541b4ULL, 0xc015800e83da8191ULL, 0x0a0fbf4ba37df630ULL, 0x17eabce10d78bfa9ULL,
        0xbc4b9f9d55dc46dbULL, 0x62313992a4bc33a5ULL, 0x54d5a54bcd40c472ULL}},
  };
  const std::size_t picked[] = {0, 1, 2, 31, 32, 33, 100};
  for (const Vector& v : vectors) {
    const auto [seed, call, batch, candidate] = v.seed_call_batch_candidate;
    const std::vector<std::uint64_t> values = seeded_outputs(seed, call, batch, candidate, 101);
    for (std::size_t t = 0; t < 7; ++t) {
      EXPECT_EQ(values[picked[t]], v.outputs[t]) << "seed " << seed << " call " << call << " batch " << batch
                                                 << " candidate " << candidate << " output " << picked[t];
    }
  }
}

TEST(SeededStreams, NeighbouringCandidatesDrawDifferentOutputs) {
  // Every coordinate matters: the first 64 outputs of these streams are all
  // different from each other (a shared stream position would repeat them).
  std::set<std::uint64_t> seen;
  std::size_t drawn = 0;
  for (std::uint64_t seed : {0ULL, 1ULL, ~0ULL}) {
    for (std::uint64_t call : {0ULL, 1ULL, 2ULL}) {
      for (std::uint64_t batch : {0ULL, 1ULL, 1ULL << 32}) {
        for (std::uint64_t candidate : {0ULL, 1ULL, 1ULL << 32}) {
          for (std::uint64_t value : seeded_outputs(seed, call, batch, candidate, 64)) {
            seen.insert(value);
            ++drawn;
          }
        }
      }
    }
  }
  EXPECT_EQ(seen.size(), drawn);
}

TEST(SeededStreams, TheSameCandidateRepeatsOnAnyThread) {
  const std::vector<std::uint64_t> here = seeded_outputs(7, 3, 2, 5, 50);
  std::vector<std::uint64_t> there;
  std::thread other([&] { there = seeded_outputs(7, 3, 2, 5, 50); });
  other.join();
  EXPECT_EQ(here, there);
}

}  // namespace
}  // namespace corvane::runtime
