// The two solver classes: construction from their parameters, and solve().

#include <cxxabi.h>

#include <exception>
#include <optional>

#include "ant_colony/ant_colony_solver.h"
#include "lib/arguments.h"
#include "lib/errors.h"
#include "lib/instance.h"
#include "lib/solve_modes.h"
#include "lib/types.h"
#include "probabilistic/probabilistic_solver.h"
#include "runtime/pool.h"
#include "surface/numpy_array.h"

namespace corvane::py {
namespace {

// Reads an optional parameter into `target`; false with an exception set.
template <class Convert, class T>
bool read_optional(PyObject* object, const char* name, Convert convert, T& target) {
  if (object == nullptr) return true;
  const auto value = convert(object, name);
  if (!value) return false;
  target = *value;
  return true;
}

// (best assignment as a new int64 array, best value as a float)
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

constexpr const char* kSolveParameters[] = {"task"};

// Runs `work` and returns the exception it throws instead of throwing it,
// except the unwinding that ends the thread (see ReleasedInterpreter), which
// has no exception object to keep and passes. Catching it binds a null
// reference, which UBSan would report.
template <class Work>
[[gnu::no_sanitize_undefined]] std::exception_ptr failure_of(Work&& work) {
  try {
    work();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// Runs `solve` in the modes of the environment. With the interpreter lock
// released, no Python object is touched until it is taken back: the records
// solved on are plain C++ data, kept alive and unchanged by the borrows.
template <class Parameters, class Solve>
Result<Assignment> solve_in_modes(const SolveModes& modes, const Task& task, const Parameters& parameters,
                                  Solve solve) {
  const std::uint64_t call = next_call_number();
  runtime::ThreadGeneratorSources entropy;
  std::optional<runtime::SeededSources> seeded;
  runtime::CandidateSources& sources =
      modes.seed ? static_cast<runtime::CandidateSources&>(seeded.emplace(*modes.seed, call)) : entropy;
  if (!modes.release_gil) {
    auto go_on = [](const Progress&) { return true; };
    return solve(task, parameters, SolveControl{sources, go_on});
  }
  // The first solve creates the pool, which reads its size from the
  // environment: that read must not race with os.environ in other threads.
  (void)runtime::current_num_threads();
  ReleasedInterpreter released;
  auto between_batches = [&released](const Progress&) { return released.run_signal_handlers(); };
  std::optional<Result<Assignment>> best;
  // A failure waits for the lock to be back before it goes on: taking the
  // lock back may end the thread, which must not happen in the middle of
  // another unwinding.
  const std::exception_ptr failure =
      failure_of([&] { best.emplace(solve(task, parameters, SolveControl{sources, between_batches})); });
  released.take_back();
  if (failure) std::rethrow_exception(failure);
  return std::move(*best);
}

// solve_in_modes, for a call that owns `argument` and the two borrows. If the
// interpreter, shutting down, ends this thread as it asks for the lock back,
// nothing may be released without the lock: the references go with the thread.
// (The exception that ends a thread has no object, so catching it binds a null
// reference, which UBSan would report.)
template <class Parameters, class Solve>
[[gnu::no_sanitize_undefined]] Result<Assignment> solve_or_end_thread(const SolveModes& modes, PyRef& argument,
                                                                      SharedBorrow<Task>& task,
                                                                      SharedBorrow<Parameters>& solver, Solve solve) {
  try {
    return solve_in_modes(modes, *task, *solver, solve);
  } catch (abi::__forced_unwind&) {
    (void)argument.release();
    task.abandon();
    solver.abandon();
    throw;
  }
}

// solve(task): binds the argument, borrows the solver and the task for the
// length of the call, reads the modes, runs `solve` on the records and
// converts the result.
template <class Parameters, class Solve>
PyObject* run_solve(PyObject* self, PyTypeObject* solver_type, const char* solver_name, const Signature& signature,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Solve solve) {
  PyRef slots[1];
  if (!bind_arguments(signature, args, nargsf, kwnames, slots)) return nullptr;
  auto solver = SharedBorrow<Parameters>::take(self, solver_type, solver_name);
  if (!solver) return nullptr;
  auto task = SharedBorrow<Task>::take(slots[0].get(), g_task_type, "Task");
  if (!task) {
    wrap_conversion_error("task");
    return nullptr;
  }
  const std::optional<SolveModes> modes = read_solve_modes();
  if (!modes) return nullptr;
  Result<Assignment> best = solve_or_end_thread(*modes, slots[0], *task, *solver, solve);
  if (!best) {
    raise_error(best.error());
    return nullptr;
  }
  return result_tuple(best.value());
}

// AntColonyAssignmentSolver

constexpr const char* kAntColonyParameters[] = {"num_ants", "kmax", "alpha", "beta", "rho", "initial_pheromone"};
constexpr Signature kAntColonySignature = {"AntColonyAssignmentSolver.__new__()", kAntColonyParameters, 6, 0};
constexpr Signature kAntColonySolveSignature = {"AntColonyAssignmentSolver.solve()", kSolveParameters, 1, 1};

PyObject* construct_ant_colony(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[6];
  if (!bind_arguments(kAntColonySignature, args, kwargs, slots)) return nullptr;
  AntColonyParameters parameters;
  if (!read_optional(slots[0].get(), "num_ants", to_u64, parameters.num_ants) ||
      !read_optional(slots[1].get(), "kmax", to_u64, parameters.kmax) ||
      !read_optional(slots[2].get(), "alpha", to_f64, parameters.alpha) ||
      !read_optional(slots[3].get(), "beta", to_f64, parameters.beta) ||
      !read_optional(slots[4].get(), "rho", to_f64, parameters.rho) ||
      !read_optional(slots[5].get(), "initial_pheromone", to_f64, parameters.initial_pheromone)) {
    return nullptr;
  }
  return make_instance(type, std::move(parameters));
}

PyObject* ant_colony_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] { return construct_ant_colony(type, args, kwargs); });
}

void ant_colony_dealloc(PyObject* self) { destroy_instance<AntColonyParameters>(self); }

PyObject* ant_colony_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry_guard([&] {
    return run_solve<AntColonyParameters>(self, g_ant_colony_type, "AntColonyAssignmentSolver",
                                          kAntColonySolveSignature, args, nargsf, kwnames,
                                          [](const Task& task, const AntColonyParameters& parameters,
                                             const SolveControl& control) {
                                            return solve_ant_colony(task, parameters, control);
                                          });
  });
}

