#include "runtime/control_group.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "runtime/decimal.h"

namespace corvane::runtime {
namespace {

bool is_directory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

struct Membership {
  bool version1 = false;
  std::string path;
};

std::optional<Membership> find_membership(const std::string& root, std::string_view controller) {
  const auto contents = read_file(root + "/proc/self/cgroup");
  if (!contents) return std::nullopt;
  std::optional<Membership> found;
  for (std::string_view line : split(*contents, '\n')) {
    // id:controllers:path, where the path itself may contain ':'.
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (contains(split(controllers, ','), controller)) return Membership{true, std::string(path)};
    if (controllers.empty() && !found) found = Membership{false, std::string(path)};
  }
  return found;
}

// A controller's mount directory and the group's path components below it.
struct GroupLocation {
  std::string mount;
  std::vector<std::string_view> below;
};

std::optional<GroupLocation> locate_version1(const std::string& root, std::string_view group,
                                             std::string_view controller) {
  const std::vector<std::string_view> group_parts = components(group);
  std::vector<std::string> usual_mounts{"/sys/fs/cgroup/" + std::string(controller)};
  if (controller == "cpu") usual_mounts.push_back("/sys/fs/cgroup/cpu,cpuacct");
  for (const std::string& mount : usual_mounts) {
    if (is_directory(root + mount)) return GroupLocation{root + mount, group_parts};
  }
  const auto contents = read_file(root + "/proc/self/mountinfo");
  if (!contents) return std::nullopt;
  for (std::string_view line : split(*contents, '\n')) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() < 10) continue;
    const auto dash = std::find(fields.begin() + 6, fields.end(), "-");
    if (fields.end() - dash < 4 || dash[1] != "cgroup" || !contains(split(dash[3], ','), controller)) continue;
    const std::string mount_root = unescape_octal(fields[3]);
    const std::vector<std::string_view> root_parts = components(mount_root);
    if (root_parts.size() > group_parts.size() ||
        !std::equal(root_parts.begin(), root_parts.end(), group_parts.begin())) {
      continue;
    }
    return GroupLocation{root + unescape_octal(fields[4]),
                         {group_parts.begin() + static_cast<std::ptrdiff_t>(root_parts.size()), group_parts.end()}};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return contents.str();
}

std::string_view trim_end(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<std::uint64_t> read_number(const std::string& path) {
  const auto contents = read_file(path);
  if (!contents) return std::nullopt;
  return parse_unsigned(trim_end(*contents));
}

std::optional<ControlGroup> find_control_group(const std::string& root, std::string_view controller) {
  const auto membership = find_membership(root, controller);
  if (!membership) return std::nullopt;
  std::optional<GroupLocation> location;
  if (membership->version1) {
    location = locate_version1(root, membership->path, controller);
    if (!location) return std::nullopt;
  } else {
    location = GroupLocation{root + "/sys/fs/cgroup", components(membership->path)};
  }
  ControlGroup group{membership->version1, {}};
  for (std::size_t depth = location->below.size() + 1; depth-- > 0;) {
    std::string directory = location->mount;
    for (std::size_t i = 0; i < depth; ++i) directory += "/" + std::string(location->below[i]);
    group.levels.push_back(std::move(directory));
  }
  return group;
}

}  // namespace corvane::runtime
