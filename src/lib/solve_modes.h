// What a solve call reads from its environment: CORVANE_SEED (reproducible
// outputs) and CORVANE_RELEASE_GIL (give up the interpreter lock while
// solving). Both are read at the start of every call, so a script may change
// them through os.environ between calls.
#pragma once

#include <cstdint>
#include <optional>

#include "lib/pyref.h"

namespace corvane::py {

struct SolveModes {
  std::optional<std::uint64_t> seed;  // unset or empty: outputs from OS entropy
  bool release_gil = false;           // unset, empty or "0": hold the lock
};

// The modes of this call; nullopt with ValueError set when a variable holds
// anything else (CORVANE_SEED is checked first).
std::optional<SolveModes> read_solve_modes();

// The number of this solve call in the process: 0 for the first call that got
// past its checks, then 1, 2, ... A forked child goes on from its parent's count.
std::uint64_t next_call_number() noexcept;

// The interpreter lock given up for the lifetime of this object, and taken
// back between batches to run pending signal handlers.
class ReleasedInterpreter {
 public:
  ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedInterpreter() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

  // Takes the lock, runs the pending signal handlers (on the main thread),
  // and gives the lock up again; when a handler raised, keeps the lock with
  // its exception set and returns false.
  bool run_signal_handlers() noexcept {
    PyEval_RestoreThread(state_);
    state_ = nullptr;
    if (PyErr_CheckSignals() < 0) return false;
    state_ = PyEval_SaveThread();
    return true;
  }

 private:
  PyThreadState* state_;
};

}  // namespace corvane::py
