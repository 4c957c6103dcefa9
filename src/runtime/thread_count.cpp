#include "runtime/thread_count.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "runtime/cgroup_quota.h"
#include "runtime/decimal.h"

namespace corvane::runtime {

std::size_t available_parallelism(const CpuCounts& cpus, const std::string& root) {
  const std::size_t count = cpus.affinity > 0 ? cpus.affinity : cpus.online;
  if (count == 0) return 1;
  if (const auto quota = cgroup_cpu_quota(root)) return std::min(count, std::max<std::size_t>(*quota, 1));
  return count;
}

std::size_t decide_thread_count(const EnvLookup& env, const CpuCounts& cpus, const std::string& root) {
  const auto read = [&env](const char* name) -> std::optional<std::size_t> {
    const char* value = env(name);
    if (value == nullptr) return std::nullopt;
    return parse_unsigned(value);
  };
  std::size_t count = 0;
  if (const auto threads = read("RAYON_NUM_THREADS")) {
    count = *threads > 0 ? *threads : available_parallelism(cpus, root);
  } else if (const auto cpus_variable = read("RAYON_RS_NUM_CPUS"); cpus_variable && *cpus_variable > 0) {
    count = *cpus_variable;
  } else {
    count = available_parallelism(cpus, root);
  }
  return std::min(count, kMaxThreads);
}

std::size_t affinity_cpu_count() noexcept {
  cpu_set_t set;  // room for 1024 CPUs
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<std::size_t>(CPU_COUNT(&set)) : 0;
}

CpuCounts query_cpu_counts() noexcept {
  CpuCounts counts;
  counts.affinity = affinity_cpu_count();
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) counts.online = static_cast<std::size_t>(online);
  return counts;
}

std::size_t thread_count_from_system() {
  return decide_thread_count([](const char* name) { return std::getenv(name); }, query_cpu_counts(), "");
}

}  // namespace corvane::runtime
