#include "lib/solve_call.h"

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

}  // namespace

Result<Assignment> solve_in_modes(const SolveModes& modes, RecordSolve solve, bool runs_batches) {
  const std::uint64_t call = next_call_number();
  runtime::ThreadGeneratorSources entropy;
  std::optional<runtime::SeededSources> seeded;
  runtime::CandidateSources& sources =
      modes.seed ? static_cast<runtime::CandidateSources&>(seeded.emplace(*modes.seed, call)) : entropy;
  if (!modes.release_gil) {
    auto go_on = [](const Progress&) { return true; };
    return solve(SolveControl{sources, go_on});
  }
  // The first batch creates the pool, which reads its size from the
  // environment: that read must not race with os.environ in other threads.
  if (runs_batches) (void)runtime::current_num_threads();
  ReleasedInterpreter released;
  auto between_batches = [&released](const Progress&) { return released.run_signal_handlers(); };
  std::optional<Result<Assignment>> best;
  // A failure waits for the lock to be back before it goes on: taking the
  // lock back may end the thread, which must not happen in the middle of
  // another unwinding.
  const std::exception_ptr failure =
      failure_of([&] { best.emplace(solve(SolveControl{sources, between_batches})); }, [] {});
  released.take_back();
  if (failure) std::rethrow_exception(failure);
  return std::move(*best);
}

PyObject* solve_and_convert(const SolveModes& modes, RecordSolve solve, bool runs_batches,
                            FunctionRef<void()> abandon) {
  std::optional<Result<Assignment>> best;
  const std::exception_ptr failure =
      failure_of([&] { best.emplace(solve_in_modes(modes, solve, runs_batches)); }, abandon);
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
