// Nanoseconds per construction step, fast construction against the
// straightforward rescan, on the benchmark ladder's tasks.
//
//   construction_bench SIZE [CONSTRUCTIONS] [--rescan] [--beta B]
//                      [--max-steps N] [--in-flight K] [--cutoff] [--json]
//
// SIZE        the task is SIZE x SIZE cells
// CONSTRUCTIONS  candidates to build (default 3), on one thread, as a
//             solver's batch builds them: several in flight at once where the
//             task's size calls for it
// --rescan    time the straightforward construction instead of the fast one
// --in-flight K  keep K constructions in flight instead of the number the
//             size calls for
// --beta B    cell weight eta^B (default 2, an ant's first iteration with
//             tau = 1 and alpha = 1; 1 is the probabilistic solver's weight)
// --max-steps N  stop after N steps in all (the rescan of a 1000 x 1000 task
//             takes minutes per candidate); the report says it was cut short
// --cutoff    poll a time limit's cutoff as a time-limited solve does (the
//             limit is never reached): what the polling costs
// --json      one JSON object on one line instead of the text line
//
// Candidate k draws a fixed SplitMix sequence of its own, so runs are
// repeatable. Besides the time per step, the report gives the thread's CPU
// time per step, which other processes on a busy machine disturb less.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <ctime>
#include <exception>

#include "ant_colony/construction.h"
#include "ant_colony/construction_pipeline.h"
#include "ant_colony/fast_construction.h"
#include "ant_colony/time_limit.h"
#include "runtime/candidate_sources.h"

namespace {

class SplitMix : public corvane::OutputSource {
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

// Both constructions draw exactly one output per step (checked against the
// picks of every finished construction), so counting outputs counts steps;
// when the cap is reached the source throws to abandon the construction.
struct StepCapReached {};

class CappedOutputs final : public SplitMix {
 public:
  CappedOutputs(std::uint64_t seed, std::uint64_t& steps, std::uint64_t cap, std::uint64_t& drawn)
      : SplitMix(seed), steps_(steps), cap_(cap), drawn_(drawn) {}
  std::uint64_t next_u64() override {
    if (cap_ != 0 && steps_ >= cap_) throw StepCapReached{};
    ++steps_;
    ++drawn_;
    return SplitMix::next_u64();
  }

 private:
  std::uint64_t& steps_;
  std::uint64_t cap_;
  std::uint64_t& drawn_;  // by this candidate
};

// Candidate k draws the sequence of seed 1000 + k.
class CappedSources final : public corvane::runtime::CandidateSources {
 public:
  CappedSources(std::uint64_t& steps, std::uint64_t cap, std::vector<std::uint64_t>& drawn)
      : steps_(steps), cap_(cap), drawn_(drawn) {}
  void start_batch(std::uint64_t) override {}
  corvane::OutputSource& open(std::uint64_t candidate, corvane::runtime::OutputSlot& slot) const override {
    return slot.emplace<CappedOutputs>(1000 + candidate, steps_, cap_, drawn_[candidate]);
  }

 private:
  std::uint64_t& steps_;
  std::uint64_t cap_;
  std::vector<std::uint64_t>& drawn_;
};

// Candidates 0, 1, 2, ... in turn; a failure is kept for the report.
class InOrder final : public corvane::runtime::Claims {
 public:
  explicit InOrder(std::size_t count) : count_(count) {}
  bool next(std::size_t& index) override {
    if (next_ == count_) return false;
    index = next_++;
    return true;
  }
  void fail(std::size_t, std::exception_ptr failure) override {
    if (!failure_) failure_ = failure;
  }
  std::exception_ptr failure() const { return failure_; }

