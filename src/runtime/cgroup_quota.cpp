#include "runtime/cgroup_quota.h"

#include <algorithm>

#include "runtime/control_group.h"
#include "runtime/decimal.h"

namespace corvane::runtime {
namespace {

// The quota of one level: limit / period when both parse and period != 0.
std::optional<std::size_t> level_quota(std::optional<std::size_t> limit, std::optional<std::size_t> period) {
  if (!limit || !period || *period == 0) return std::nullopt;
  return *limit / *period;
}

std::optional<std::size_t> version2_level(const std::string& directory) {
  const auto contents = read_file(directory + "/cpu.max");
  if (!contents) return std::nullopt;
  const std::string_view text = trim_end(*contents);
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  return level_quota(parse_unsigned(text.substr(0, blank)), parse_unsigned(text.substr(blank + 1)));
}

std::optional<std::size_t> version1_level(const std::string& directory) {
  return level_quota(read_number(directory + "/cpu.cfs_quota_us"), read_number(directory + "/cpu.cfs_period_us"));
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_quota(const std::string& root) {
  const auto group = find_control_group(root, "cpu");
  if (!group) return std::nullopt;
  std::optional<std::size_t> quota;
  for (const std::string& directory : group->levels) {
    const auto level = group->version1 ? version1_level(directory) : version2_level(directory);
    if (level) quota = quota ? std::min(*quota, *level) : *level;
  }
  return quota;
}

}  // namespace corvane::runtime
