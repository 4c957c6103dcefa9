#include "runtime/os_rng.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <variant>

#include "runtime/os_error.h"

namespace corvane::runtime {
namespace {

// How entropy is fetched, settled by the first caller. Racing first callers
// probe independently and store the same answer.
constexpr std::uintptr_t kUnprobed = 0;
constexpr std::uintptr_t kUseDevice = 1;
std::atomic<std::uintptr_t> entropy_route{kUnprobed};

std::atomic<std::uint64_t> request_count{0};

// The /dev/urandom descriptor, opened at most once successfully and never
// closed. First users wait on the mutex for the one that opens it.
std::atomic<int> urandom_fd{-1};
std::mutex urandom_mutex;

EntropyError last_os_error() {
  const int code = errno;
  if (code <= 0) return EntropyError{EntropyError::Kind::ErrnoNotPositive};
  return EntropyError{EntropyError::Kind::Os, code};
}

// Keeps the opening mutex consistent across fork: the forking thread holds
// it while the process is copied, so the child never inherits it locked by a
// thread that does not exist there.
void lock_before_fork() { urandom_mutex.lock(); }
void unlock_after_fork() { urandom_mutex.unlock(); }
const bool fork_handlers_installed = pthread_atfork(&lock_before_fork, &unlock_after_fork, &unlock_after_fork) == 0;

std::uintptr_t probe_route(GetrandomFn fn) {
  if (fn == nullptr) return kUseDevice;
  // A zero-length request tells whether the kernel lets us use the call: a
  // seccomp filter refuses it with EPERM, an old kernel lacks it (ENOSYS).
  if (fn(nullptr, 0, 0) < 0 && (errno == EPERM || errno == ENOSYS)) return kUseDevice;
  return reinterpret_cast<std::uintptr_t>(fn);
}

// Repeats `read_some` until `out` is full. It returns a byte count or -1
// with errno set; interrupted calls are retried.
template <class ReadSome>
std::optional<EntropyError> fill_exact(std::span<std::uint8_t> out, ReadSome read_some) {
  while (!out.empty()) {
    const ssize_t got = read_some(out.data(), out.size());
    if (got > 0) {
      if (static_cast<std::size_t>(got) > out.size()) return EntropyError{EntropyError::Kind::Unexpected};
      out = out.subspan(static_cast<std::size_t>(got));
    } else if (got == -1) {
      const EntropyError error = last_os_error();
      if (error.kind == EntropyError::Kind::Os && error.code == EINTR) continue;
      return error;
    } else {
      // End of file or a negative count other than -1: the stream of random
      // bytes should never end.
      return EntropyError{EntropyError::Kind::Unexpected};
    }
  }
  return std::nullopt;
}

std::variant<int, EntropyError> open_read_only(const char* path) {
  for (;;) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    const EntropyError error = last_os_error();
    if (error.kind != EntropyError::Kind::Os || error.code != EINTR) return error;
  }
}

// /dev/random becomes readable once the kernel's pool has been initialised;
// from then on /dev/urandom never returns weak output.
std::optional<EntropyError> wait_until_pool_ready() {
  const auto opened = open_read_only("/dev/random");
  if (const auto* error = std::get_if<EntropyError>(&opened)) return *error;
  const int fd = std::get<int>(opened);
  std::optional<EntropyError> result;
  pollfd request{fd, POLLIN, 0};
  for (;;) {
    if (poll(&request, 1, -1) >= 0) break;
    const EntropyError error = last_os_error();
    if (error.kind == EntropyError::Kind::Os && (error.code == EINTR || error.code == EAGAIN)) continue;
    result = error;
    break;
  }
  close(fd);
  return result;
}

std::variant<int, EntropyError> urandom_descriptor() {
  int fd = urandom_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(urandom_mutex);
  fd = urandom_fd.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  if (auto error = wait_until_pool_ready()) return *error;
  auto opened = open_read_only("/dev/urandom");
  if (const int* opened_fd = std::get_if<int>(&opened)) {
    urandom_fd.store(*opened_fd, std::memory_order_release);
  }
  return opened;
}

}  // namespace

std::string EntropyError::text() const {
  switch (kind) {
    case Kind::Os:
      return os_error_text(code);
    case Kind::ErrnoNotPositive:
      return "errno: did not return a positive value";
    case Kind::Unexpected:
      break;
  }
  return "unexpected situation";
}

std::optional<EntropyError> fill_from_urandom(std::span<std::uint8_t> out) {
  const auto descriptor = urandom_descriptor();
  if (const auto* error = std::get_if<EntropyError>(&descriptor)) return *error;
  const int fd = std::get<int>(descriptor);
  return fill_exact(out, [fd](std::uint8_t* data, std::size_t size) { return read(fd, data, size); });
}

namespace {

// Fills `out` the way `route` says.
std::optional<EntropyError> fill_through(std::uintptr_t route, std::span<std::uint8_t> out) {
  if (route == kUseDevice) return fill_from_urandom(out);
  const auto fn = reinterpret_cast<GetrandomFn>(route);
  return fill_exact(out, [fn](std::uint8_t* data, std::size_t size) { return fn(data, size, 0); });
}

}  // namespace

std::optional<EntropyError> fill_os_entropy(std::span<std::uint8_t> out) {
  (void)fork_handlers_installed;
  request_count.fetch_add(1, std::memory_order_relaxed);
  std::uintptr_t route = entropy_route.load(std::memory_order_acquire);
  if (route == kUnprobed) {
    route = probe_route(reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom")));
    entropy_route.store(route, std::memory_order_release);
  }
  return fill_through(route, out);
}

std::optional<EntropyError> fill_os_entropy_with(GetrandomFn getrandom, std::span<std::uint8_t> out) {
  return fill_through(probe_route(getrandom), out);
}

std::uint64_t os_entropy_request_count() noexcept { return request_count.load(std::memory_order_relaxed); }

}  // namespace corvane::runtime
