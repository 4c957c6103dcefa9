// Operating-system entropy: getrandom() when the C library has it and the
// kernel allows it, otherwise /dev/urandom once /dev/random is ready.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvane::runtime {

struct EntropyError {
  enum class Kind {
    Os,                 // a system call failed with `code` as errno
    ErrnoNotPositive,   // a call failed but left no usable errno
    Unexpected,         // a call returned a byte count that cannot be right
  };
  Kind kind;
  int code = 0;

  // "<strerror text> (os error N)" for Os, fixed texts for the others.
  std::string text() const;
};

// Fills `out` entirely, blocking until the kernel's entropy pool is ready.
std::optional<EntropyError> fill_os_entropy(std::span<std::uint8_t> out);

// The fallback path on its own: waits until /dev/random is readable, then
// reads from /dev/urandom, which is opened once per process and kept open.
std::optional<EntropyError> fill_from_urandom(std::span<std::uint8_t> out);

// fill_os_entropy() as it fills when the C library's getrandom is
// `getrandom` (null: none), probed afresh for this call: for tests that
// stand in for a call that a kernel or a seccomp filter refuses.
using GetrandomFn = ssize_t (*)(void*, std::size_t, unsigned int);
std::optional<EntropyError> fill_os_entropy_with(GetrandomFn getrandom, std::span<std::uint8_t> out);

// Number of fill_os_entropy() calls made in this process so far.
std::uint64_t os_entropy_request_count() noexcept;

}  // namespace corvane::runtime