 private:
  std::size_t count_;
  std::size_t next_ = 0;
  std::exception_ptr failure_;
};

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Options {
  std::size_t size = 0;
  int constructions = 3;
  bool rescan = false;
  double beta = 2.0;
  std::uint64_t max_steps = 0;  // 0: no cap
  std::size_t in_flight = 0;    // 0: the number the size calls for
  bool cutoff = false;
  bool json = false;
};

int usage(const char* program) {
  std::fprintf(
      stderr,
      "usage: %s SIZE [CONSTRUCTIONS] [--rescan] [--beta B] [--max-steps N] [--in-flight K] [--cutoff] [--json]\n",
      program);
  return 2;
}

bool parse(int argc, char** argv, Options& options) {
  int positional = 0;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--rescan") {
      options.rescan = true;
    } else if (arg == "--cutoff") {
      options.cutoff = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--beta" && k + 1 < argc) {
      options.beta = std::strtod(argv[++k], nullptr);
    } else if (arg == "--max-steps" && k + 1 < argc) {
      options.max_steps = std::strtoull(argv[++k], nullptr, 10);
    } else if (arg == "--in-flight" && k + 1 < argc) {
      options.in_flight = std::strtoul(argv[++k], nullptr, 10);
    } else if (!arg.empty() && arg[0] != '-' && positional == 0) {
      options.size = std::strtoul(arg.c_str(), nullptr, 10);
      ++positional;
    } else if (!arg.empty() && arg[0] != '-' && positional == 1) {
      options.constructions = std::atoi(arg.c_str());
      ++positional;
    } else {
      return false;
    }
  }
  return positional >= 1 && options.size > 0 && options.constructions > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) return usage(argv[0]);

  // Costs 1-99, resources 1-19, discounts 0-0.5, budget a tenth of all
  // resources; weights tau^1 * eta^beta with tau = 1, as an ant's first
  // iteration sees them (beta = 1: the probabilistic solver's eta).
  std::mt19937_64 rng(42);
  const std::size_t cells = options.size * options.size;
  std::vector<double> weights(cells);
  std::vector<std::int64_t> resources(cells);
  std::int64_t total = 0;
  for (std::size_t k = 0; k < cells; ++k) {
    const double cost = 1 + static_cast<double>(rng() % 99);
    const double omega = 0.5 * std::uniform_real_distribution<double>(0, 1)(rng);
    resources[k] = 1 + static_cast<std::int64_t>(rng() % 19);
    total += resources[k];
    const double eta = (1.0 - omega) * cost / static_cast<double>(resources[k]);
    weights[k] = std::pow(1.0, 1.0) * std::pow(eta, options.beta);
  }
  const std::int64_t b_total = total / 10;

  corvane::ConstructionPlan::Layout layout = corvane::ConstructionPlan::Layout::for_cells(cells);
  if (options.in_flight > 0) layout.in_flight = options.in_flight;
  corvane::ConstructionPlan plan(resources, b_total, layout);
  const auto t0 = std::chrono::steady_clock::now();
  plan.set_weights(weights);
  const auto t1 = std::chrono::steady_clock::now();
  const double cpu0 = thread_seconds();

  std::uint64_t steps = 0;  // outputs drawn, one per step
  int completed = 0;
  bool cut_short = false;
  std::uint64_t exact_steps = 0;
  if (options.rescan) {
    for (int k = 0; k < options.constructions && !cut_short; ++k) {
      std::uint64_t drawn = 0;
      CappedOutputs outputs(1000 + k, steps, options.max_steps, drawn);
      try {
        const std::size_t picks = corvane::construct_by_rescan({weights, resources, b_total}, outputs).size();
        if (picks == 0 || picks != drawn) {
          std::fprintf(stderr, "construction %d: %zu picks from %llu outputs\n", k, picks,
                       static_cast<unsigned long long>(drawn));
          return 1;
        }
        ++completed;
      } catch (const StepCapReached&) {
        cut_short = true;
      }
    }
  } else {
    const auto count = static_cast<std::size_t>(options.constructions);
    std::vector<std::uint64_t> drawn(count, 0);
    CappedSources sources(steps, options.max_steps, drawn);
    InOrder claims(count);
    corvane::ConstructionPipeline pipeline;
    const corvane::TimeLimit limit(corvane::TimeLimit::Clock::now(), 1e6);
    corvane::Cutoff cutoff(&limit);
    bool consistent = true;
    pipeline.run(
        plan, claims, sources,
        [&](std::size_t k, const corvane::Constructor& built) {
          const std::size_t picks = built.picked().count();
          if (picks == 0 || picks != drawn[k]) {
            std::fprintf(stderr, "construction %zu: %zu picks from %llu outputs\n", k, picks,
                         static_cast<unsigned long long>(drawn[k]));
            consistent = false;
          }
          ++completed;
        },
        options.cutoff ? &cutoff : nullptr);
    if (!consistent) return 1;
    if (claims.failure()) {
      try {
        std::rethrow_exception(claims.failure());
      } catch (const StepCapReached&) {
        cut_short = true;
      }
    }
    exact_steps = pipeline.exact_steps();
  }
  const double cpu_seconds = thread_seconds() - cpu0;
  const auto t2 = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(t2 - t1).count();
  const double ns_per_step = steps > 0 ? seconds * 1e9 / static_cast<double>(steps) : 0.0;
  const double cpu_ns_per_step = steps > 0 ? cpu_seconds * 1e9 / static_cast<double>(steps) : 0.0;
  const double setup_ms = std::chrono::duration<double>(t1 - t0).count() * 1e3;
  const std::size_t in_flight = options.rescan ? 1 : plan.in_flight();

  if (options.json) {
    std::printf(
        "{\"size\": %zu, \"mode\": \"%s\", \"beta\": %.17g, \"constructions\": %d, \"completed\": %d, "
        "\"cut_short\": %s, \"steps\": %llu, \"seconds\": %.9f, \"ns_per_step\": %.3f, "
        "\"cpu_ns_per_step\": %.3f, \"in_flight\": %zu, \"exact_steps\": %llu, \"setup_ms\": %.6f}\n",
        options.size, options.rescan ? "rescan" : "fast", options.beta, options.constructions, completed,
        cut_short ? "true" : "false", static_cast<unsigned long long>(steps), seconds, ns_per_step, cpu_ns_per_step,
        in_flight, static_cast<unsigned long long>(exact_steps), setup_ms);
  } else {
    std::printf(
        "size %zu  %s  beta %g  constructions %d%s  in flight %zu  steps %llu  ns/step %.1f  cpu ns/step %.1f  "
        "exact steps %llu  batch setup %.2f ms\n",
        options.size, options.rescan ? "rescan" : "fast", options.beta, completed, cut_short ? " (then cut short)" : "",
        in_flight, static_cast<unsigned long long>(steps), ns_per_step, cpu_ns_per_step,
        static_cast<unsigned long long>(exact_steps), setup_ms);
  }
  return 0;
}
