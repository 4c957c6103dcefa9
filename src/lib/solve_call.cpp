#include "lib/solve_call.h"

#include <algorithm>
#include <chrono>

#include "ant_colony/time_limit.h"
#include "lib/types.h"
#include "runtime/candidate_sources.h"
#include "runtime/pool.h"
#include "surface/numpy_array.h"

namespace corvane::py {
namespace {

PyObject* result_tuple(const Assignment& best) {
  PyRef array = PyRef::steal(new_int_array(best.x));
  if (!array) return nullptr;
  PyRef value = PyRef::steal(PyFloat_FromDouble(best.value));
  if (!value) {
    raise_api_call_failed();
    return nullptr;
  }
  PyObject* tuple = PyTuple_Pack(2, array.get(), value.get());
  if (tuple == nullptr) raise_api_call_failed();
  return tuple;
}

// What the calling thread does for a solve besides waiting for its batches:
// between batches it runs the pending signal handlers (lock released, or
// progress records on) and writes the records (logger on); while a batch
// runs it wakes to write the progress records and, at least every
// kSignalPeriod, to run the pending signal handlers, so that Ctrl-C takes
// effect within half a second. When a handler raised, the solve ends with
// the batch in flight: the batch is stopped and its constructions in flight
// are abandoned (see LimitWatch). Records are written, and handlers run, with
// the lock taken back.
class CallingThread final : public runtime::BatchWatch {
 public:
  static constexpr std::chrono::milliseconds kSignalPeriod{250};

  CallingThread(ProgressLog* log, ReleasedInterpreter* released) noexcept : log_(log), released_(released) {}

  // False when the solve must stop: the lock is then held, with the
  // exception set.
  bool between_batches(const Progress& progress) {
    if (released_ != nullptr) released_->take_back();
    const bool signals = released_ != nullptr || (log_ != nullptr && log_->watches_batches());
    const bool go_on = (log_ == nullptr || !log_->restore_failure()) && (!signals || PyErr_CheckSignals() == 0) &&
                       (log_ == nullptr || log_->after_batch(progress));
    if (go_on && released_ != nullptr) released_->give_up();
    return go_on;
  }

  // Watching a batch: only with a log that wants progress records.
  Clock::time_point wake_at() const override { return std::min(log_->next_progress(), next_signal_check_); }
  void woke(FunctionRef<void()> stop) override {
    const Clock::time_point now = Clock::now();
    if (log_->failed() || now < wake_at()) return;
    next_signal_check_ = now + kSignalPeriod;
    if (released_ != nullptr) released_->take_back();
    const bool record = now >= log_->next_progress();
    const bool go_on = (!record || log_->progress()) && PyErr_CheckSignals() == 0;
    // The exception waits until the batch is over (between_batches).
    if (!go_on) log_->keep_failure();
    if (released_ != nullptr) released_->give_up();
    if (!go_on) stop();
  }

 private:
  ProgressLog* log_;
  ReleasedInterpreter* released_;
  Clock::time_point next_signal_check_ = Clock::now() + kSignalPeriod;
};

}  // namespace

Result<Assignment> solve_in_modes(const SolveModes& modes, ProgressLog::Clock::time_point started, ProgressLog* log,
                                  RecordSolve solve, bool runs_batches) {
  const std::uint64_t call = next_call_number();
  runtime::ThreadGeneratorSources entropy;
  std::optional<runtime::SeededSources> seeded;
  runtime::CandidateSources& sources =
      modes.seed ? static_cast<runtime::CandidateSources&>(seeded.emplace(*modes.seed, call)) : entropy;
  std::optional<TimeLimit> limit;
  if (modes.time_limit) limit.emplace(started, *modes.time_limit);
  // After the call's number is given out: a handler that solves takes the next.
  if (log != nullptr && !log->started(runs_batches ? std::optional(runtime::current_num_threads()) : std::nullopt)) {
    return Error{ErrorKind::Stopped, ""};
  }
  auto run = [&](CallingThread& calling) {
    auto between_batches = [&calling](const Progress& progress) { return calling.between_batches(progress); };
    const bool watched = log != nullptr && log->watches_batches();
    return solve(SolveControl{sources, between_batches, watched ? &calling : nullptr,
                              log != nullptr ? &log->tally() : nullptr, limit ? &*limit : nullptr});
  };
  std::optional<Result<Assignment>> best;
  if (!modes.release_gil) {
    CallingThread calling(log, nullptr);
    best.emplace(run(calling));
  } else {
    // The first batch creates the pool, which reads its size from the
    // environment: that read must not race with os.environ in other threads.
    if (runs_batches) (void)runtime::current_num_threads();
    ReleasedInterpreter released;
    CallingThread calling(log, &released);
    // A failure waits for the lock to be back before it goes on: taking the
    // lock back may end the thread, which must not happen in the middle of
    // another unwinding.
    const std::exception_ptr failure = failure_of([&] { best.emplace(run(calling)); }, [] {});
    released.take_back();
    if (failure) std::rethrow_exception(failure);
  }
  if (log != nullptr && best->ok() && !log->finished(best->value().value, limit && limit->passed())) {
    return Error{ErrorKind::Stopped, ""};
  }
  return std::move(*best);
}

PyObject* solve_and_convert(const SolveModes& modes, ProgressLog::Clock::time_point started, ProgressLog* log,
                            RecordSolve solve, bool runs_batches, FunctionRef<void()> abandon) {
  std::optional<Result<Assignment>> best;
  const std::exception_ptr failure =
      failure_of([&] { best.emplace(solve_in_modes(modes, started, log, solve, runs_batches)); }, abandon);
  if (failure) std::rethrow_exception(failure);
  if (!*best) {
    raise_error(best->error());
    return nullptr;
  }
  return result_tuple(best->value());
}

std::optional<SharedBorrow<Task>> borrow_task(PyObject* object, const char* parameter) {
  auto task = SharedBorrow<Task>::take(object, g_task_type, "Task");
  if (!task) wrap_conversion_error(parameter);
  return task;
}

}  // namespace corvane::py
