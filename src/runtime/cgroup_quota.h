// The CPU quota of the process's control group, in whole CPUs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::runtime {

// Reads the quota files of the process's "cpu" group (find_control_group)
// and of each ancestor up to the controller's mount point:
//   version 2: cpu.max ("limit period", "max" = none)
//   version 1: cpu.cfs_quota_us and cpu.cfs_period_us
// The result is the smallest limit / period (integer division) over levels
// where both parse and the period is non-zero; nullopt when no level bounds.
// `root` is "" for the real system; tests point it at a fake tree.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& root);

}  // namespace corvane::runtime
