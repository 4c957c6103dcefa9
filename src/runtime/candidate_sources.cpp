#include "runtime/candidate_sources.h"

#include "runtime/thread_outputs.h"

namespace corvane::runtime {
namespace {

constexpr int kRounds = 12;

}  // namespace

OutputSource& ThreadGeneratorSources::open(std::uint64_t, OutputSlot& slot) const {
  return slot.emplace<ThreadOutputs>();
}

void StreamOutputs::refill() noexcept {
  chacha_blocks(key_, counter_, stream_, kRounds, buffer_);
  counter_ += kChaChaBlocksPerCall;
  index_ = 0;
}

ChaChaKey seeded_batch_key(std::uint64_t seed, std::uint64_t call, std::uint64_t batch) noexcept {
  ChaChaKey seed_key;  // zero words, then the seed in the first two
  seed_key.words[0] = static_cast<std::uint32_t>(seed);
  seed_key.words[1] = static_cast<std::uint32_t>(seed >> 32);
  // chacha_blocks always yields four consecutive blocks; the first is K(k,i).
  std::uint32_t blocks[kChaChaOutputWords];
  chacha_blocks(seed_key, batch, call, kRounds, blocks);
  ChaChaKey key;
  for (std::size_t w = 0; w < key.words.size(); ++w) key.words[w] = blocks[w];
  return key;
}

OutputSource& SeededSources::open(std::uint64_t candidate, OutputSlot& slot) const {
  return slot.emplace<StreamOutputs>(key_, candidate);
}

}  // namespace corvane::runtime