PyMethodDef g_ant_colony_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ant_colony_solve)),
     METH_FASTCALL | METH_KEYWORDS, "solve($self, task)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ProbabilisticAssignmentSolver

constexpr const char* kProbabilisticParameters[] = {"kmax"};
constexpr Signature kProbabilisticSignature = {"ProbabilisticAssignmentSolver.__new__()", kProbabilisticParameters, 1,
                                               0};
constexpr Signature kProbabilisticSolveSignature = {"ProbabilisticAssignmentSolver.solve()", kSolveParameters, 1, 1};

PyObject* construct_probabilistic(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[1];
  if (!bind_arguments(kProbabilisticSignature, args, kwargs, slots)) return nullptr;
  ProbabilisticParameters parameters;
  if (!read_optional(slots[0].get(), "kmax", to_u64, parameters.kmax)) return nullptr;
  return make_instance(type, std::move(parameters));
}

PyObject* probabilistic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] { return construct_probabilistic(type, args, kwargs); });
}

void probabilistic_dealloc(PyObject* self) { destroy_instance<ProbabilisticParameters>(self); }

PyObject* probabilistic_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry_guard([&] {
    return run_solve<ProbabilisticParameters>(self, g_probabilistic_type, "ProbabilisticAssignmentSolver",
                                              kProbabilisticSolveSignature, args, nargsf, kwnames,
                                              [](const Task& task, const ProbabilisticParameters& parameters,
                                                 const SolveControl& control) {
                                                return solve_probabilistic(task, parameters, control);
                                              });
  });
}

PyMethodDef g_probabilistic_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probabilistic_solve)),
     METH_FASTCALL | METH_KEYWORDS, "solve($self, task)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassDefinition& ant_colony_class() {
  static const ClassDefinition definition = {
      "AntColonyAssignmentSolver",
      "(num_ants=20, kmax=100, alpha=1.0, beta=2.0, rho=0.1, initial_pheromone=1.0)",
      ant_colony_new,
      ant_colony_dealloc,
      g_ant_colony_methods,
      sizeof(Instance<AntColonyParameters>),
      &g_ant_colony_type,
  };
  return definition;
}

const ClassDefinition& probabilistic_class() {
  static const ClassDefinition definition = {
      "ProbabilisticAssignmentSolver", "(kmax=100)", probabilistic_new, probabilistic_dealloc,
      g_probabilistic_methods,         sizeof(Instance<ProbabilisticParameters>), &g_probabilistic_type,
  };
  return definition;
}

}  // namespace corvane::py
