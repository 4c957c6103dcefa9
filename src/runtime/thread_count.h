// How many workers the pool gets.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace corvane::runtime {

inline constexpr std::size_t kMaxThreads = 65535;

// CPU counts reported by the system; 0 means the query failed or gave none.
struct CpuCounts {
  std::size_t affinity = 0;  // CPUs in the calling thread's affinity mask
  std::size_t online = 0;    // online processors
};

// The value of an environment variable, or nullptr when it is not set.
using EnvLookup = std::function<const char*(const char* name)>;

// The affinity count (else the online count, else 1), bounded by the
// control group's CPU quota (at least 1) found under `root`.
std::size_t available_parallelism(const CpuCounts& cpus, const std::string& root);

// RAYON_NUM_THREADS when it is a number >= 1; when it is 0 the available
// parallelism, without looking further; otherwise RAYON_RS_NUM_CPUS when it
// is a number >= 1; otherwise the available parallelism. Capped at
// kMaxThreads. A value that is not a plain unsigned decimal counts as unset.
std::size_t decide_thread_count(const EnvLookup& env, const CpuCounts& cpus, const std::string& root);

CpuCounts query_cpu_counts() noexcept;

// CPUs in the calling thread's affinity mask; 0 when the query fails.
std::size_t affinity_cpu_count() noexcept;

// decide_thread_count() over the real environment, CPUs and control groups.
std::size_t thread_count_from_system();

}  // namespace corvane::runtime
