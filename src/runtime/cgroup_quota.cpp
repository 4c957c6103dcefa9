#include "runtime/cgroup_quota.h"
#include "runtime/decimal.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <vector>

namespace corvane::runtime {
namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return contents.str();
}

bool is_directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string_view trim_end(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool contains(const std::vector<std::string_view>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// The non-empty components of a slash-separated path.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  for (std::string_view part : split(path, '/')) {
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  return parts;
}

// mountinfo escapes blanks and a few other bytes as a backslash followed by
// three octal digits.
std::string unescape_octal(std::string_view text) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) && octal(text[i + 3])) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct Group {
  bool version1 = false;
  std::string path;
};

std::optional<Group> find_group(const std::string& root) {
  const auto contents = read_file(root + "/proc/self/cgroup");
  if (!contents) return std::nullopt;
  std::optional<Group> found;
  for (std::string_view line : split(*contents, '\n')) {
    // id:controllers:path, where the path itself may contain ':'.
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (contains(split(controllers, ','), "cpu")) return Group{true, std::string(path)};
    if (controllers.empty() && !found) found = Group{false, std::string(path)};
  }
  return found;
}

// A controller's mount directory and the group's path components below it.
struct GroupLocation {
  std::string mount;
  std::vector<std::string> below;
};

std::vector<std::string> owned(const std::vector<std::string_view>& parts, std::size_t from = 0) {
  return std::vector<std::string>(parts.begin() + static_cast<std::ptrdiff_t>(from), parts.end());
}

// A version-1 cpu group lives below one of the usual mount points, or below
// the cpu controller's mount listed in mountinfo, whose fourth field names
// the group that the mount shows as its top directory.
std::optional<GroupLocation> locate_version1(const std::string& root, const std::string& group) {
  const std::vector<std::string_view> group_parts = components(group);
  for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    if (is_directory(root + mount)) return GroupLocation{root + mount, owned(group_parts)};
  }
  const auto contents = read_file(root + "/proc/self/mountinfo");
  if (!contents) return std::nullopt;
  for (std::string_view line : split(*contents, '\n')) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() < 10) continue;
    const auto dash = std::find(fields.begin() + 6, fields.end(), "-");
    if (fields.end() - dash < 4 || dash[1] != "cgroup" || !contains(split(dash[3], ','), "cpu")) continue;
    const std::string mount_root = unescape_octal(fields[3]);
    const std::vector<std::string_view> root_parts = components(mount_root);
    if (root_parts.size() > group_parts.size() ||
        !std::equal(root_parts.begin(), root_parts.end(), group_parts.begin())) {
      continue;
    }
    return GroupLocation{root + unescape_octal(fields[4]), owned(group_parts, root_parts.size())};
  }
  return std::nullopt;
}

// The quota of one level: limit / period when both parse and period != 0.
std::optional<std::size_t> level_quota(std::optional<std::size_t> limit, std::optional<std::size_t> period) {
  if (!limit || !period || *period == 0) return std::nullopt;
  return *limit / *period;
}

std::optional<std::size_t> read_number(const std::string& path) {
  const auto contents = read_file(path);
  if (!contents) return std::nullopt;
  return parse_unsigned(trim_end(*contents));
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
  const auto group = find_group(root);
  if (!group) return std::nullopt;
  std::optional<GroupLocation> location;
  if (group->version1) {
    location = locate_version1(root, group->path);
    if (!location) return std::nullopt;
  } else {
    location = GroupLocation{root + "/sys/fs/cgroup", owned(components(group->path))};
  }

  // From the group's own directory up to the mount point itself.
  std::optional<std::size_t> quota;
  for (std::size_t depth = location->below.size() + 1; depth-- > 0;) {
    std::string directory = location->mount;
    for (std::size_t i = 0; i < depth; ++i) directory += "/" + location->below[i];
    const auto level = group->version1 ? version1_level(directory) : version2_level(directory);
    if (level) quota = quota ? std::min(*quota, *level) : *level;
  }
  return quota;
}

}  // namespace corvane::runtime
