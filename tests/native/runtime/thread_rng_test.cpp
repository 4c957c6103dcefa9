#include "runtime/thread_rng.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "runtime/os_rng.h"
#include "runtime/pool.h"
#include "test_support.h"

namespace corvane::runtime {
namespace {

TEST(ThreadRng, EachDrawingThreadIsKeyedOnceAndOthersNever) {
  const std::uint64_t before = os_entropy_request_count();
  std::thread([] {}).join();
  std::thread idle([] { (void)worker_index(); });  // touches the pool, not the generator
  idle.join();
  EXPECT_EQ(os_entropy_request_count(), before);

  std::array<std::uint64_t, 2> first{};
  for (std::uint64_t& out : first) {
    std::thread([&out] {
      out = ThreadRng::current().next_u64();
      for (int i = 0; i < 1000; ++i) ThreadRng::current().next_u64();  // same generator, no new key
    }).join();
  }
  EXPECT_EQ(os_entropy_request_count(), before + 2);
  EXPECT_NE(first[0], first[1]);
}

// The child must not replay the parent's stream: the surviving thread's
// generator is rekeyed before it draws again.
TEST(ThreadRng, ForkedChildDrawsADifferentStream) {
  ThreadRng rng = ThreadRng::current();
  rng.next_u64();  // leaves buffered output behind
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const std::uint64_t requests_before_fork = os_entropy_request_count();
  const int status = corvane::testing::run_in_child([&] {
    std::array<std::uint64_t, 9> draws;
    for (int i = 0; i < 8; ++i) draws[i] = ThreadRng::current().next_u64();
    draws[8] = os_entropy_request_count() - requests_before_fork;
    return write(pipe_fds[1], draws.data(), sizeof draws) == sizeof draws ? 0 : 1;
  });
  ASSERT_EQ(status, 0);
  std::array<std::uint64_t, 9> child{};
  ASSERT_EQ(read(pipe_fds[0], child.data(), sizeof child), static_cast<ssize_t>(sizeof child));
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  EXPECT_EQ(child[8], 1u) << "the child takes exactly one fresh key";
  for (int i = 0; i < 8; ++i) EXPECT_NE(child[i], rng.next_u64()) << "draw " << i;
}

}  // namespace
}  // namespace corvane::runtime
