// How much more memory the process can get before a limit ends it. Linux lets
// a process reserve more than it can ever write: past the machine's memory the
// out-of-memory killer ends it, and past its control group's limit the kernel
// does the same, in a container even while the machine has plenty left. A
// request beyond either is refused up front instead.
#pragma once

#include <optional>
#include <string>

#include "runtime/memory_error.h"

namespace corvane {

struct MemoryHeadroom {
  ByteCount bytes = 0;
  // Names the limit with its figures, as a message shows it after a colon:
  // "the control group /sys/fs/cgroup/a has 1048576 bytes left of its limit
  // of 4194304 bytes (3145728 in use)".
  std::string limit;
};

// The tightest level of the process's "memory" control group (the group and
// each ancestor whose limit covers it, as the kernel enforces them): its limit
// less its current use,
//   version 2: memory.max ("max" = none) and memory.current
//   version 1: memory.limit_in_bytes (the kernel's huge "unlimited" count =
//              none) and memory.usage_in_bytes; an ancestor covers the group
//              when its memory.use_hierarchy reads 1.
// The file cache in the use (memory.stat's "file" in version 2, "total_cache"
// in version 1) is left out of it: the kernel reclaims it before it ends the
// process. A level whose limit cannot be read does not bound; a use that
// cannot be read counts as none. nullopt when no level bounds. `root` is "" for the
// real system; tests point it at a fake tree.
std::optional<MemoryHeadroom> cgroup_memory_headroom(const std::string& root);

// MemAvailable plus SwapFree from <root>/proc/meminfo; when those cannot be
// read, the machine's memory and swap together (memory_and_swap()).
MemoryHeadroom machine_memory_headroom(const std::string& root);

// Reads both headrooms now (limits and use change while a process runs) and
// returns the smaller when `bytes` exceed it; nullopt when they fit. Only what
// certainly cannot fit is refused: figures that cannot be read, also for want
// of memory to read them, bound nothing but the machine's total (with an
// empty `limit` then).
std::optional<MemoryHeadroom> exceeded_headroom(ByteCount bytes, const std::string& root = "") noexcept;

// Requests below this size are not checked: reading the limits costs about a
// tenth of a millisecond, more than building a small task or batch, and a
// process that cannot get one more MiB is ended by its next allocation anyway.
inline constexpr ByteCount kSmallestCheckedRequest = ByteCount{1} << 20;

// exceeded_headroom on this system for a request of `bytes`, nullopt below
// kSmallestCheckedRequest.
std::optional<MemoryHeadroom> refused_request(ByteCount bytes) noexcept;

}  // namespace corvane
