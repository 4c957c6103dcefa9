#include "runtime/memory_headroom.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>

#include "runtime/control_group.h"
#include "support/fake_root.h"

namespace corvane {
namespace {

struct TreeCase {
  const char* name;
  const char* files;       // "path=contents;..."; paths below /sys/fs/cgroup unless absolute
  std::uint64_t headroom;  // fits; one byte more is refused
  const char* limit;       // as the message names it; a group's directory follows the fake root
};
void PrintTo(const TreeCase& tree, std::ostream* out) { *out << tree.name; }

class FakeTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(FakeTree, RefusesOnlyWhatPassesTheTightestLimitAndNamesIt) {
  const TreeCase& tree = GetParam();
  const testing::FakeRoot root;
  root.write("/proc/meminfo", "MemAvailable: 1073741824 kB\nSwapFree: 0 kB\n");  // a TiB, unless a case says less
  std::istringstream files(tree.files);
  for (std::string line; std::getline(files, line, ';');) {
    const std::string path = line.substr(0, line.find('='));
    root.write((path[0] == '/' ? "" : "/sys/fs/cgroup/") + path, line.substr(path.size() + 1) + "\n");
  }
  EXPECT_FALSE(exceeded_headroom(tree.headroom, root.path()).has_value());
  const auto exceeded = exceeded_headroom(tree.headroom + 1, root.path());
  ASSERT_TRUE(exceeded.has_value());
  const std::string group = "the control group ";
  const std::string limit = tree.limit;
  EXPECT_EQ(exceeded->limit, limit.rfind(group, 0) == 0 ? group + root.path() + limit.substr(group.size()) : limit);
  // "max" and v1's "unlimited" are no limit at all, not a huge one.
  EXPECT_EQ(cgroup_memory_headroom(root.path()).has_value(), limit.rfind(group, 0) == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FakeTree,
    ::testing::Values(
        // File cache in the use is reclaimed before the group runs out.
        TreeCase{"Version2",
                 "/proc/self/cgroup=0::/app;app/memory.max=4194304;app/memory.current=1048576;"
                 "app/memory.stat=anon 786432\nfile 262144\nkernel 0",
                 3407872,
                 "the control group /sys/fs/cgroup/app has 3407872 bytes left of its limit of 4194304 bytes (1048576 "
                 "in use, less 262144 of file cache)"},
        TreeCase{"Version1",
                 "/proc/self/cgroup=0::/\n4:memory:/job;memory/memory.limit_in_bytes=9223372036854771712;"
                 "memory/memory.use_hierarchy=1;memory/job/memory.limit_in_bytes=8388608;"
                 "memory/job/memory.usage_in_bytes=2097152",
                 6291456,
                 "the control group /sys/fs/cgroup/memory/job has 6291456 bytes left of its limit of 8388608 bytes "
                 "(2097152 in use)"},
        // The parent's use counts its other children too: it leaves less.
        TreeCase{"NestedVersion2",
                 "/proc/self/cgroup=0::/outer/inner;outer/memory.max=16777216;outer/memory.current=12582912;"
                 "outer/inner/memory.max=67108864;outer/inner/memory.current=1048576",
                 4194304,
                 "the control group /sys/fs/cgroup/outer has 4194304 bytes left of its limit of 16777216 bytes "
                 "(12582912 in use)"},
        // Without use_hierarchy the parent's limit does not cover the group.
        TreeCase{"NestedVersion1WithoutHierarchy",
                 "/proc/self/cgroup=4:memory:/outer/inner;memory/outer/memory.limit_in_bytes=1048576;"
                 "memory/outer/memory.use_hierarchy=0;memory/outer/inner/memory.limit_in_bytes=33554432",
                 33554432,
                 "the control group /sys/fs/cgroup/memory/outer/inner has 33554432 bytes left of its limit of "
                 "33554432 bytes (use unknown)"},
        TreeCase{"MaxLeavesTheMachine",
                 "/proc/self/cgroup=0::/app;app/memory.max=max;app/memory.current=1048576;"
                 "/proc/meminfo=MemAvailable:       2048 kB\nSwapTotal: 4096 kB\nSwapFree:  1024 kB",
                 3145728, "the machine has 3145728 bytes available (MemAvailable plus SwapFree)"},
        TreeCase{"Version1UnlimitedLeavesTheMachine",
                 "/proc/self/cgroup=4:memory:/job;memory/job/memory.limit_in_bytes=9223372036854771712;"
                 "memory/job/memory.usage_in_bytes=2097152;/proc/meminfo=MemAvailable: 4096 kB\nSwapFree: 0 kB",
                 4194304, "the machine has 4194304 bytes available (MemAvailable plus SwapFree)"}),
    [](const ::testing::TestParamInfo<TreeCase>& info) { return info.param.name; });

// The group this process runs in, as the machine shows it: whatever is there
// must read consistently, and nothing here changes it.
TEST(MemoryHeadroom, TheProcessOwnGroup) {
  const auto group = runtime::find_control_group("", "memory");
  const auto in_group = cgroup_memory_headroom("");
  const MemoryHeadroom machine = machine_memory_headroom("");
  std::cout << "memory group: " << (group ? group->levels.front() : "none") << "; "
            << (in_group ? in_group->limit : "no limit") << "; " << machine.limit << "\n";
  EXPECT_TRUE(!group || std::filesystem::is_directory(group->levels.front()));
  EXPECT_TRUE(group || !in_group);
  EXPECT_GT(machine.bytes, 1u << 20);  // this process runs in it
  EXPECT_LE(machine.bytes, memory_and_swap());
  EXPECT_TRUE(in_group || !exceeded_headroom(1u << 20));  // no limit: a small request goes ahead
  const auto beyond = exceeded_headroom(memory_and_swap() + 1);
  ASSERT_TRUE(beyond.has_value());
  EXPECT_EQ(beyond->limit.rfind("the ", 0), 0u) << beyond->limit;
}

}  // namespace
}  // namespace corvane
