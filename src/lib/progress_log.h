// The records a solve writes to the "corvane" logger of Python's logging
// module, when that logger takes INFO or DEBUG records:
//
//   INFO   when the solve starts (solver, task size, parameters, threads,
//          modes); progress while it runs, at most one a second and, while
//          a batch runs, at least one every two seconds; when a time limit
//          stopped it; when it ends (best value, candidates, time taken).
//   DEBUG  one per ant colony iteration (its ants' best, the best so far).
//
// Every record carries its numbers as attributes (see attributes()), so that
// handlers need not parse the messages.
//
// Everything here runs with the interpreter lock held. Handlers are Python
// code and may raise (the solve then stops with that exception), re-enter
// solve, log again or take long; one that waits for a solve on another
// thread logging through it deadlocks on its own lock, as logging has it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ant_colony/candidate_tally.h"
#include "ant_colony/solve_control.h"
#include "lib/pyref.h"
#include "lib/solve_modes.h"
#include "runtime/function_ref.h"

namespace corvane::py {

// How a solver's records count its work.
struct SolveUnits {
  std::uint64_t kmax;
  std::uint64_t per_iteration;  // candidates per iteration: num_ants, or 1
  bool samples;                 // each iteration is one sample, all in one batch
};

// What the records say about a solve.
struct SolveOutline {
  const char* solver;  // the class name
  std::uint64_t m;
  std::uint64_t n;
  SolveUnits units;
  // Puts the solver's parameters, name -> value, into a dict; false with the
  // exception set.
  FunctionRef<bool(PyObject*)> parameters;
};

// An int or a float for a record, or a parameter dict.
PyRef to_python(std::uint64_t value);
PyRef to_python(double value);

class ProgressLog {
 public:
  using Clock = std::chrono::steady_clock;

  // Asks the logger, once, whether it takes INFO or DEBUG records and, when
  // it takes either, makes `log`. A process that never imported logging has
  // nobody to take them: it is not imported here. False, with the exception
  // set, when asking failed.
  static bool open(std::optional<ProgressLog>& log, const SolveOutline& outline, const SolveModes& modes,
                   Clock::time_point started);

  // For open() only.
  ProgressLog(const SolveOutline& outline, const SolveModes& modes, Clock::time_point started, bool info,
              bool debug) noexcept;
  ProgressLog(const ProgressLog&) = delete;
  ProgressLog& operator=(const ProgressLog&) = delete;

  CandidateTally& tally() noexcept { return tally_; }
  // Whether the batches are to be watched for progress records.
  bool watches_batches() const noexcept { return info_; }

  // Each of these writes its records and returns false, with the exception
  // set, when a handler raised.

  // The start record, with the pool's thread count.
  bool started(std::optional<std::size_t> threads);
  // After a batch and its updates: the iteration's DEBUG record, and a
  // progress record when one is due.
  bool after_batch(const Progress& progress);
  // While a batch runs: a progress record, due at next_progress().
  Clock::time_point next_progress() const noexcept { return next_progress_; }
  bool progress();
  // The record of a time limit that stopped the solve early, then the end record.
  bool finished(double best, bool limit_reached);

  // A handler raised while a batch ran: its exception waits, taken out of
  // the error indicator, until the batch is over; then restore_failure()
  // sets it again and says whether there was one.
  void keep_failure();
  bool failed() const noexcept { return static_cast<bool>(pending_); }
  bool restore_failure();

  // Gives up every reference without releasing it, for a thread that is
  // ended while the interpreter shuts down (see failure_of).
  void abandon() noexcept;

 private:
  // How far the solve has got, read once for each record: the workers go on
  // meanwhile, and a record's numbers must agree with one another.
  struct Moment {
    std::uint64_t done;       // candidates built
    std::uint64_t iteration;  // iterations completed
    double elapsed;           // seconds since the call began
  };
  Moment now() const noexcept;
  PyRef attributes(const char* event, const Moment& at, double best, std::optional<double> remaining) const;
  std::optional<double> remaining(const Moment& at) const noexcept;
  std::string position(const Moment& at) const;
  bool emit(int level, const std::string& message, PyRef extra);

  PyRef logger_;
  PyRef solver_;      // the class name, as a str
  PyRef kmax_;        // int
  PyRef total_;       // int: kmax · per_iteration, exactly
  PyRef parameters_;  // dict, until the start record takes it
  PyRef pending_;     // the exception of a handler, while the batch ends
  const char* solver_name_;
  std::uint64_t m_;
  std::uint64_t n_;
  SolveUnits units_;
  double total_count_;
  SolveModes modes_;
  Clock::time_point started_;
  Clock::time_point next_progress_;
  bool info_;
  bool debug_;
  std::uint64_t iterations_ = 0;  // checkpoints passed (the ant colony's iterations)
  CandidateTally tally_;
};

}  // namespace corvane::py
