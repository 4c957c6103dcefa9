// What a solve call reads from its environment: CORVANE_SEED (reproducible
// outputs) and CORVANE_RELEASE_GIL (give up the interpreter lock while
// solving). Both are read at the start of every call, so a script may change
// them through os.environ between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

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
//
// While the interpreter shuts down, a thread other than the one shutting it
// down that asks for the lock back is ended on the spot (pthread_exit, which
// unwinds the C++ stack with abi::__forced_unwind). Both ways of taking the
// lock back therefore let exceptions through; the caller must not release
// Python references while that unwinding passes (see run_solve), and must
// take the lock back with take_back() outside any other unwinding, as a
// second unwinding started inside one terminates the process.
class ReleasedInterpreter {
 public:
  ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  // Finds the lock taken back (or the thread being ended, with state_
  // already cleared): see above.
  ~ReleasedInterpreter() { take_back(); }
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

  // Takes the lock back unless this thread holds it already.
  void take_back() {
    if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }

  // Takes the lock, runs the pending signal handlers (on the main thread),
  // and gives the lock up again; when a handler raised, keeps the lock with
  // its exception set and returns false.
  bool run_signal_handlers() {
    take_back();
    if (PyErr_CheckSignals() < 0) return false;
    state_ = PyEval_SaveThread();
    return true;
  }

 private:
  PyThreadState* state_;
};

}  // namespace corvane::py
