// The layer that runs solve(task): it binds the argument, borrows the solver
// and the task for the length of the call, reads the modes of the
// environment and asks the logger whether it wants records, runs the solve
// under them (the interpreter lock held or given up, outputs from entropy or
// from a seed, pending signal handlers run and records written between
// batches and while they run, a time limit) and turns the best assignment
// into the tuple Python gets.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include "ant_colony/solution.h"
#include "ant_colony/solve_control.h"
#include "lib/errors.h"
#include "lib/instance.h"
#include "lib/parameter_table.h"
#include "lib/progress_log.h"
#include "lib/solve_modes.h"
#include "runtime/function_ref.h"
#include "runtime/result.h"
#include "surface/task.h"

namespace corvane::py {

// The interpreter lock given up for the lifetime of this object, and taken
// back between batches to run pending signal handlers.
//
// While the interpreter shuts down, a thread other than the one shutting it
// down that asks for the lock back is ended on the spot (see failure_of).
// Both ways of taking the lock back therefore let that unwinding through; the
// caller must not release Python references while it passes, and must take
// the lock back with take_back() outside any other unwinding, as a second
// unwinding started inside one terminates the process.
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

  // Gives the lock up again, after take_back().
  void give_up() noexcept { state_ = PyEval_SaveThread(); }

 private:
  PyThreadState* state_;
};

// A solve of one solver's records, given how it is driven.
using RecordSolve = FunctionRef<Result<Assignment>(const SolveControl&)>;

// Runs `solve` in `modes`, for a call that began at `started`, writing its
// records to `log` (null when the logger wants none); `runs_batches` says
// whether it runs a batch (see runs_batches() of the solvers). With the
// interpreter lock released, no Python object is touched until it is taken
// back: the records solved on are plain C++ data, kept alive and unchanged by
// the caller's borrows.
Result<Assignment> solve_in_modes(const SolveModes& modes, ProgressLog::Clock::time_point started, ProgressLog* log,
                                  RecordSolve solve, bool runs_batches);

// solve_in_modes, then the result as (best assignment as a new int64 array,
// best value as a float). If the interpreter, shutting down, ends this thread
// as it asks for the lock back, `abandon` gives up the call's references
// first: they go with the thread (see failure_of).
PyObject* solve_and_convert(const SolveModes& modes, ProgressLog::Clock::time_point started, ProgressLog* log,
                            RecordSolve solve, bool runs_batches, FunctionRef<void()> abandon);

// The argument of solve(): a shared borrow of a Task.
struct SolveArguments {
  std::optional<SharedBorrow<Task>> task;
};
std::optional<SharedBorrow<Task>> borrow_task(PyObject* object, const char* parameter);

// The parameters of `class_name`.solve().
consteval auto solve_parameters(const char* class_name) {
  return ParameterTable(class_name, "solve", required("task", &SolveArguments::task, borrow_task));
}

template <class Parameters>
using SolveOf = Result<Assignment> (*)(const Task&, const Parameters&, const SolveControl&);
template <class Parameters>
using RunsBatchesOf = bool (*)(const Task&, const Parameters&);

// What the records say of a solver whose record is `Parameters`: how its
// work is counted, and its parameters by name (see SolveOutline).
template <class Parameters>
struct SolverTerms {
  SolveUnits (*units)(const Parameters&);
  bool (*parameters)(const Parameters&, PyObject* dict);
};

// solve(task) on `self`, a `solver_type` instance whose record is
// `Parameters`, with the parameters of `table` (solve_parameters()).
template <class Parameters, class Table>
PyObject* run_solve(PyObject* self, PyTypeObject* solver_type, const char* solver_name, const Table& table,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, SolveOf<Parameters> solve,
                    RunsBatchesOf<Parameters> runs_batches, SolverTerms<Parameters> terms) {
  const ProgressLog::Clock::time_point started = ProgressLog::Clock::now();
  typename Table::Slots slots;
  if (!table.bind(args, nargsf, kwnames, slots)) return nullptr;
  auto solver = SharedBorrow<Parameters>::take(self, solver_type, solver_name);
  if (!solver) return nullptr;
  SolveArguments arguments;
  if (!table.read(slots, arguments)) return nullptr;
  const std::optional<SolveModes> modes = read_solve_modes();
  if (!modes) return nullptr;
  SharedBorrow<Task>& task = *arguments.task;
  std::optional<ProgressLog> log;
  auto parameters = [&](PyObject* dict) { return terms.parameters(**solver, dict); };
  if (!ProgressLog::open(log, SolveOutline{solver_name, task->m, task->n, terms.units(**solver), parameters}, *modes,
                         started)) {
    return nullptr;
  }
  return solve_and_convert(
      *modes, started, log ? &*log : nullptr,
      [&](const SolveControl& control) { return solve(*task, **solver, control); }, runs_batches(*task, **solver),
      [&] {
        for (PyRef& slot : slots) (void)slot.release();
        task.abandon();
        solver->abandon();
        if (log) log->abandon();
      });
}

}  // namespace corvane::py
