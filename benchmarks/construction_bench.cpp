// Nanoseconds per construction step, fast construction against the
// straightforward rescan, on the benchmark ladder's tasks.
//
//   construction_bench SIZE [CONSTRUCTIONS] [--rescan]

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "ant_colony/construction.h"
#include "ant_colony/fast_construction.h"

namespace {

class SplitMix final : public corvane::OutputSource {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next_u64() override {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SIZE [CONSTRUCTIONS] [--rescan]\n", argv[0]);
    return 2;
  }
  const std::size_t size = std::strtoul(argv[1], nullptr, 10);
  const int constructions = argc > 2 ? std::atoi(argv[2]) : 3;
  const bool rescan = argc > 3 && std::strcmp(argv[3], "--rescan") == 0;

  // Costs 1-99, resources 1-19, discounts 0-0.5, budget a tenth of all
  // resources; weights eta^2 as an ant's first iteration sees them.
  std::mt19937_64 rng(42);
  const std::size_t cells = size * size;
  std::vector<double> weights(cells);
  std::vector<std::int64_t> resources(cells);
  std::int64_t total = 0;
  for (std::size_t k = 0; k < cells; ++k) {
    const double cost = 1 + static_cast<double>(rng() % 99);
    const double omega = 0.5 * std::uniform_real_distribution<double>(0, 1)(rng);
    resources[k] = 1 + static_cast<std::int64_t>(rng() % 19);
    total += resources[k];
    const double eta = (1.0 - omega) * cost / static_cast<double>(resources[k]);
    weights[k] = std::pow(1.0, 1.0) * std::pow(eta, 2.0);
  }
  const std::int64_t b_total = total / 10;

  corvane::ConstructionPlan plan(resources, b_total);
  const auto t0 = std::chrono::steady_clock::now();
  plan.set_weights(weights);
  const auto t1 = std::chrono::steady_clock::now();

  corvane::Constructor constructor;
  std::uint64_t steps = 0;
  for (int k = 0; k < constructions; ++k) {
    SplitMix outputs(1000 + k);
    const auto picks = rescan ? corvane::construct_by_rescan({weights, resources, b_total}, outputs)
                              : constructor.construct(plan, outputs);
    steps += picks.size();
  }
  const auto t2 = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(t2 - t1).count();
  std::printf("size %zu  %s  constructions %d  steps %llu  ns/step %.1f  exact steps %llu  batch setup %.2f ms\n",
              size, rescan ? "rescan" : "fast", constructions, static_cast<unsigned long long>(steps),
              seconds * 1e9 / static_cast<double>(steps),
              static_cast<unsigned long long>(constructor.exact_steps()),
              std::chrono::duration<double>(t1 - t0).count() * 1e3);
  return 0;
}
