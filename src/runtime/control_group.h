// The process's control group for one controller, and the small text files
// that the kernel shows under /proc and /sys.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::runtime {

// The whole of a file, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

// `text` without the blanks and newlines at its end.
std::string_view trim_end(std::string_view text);

// A file that holds one unsigned decimal (and a newline), else nullopt.
std::optional<std::uint64_t> read_number(const std::string& path);

struct ControlGroup {
  bool version1 = false;
  // The directories whose limits bind the process: the group's own first,
  // then each parent, up to and including the controller's mount point.
  std::vector<std::string> levels;
};

// Reads <root>/proc/self/cgroup to find the group that holds the process for
// `controller` ("cpu", "memory"); a version-1 group of that controller takes
// precedence over the version-2 one. The group's directory is then
//   version 2: below <root>/sys/fs/cgroup
//   version 1: below the controller's mount: <root>/sys/fs/cgroup/CONTROLLER
//              (for "cpu" also .../cpu,cpuacct) when that directory exists,
//              else the one listed in <root>/proc/self/mountinfo, whose
//              fourth field names the group the mount shows as its top.
// nullopt when no group is listed or its mount cannot be found. `root` is ""
// for the real system; tests point it at a fake tree.
std::optional<ControlGroup> find_control_group(const std::string& root, std::string_view controller);

}  // namespace corvane::runtime
