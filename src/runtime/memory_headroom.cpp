#include "runtime/memory_headroom.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "runtime/control_group.h"
#include "runtime/decimal.h"

namespace corvane {
namespace {

using runtime::read_file;
using runtime::read_number;
using runtime::to_decimal;
using runtime::trim_end;

// Version 1 shows "no limit" as the largest page-aligned signed 64-bit count,
// which depends on the page size; no machine comes near 2^62 bytes.
constexpr std::uint64_t kNoVersion1Limit = std::uint64_t{1} << 62;

// The VALUE of the "NAME<separator>VALUE[ kB]" line of a /proc or cgroup
// statistics file, in bytes.
std::optional<ByteCount> stat_bytes(std::string_view contents, std::string_view name, char separator) {
  for (std::size_t start = 0; start < contents.size();) {
    const std::size_t end = std::min(contents.find('\n', start), contents.size());
    std::string_view line = contents.substr(start, end - start);
    start = end + 1;
    if (line.size() <= name.size() || line.substr(0, name.size()) != name || line[name.size()] != separator) continue;
    line.remove_prefix(name.size() + 1);
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    const std::size_t blank = line.find(' ');
    const auto value = runtime::parse_unsigned(line.substr(0, blank));
    const std::string_view unit = blank == std::string_view::npos ? "" : trim_end(line.substr(blank + 1));
    if (!value || (unit != "kB" && !unit.empty())) return std::nullopt;
    return ByteCount{*value} * (unit.empty() ? 1 : 1024);
  }
  return std::nullopt;
}

struct Level {
  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> use;
  std::uint64_t cache = 0;  // file pages in the use, which the kernel reclaims before it gives up
};

// Group files are slow to read (tens of microseconds each): the use is read
// only where there is a limit.
Level read_level(const std::string& directory, bool version1) {
  Level level{read_number(directory + (version1 ? "/memory.limit_in_bytes" : "/memory.max")), std::nullopt};
  // "max" does not parse as a number: no limit.
  if (version1 && level.limit && *level.limit >= kNoVersion1Limit) level.limit.reset();
  if (!level.limit) return level;
  level.use = read_number(directory + (version1 ? "/memory.usage_in_bytes" : "/memory.current"));
  if (const auto stat = read_file(directory + "/memory.stat")) {
    const auto cache = stat_bytes(*stat, version1 ? "total_cache" : "file", ' ');
    if (cache && level.use) level.cache = static_cast<std::uint64_t>(std::min<ByteCount>(*cache, *level.use));
  }
  return level;
}

std::string group_limit_text(const std::string& directory, std::uint64_t left, const Level& level) {
  std::string use = "use unknown";
  if (level.use) use = to_decimal(*level.use) + " in use";
  if (level.cache > 0) use += ", less " + to_decimal(level.cache) + " of file cache";
  return "the control group " + directory + " has " + to_decimal(left) + " bytes left of its limit of " +
         to_decimal(*level.limit) + " bytes (" + use + ")";
}

}  // namespace

std::optional<MemoryHeadroom> cgroup_memory_headroom(const std::string& root) {
  const auto group = runtime::find_control_group(root, "memory");
  if (!group) return std::nullopt;
  std::optional<MemoryHeadroom> tightest;
  for (std::size_t k = 0; k < group->levels.size(); ++k) {
    const std::string& directory = group->levels[k];
    const Level level = read_level(directory, group->version1);
    if (!level.limit) continue;
    // In version 1 a parent counts its descendants' use against its limit
    // only with use_hierarchy set (which its descendants then all have).
    if (k > 0 && group->version1 && read_number(directory + "/memory.use_hierarchy") != 1u) continue;
    const std::uint64_t use = level.use.value_or(0) - level.cache;
    const std::uint64_t left = *level.limit > use ? *level.limit - use : 0;
    if (!tightest || left < tightest->bytes) tightest = MemoryHeadroom{left, group_limit_text(directory, left, level)};
  }
  return tightest;
}

MemoryHeadroom machine_memory_headroom(const std::string& root) {
  if (const auto contents = read_file(root + "/proc/meminfo")) {
    const auto available = stat_bytes(*contents, "MemAvailable", ':');
    const auto swap = stat_bytes(*contents, "SwapFree", ':');
    if (available && swap) {
      return MemoryHeadroom{*available + *swap, "the machine has " + to_decimal(*available + *swap) +
                                                    " bytes available (MemAvailable plus SwapFree)"};
    }
  }
  const ByteCount total = memory_and_swap();
  return MemoryHeadroom{total, "the machine has " + to_decimal(total) + " bytes of memory and swap"};
}

std::optional<MemoryHeadroom> exceeded_headroom(ByteCount bytes, const std::string& root) noexcept {
  try {
    MemoryHeadroom headroom = machine_memory_headroom(root);
    if (auto group = cgroup_memory_headroom(root); group && group->bytes <= headroom.bytes)
      headroom = std::move(*group);
    if (bytes > headroom.bytes) return headroom;
  } catch (...) {
    // std::bad_alloc while reading: no limit known, but a request beyond the
    // machine's total (read without allocating) still cannot fit.
    if (bytes > memory_and_swap()) return MemoryHeadroom{memory_and_swap(), {}};
  }
  return std::nullopt;
}

std::optional<MemoryHeadroom> refused_request(ByteCount bytes) noexcept {
  if (bytes < kSmallestCheckedRequest) return std::nullopt;
  return exceeded_headroom(bytes);
}

}  // namespace corvane
