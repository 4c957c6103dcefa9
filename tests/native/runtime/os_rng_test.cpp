#include "runtime/os_rng.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

namespace corvane::runtime {
namespace {

TEST(OsRng, ErrorTexts) {
  EXPECT_EQ((EntropyError{EntropyError::Kind::Os, ENOENT}.text()), "No such file or directory (os error 2)");
  EXPECT_EQ((EntropyError{EntropyError::Kind::Os, EINTR}.text()), "Interrupted system call (os error 4)");
  EXPECT_EQ((EntropyError{EntropyError::Kind::ErrnoNotPositive}.text()), "errno: did not return a positive value");
  EXPECT_EQ((EntropyError{EntropyError::Kind::Unexpected}.text()), "unexpected situation");
}

// Descriptors of this process that point at /dev/urandom.
std::vector<int> urandom_descriptors() {
  std::vector<int> found;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    char target[256] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target) == "/dev/urandom") {
      found.push_back(std::stoi(entry->d_name));
    }
  }
  closedir(dir);
  return found;
}

TEST(OsRng, BothRoutesFillWholeRequestsWithFreshBytes) {
  using Bytes = std::array<std::uint8_t, 1000>;
  for (auto fill : {&fill_os_entropy, &fill_from_urandom}) {
    Bytes a{}, b{};
    ASSERT_FALSE(fill(a).has_value());
    ASSERT_FALSE(fill(b).has_value());
    EXPECT_NE(a, b);
    // Filled to the last byte: 100 trailing zeros would have odds of 2^-800.
    EXPECT_NE(std::vector<std::uint8_t>(a.end() - 100, a.end()), std::vector<std::uint8_t>(100, 0));
  }
}

TEST(OsRng, DeviceIsOpenedOnceAndClosedOnExec) {
  std::array<std::uint8_t, 32> bytes;
  ASSERT_FALSE(fill_from_urandom(bytes).has_value());
  const std::vector<int> after_first = urandom_descriptors();
  ASSERT_FALSE(fill_from_urandom(bytes).has_value());
  EXPECT_EQ(urandom_descriptors(), after_first);
  ASSERT_EQ(after_first.size(), 1u);
  EXPECT_TRUE(fcntl(after_first[0], F_GETFD) & FD_CLOEXEC);
}

// A getrandom that a seccomp filter refuses, as container runtimes' default
// profiles did before they knew the call.
ssize_t refused_getrandom(void*, std::size_t, unsigned int) {
  errno = EPERM;
  return -1;
}

TEST(OsRng, RefusedGetrandomFallsBackToTheDevice) {
  std::array<std::uint8_t, 64> bytes{};
  ASSERT_FALSE(fill_os_entropy_with(&refused_getrandom, bytes).has_value());
  EXPECT_NE(bytes, (std::array<std::uint8_t, 64>{}));
}

}  // namespace
}  // namespace corvane::runtime
