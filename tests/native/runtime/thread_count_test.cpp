#include "runtime/thread_count.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "runtime/cgroup_quota.h"
#include "runtime/pool.h"
#include "runtime/worker_pool.h"
#include "support/fake_root.h"

namespace corvane::runtime {
namespace {

using testing::FakeRoot;

std::size_t decide(std::map<std::string, std::string> env, CpuCounts cpus = {6, 8}) {
  const FakeRoot root;  // no control group: the affinity count stands
  return decide_thread_count(
      [&env](const char* name) -> const char* {
        const auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
      },
      cpus, root.path());
}

TEST(ThreadCount, EnvironmentRules) {
  EXPECT_EQ(decide({}), 6u);
  EXPECT_EQ(decide({{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "5"}}), 3u);
  EXPECT_EQ(decide({{"RAYON_NUM_THREADS", "+4"}}), 4u);
  for (const char* malformed : {" 4", "4x", "-4", "", "+", "4 ", "99999999999999999999999"}) {
    EXPECT_EQ(decide({{"RAYON_NUM_THREADS", malformed}, {"RAYON_RS_NUM_CPUS", "5"}}), 5u) << '"' << malformed << '"';
    EXPECT_EQ(decide({{"RAYON_RS_NUM_CPUS", malformed}}), 6u) << '"' << malformed << '"';
  }
  // Zero in the first variable means "available parallelism", final.
  EXPECT_EQ(decide({{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}), 6u);
  EXPECT_EQ(decide({{"RAYON_RS_NUM_CPUS", "0"}}), 6u);
  EXPECT_EQ(decide({{"RAYON_RS_NUM_CPUS", "+2"}}), 2u);
  EXPECT_EQ(decide({{"RAYON_NUM_THREADS", "70000"}}), 65535u);
  EXPECT_EQ(decide({{"RAYON_RS_NUM_CPUS", "65536"}}), 65535u);
  // Affinity count, else online count, else 1; capped like the variables.
  EXPECT_EQ(decide({}, {0, 8}), 8u);
  EXPECT_EQ(decide({}, {0, 0}), 1u);
  EXPECT_EQ(decide({}, {100000, 0}), 65535u);
}

TEST(CgroupQuota, VersionTwoTakesSmallestLevelUpToTheMount) {
  const FakeRoot root;
  EXPECT_EQ(cgroup_cpu_quota(root.path()), std::nullopt);  // no /proc/self/cgroup
  root.write("/proc/self/cgroup", "0::/a/b\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), std::nullopt);  // no quota files
  root.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), std::nullopt);
  root.write("/sys/fs/cgroup/a/cpu.max", "350000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 3u);
  EXPECT_EQ(available_parallelism({6, 8}, root.path()), 3u);
  EXPECT_EQ(available_parallelism({2, 8}, root.path()), 2u);
  root.write("/sys/fs/cgroup/cpu.max", "200000 100000\n");  // the mount's own level counts
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 2u);
  root.write("/sys/fs/cgroup/a/b/cpu.max", "50000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 0u);
  EXPECT_EQ(available_parallelism({6, 8}, root.path()), 1u);  // a quota below one CPU still allows one
  for (const char* no_bound : {"100000 0\n", "garbage\n", "-1 100000\n", "100000\n"}) {
    root.write("/sys/fs/cgroup/a/b/cpu.max", no_bound);
    EXPECT_EQ(cgroup_cpu_quota(root.path()), 2u) << no_bound;
  }
}

TEST(CgroupQuota, VersionOneGroupTakesPrecedence) {
  const FakeRoot root;
  root.write("/proc/self/cgroup", "0::/\n5:cpuacct,cpu:/grp\n2:memory:/elsewhere\n");
  root.write("/sys/fs/cgroup/cpu.max", "100000 100000\n");  // the version-2 group is ignored
  root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "-1\n");
  root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), std::nullopt);
  root.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "400000\n");
  root.write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 4u);
  root.write("/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "250000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 2u);
  // The plain "cpu" mount point is preferred when it exists.
  root.make_directory("/sys/fs/cgroup/cpu/grp");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), std::nullopt);
}

TEST(CgroupQuota, VersionOneMountFoundInMountinfo) {
  const FakeRoot root;
  root.write("/proc/self/cgroup", "4:cpu:/outer/inner\n");
  root.write("/proc/self/mountinfo",
             "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
             "31 25 0:27 / /cg/memory rw,nosuid shared:9 - cgroup cgroup rw,memory\n"
             "32 25 0:28 /outer /cg/my\\040cpu rw,nosuid shared:10 - cgroup cgroup rw,cpu,cpuacct\n");
  root.write("/cg/my cpu/inner/cpu.cfs_quota_us", "300000\n");
  root.write("/cg/my cpu/inner/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root.path()), 3u);
}

// The real system: a fresh process per case, since the pool reads its
// configuration once.
class PoolSizeInFreshProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PoolSizeInFreshProcess, AffinityMaskLimitsThePool) {
  EXPECT_EXIT(
      {
        unsetenv("RAYON_NUM_THREADS");
        unsetenv("RAYON_RS_NUM_CPUS");
        cpu_set_t set;
        sched_getaffinity(0, sizeof set, &set);
        int first = 0;
        while (!CPU_ISSET(first, &set)) ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        sched_setaffinity(0, sizeof set, &set);
        std::fprintf(stderr, "size=%zu", current_num_threads());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "size=1$");
}

// Racing first callers create one pool, sized from the environment as it was
// then; later changes of the variable have no effect.
TEST_F(PoolSizeInFreshProcess, RacingFirstCallersCreateOnePoolOnce) {
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "4", 1);
        std::atomic<bool> go{false};
        std::vector<std::thread> callers;
        std::atomic<std::size_t> sizes{0};
        for (int i = 0; i < 8; ++i) {
          callers.emplace_back([&] {
            while (!go.load()) {
            }
            sizes += current_num_threads();
          });
        }
        go = true;
        for (auto& caller : callers) caller.join();
        setenv("RAYON_NUM_THREADS", "5", 1);
        std::fprintf(stderr, "sizes=%zu started=%zu again=%zu", sizes.load(), WorkerPool::workers_started(),
                     current_num_threads());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "sizes=32 started=4 again=4");
}

}  // namespace
}  // namespace corvane::runtime
