// What a solve call reads from its environment: CORVANE_SEED (reproducible
// outputs), CORVANE_RELEASE_GIL (give up the interpreter lock while solving)
// and CORVANE_TIME_LIMIT (stop starting new work after so many seconds). All
// are read at the start of every call, so a script may change them through
// os.environ between calls.
#pragma once

#include <cstdint>
#include <optional>

#include "lib/pyref.h"

namespace corvane::py {

struct SolveModes {
  std::optional<std::uint64_t> seed;  // unset or empty: outputs from OS entropy
  bool release_gil = false;           // unset, empty or "0": hold the lock
  std::optional<double> time_limit;   // seconds, positive and finite; unset: none
};

// The modes of this call; nullopt with ValueError set when a variable holds
// anything else (checked in the order above).
std::optional<SolveModes> read_solve_modes();

// The number of this solve call in the process: 0 for the first call that got
// past its checks, then 1, 2, ... A forked child goes on from its parent's count.
std::uint64_t next_call_number() noexcept;

}  // namespace corvane::py
