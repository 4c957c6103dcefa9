// Microseconds per batch hand-over: what a batch costs beyond its items' work.
//
//   handover_bench [--workers T] [--items N] [--item-ns W] [--between-ns C]
//                  [--batches B] [--json]
//
// --workers T    the pool's worker count (default 1)
// --items N      items per batch (default 20, an ant colony's batch)
// --item-ns W    busy work per item in nanoseconds (default 200)
// --between-ns C busy work on the calling thread between two batches, as a
//                solver's bookkeeping between iterations (default 2000)
// --batches B    batches to time (default 20000), after a tenth as many untimed
// --json         one JSON object on one line instead of the text line
//
// The items' work is spread over min(T, N) workers, so a batch takes at
// least N * W / min(T, N) plus C on the caller; the hand-over is the rest of
// the wall time per batch. The work per nanosecond is calibrated on the
// calling thread first. The report also gives the process's CPU time per
// batch, which shows any thread spinning while the others work.

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> sink{0};

// `rounds` rounds of a dependent integer chain that the compiler cannot drop.
void busy(std::uint64_t rounds) {
  std::uint64_t x = rounds | 1;
  for (std::uint64_t k = 0; k < rounds; ++k) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
  sink.fetch_add(x, std::memory_order_relaxed);
}

// Rounds of busy() per nanosecond on this machine, the fastest of a few tries.
double rounds_per_ns() {
  const std::uint64_t rounds = 2'000'000;
  double best = 0;
  for (int k = 0; k < 5; ++k) {
    const auto t0 = Clock::now();
    busy(rounds);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    best = std::max(best, static_cast<double>(rounds) / ns);
  }
  return best;
}

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Options {
  std::size_t workers = 1;
  std::size_t items = 20;
  double item_ns = 200;
  double between_ns = 2000;
  std::size_t batches = 20000;
  bool json = false;
};

bool parse(int argc, char** argv, Options& options) {
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const bool has_value = k + 1 < argc;
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--workers" && has_value) {
      options.workers = std::strtoul(argv[++k], nullptr, 10);
    } else if (arg == "--items" && has_value) {
      options.items = std::strtoul(argv[++k], nullptr, 10);
    } else if (arg == "--item-ns" && has_value) {
      options.item_ns = std::strtod(argv[++k], nullptr);
    } else if (arg == "--between-ns" && has_value) {
      options.between_ns = std::strtod(argv[++k], nullptr);
    } else if (arg == "--batches" && has_value) {
      options.batches = std::strtoul(argv[++k], nullptr, 10);
    } else {
      return false;
    }
  }
  // Two items at least: a batch of one runs on the calling thread, with no
  // hand-over to measure. A negative or NaN work time fails the comparisons.
  return options.workers > 0 && options.items >= 2 && options.batches > 0 && options.item_ns >= 0 &&
         options.between_ns >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--workers T] [--items N] [--item-ns W] [--between-ns C] [--batches B] [--json]\n",
                 argv[0]);
    return 2;
  }
  const double speed = rounds_per_ns();
  const auto item_rounds = static_cast<std::uint64_t>(options.item_ns * speed);
  const auto between_rounds = static_cast<std::uint64_t>(options.between_ns * speed);
  auto pool = corvane::runtime::WorkerPool::start(options.workers);
  const auto item = [](void* rounds, std::size_t) { busy(*static_cast<const std::uint64_t*>(rounds)); };
  void* const context = const_cast<std::uint64_t*>(&item_rounds);

  for (std::size_t b = 0; b < options.batches / 10 + 1; ++b) {
    pool->run(options.items, item, context);
    busy(between_rounds);
  }
  const double cpu0 = process_cpu_seconds();
  const auto t0 = Clock::now();
  for (std::size_t b = 0; b < options.batches; ++b) {
    pool->run(options.items, item, context);
    busy(between_rounds);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = process_cpu_seconds() - cpu0;

  const auto batches = static_cast<double>(options.batches);
  const double batch_us = seconds * 1e6 / batches;
  const double lanes = static_cast<double>(std::min(options.workers, options.items));
  const double work_us = (static_cast<double>(options.items) * options.item_ns / lanes + options.between_ns) * 1e-3;
  const double handover_us = batch_us - work_us;
  const double cpu_us = cpu * 1e6 / batches;
  if (options.json) {
    std::printf(
        "{\"workers\": %zu, \"items\": %zu, \"item_ns\": %.1f, \"between_ns\": %.1f, \"batches\": %zu, "
        "\"batch_us\": %.4f, \"work_us\": %.4f, \"handover_us\": %.4f, \"cpu_us_per_batch\": %.4f}\n",
        options.workers, options.items, options.item_ns, options.between_ns, options.batches, batch_us, work_us,
        handover_us, cpu_us);
  } else {
    std::printf(
        "workers %zu  items %zu x %.0f ns  between %.0f ns  batches %zu  batch %.2f us  work %.2f us  "
        "hand-over %.2f us  cpu %.2f us/batch\n",
        options.workers, options.items, options.item_ns, options.between_ns, options.batches, batch_us, work_us,
        handover_us, cpu_us);
  }
  return 0;
}
