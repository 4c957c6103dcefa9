// The two solver classes: construction from their parameters, and solve().

#include <utility>

#include "ant_colony/ant_colony_solver.h"
#include "lib/arguments.h"
#include "lib/errors.h"
#include "lib/instance.h"
#include "lib/parameter_table.h"
#include "lib/solve_call.h"
#include "lib/types.h"
#include "probabilistic/probabilistic_solver.h"

namespace corvane::py {
namespace {

// A solver class: its name, its record, the parameter tables of its
// constructor and of solve(), where its type object is kept, the solve it
// runs on its records and whether that runs a batch, and how the progress
// records count its work.
template <const char* kName, class Parameters, const auto& kNew, const auto& kSolve, PyTypeObject** kType,
          SolveOf<Parameters> kRun, RunsBatchesOf<Parameters> kRunsBatches, SolveUnits (*kUnits)(const Parameters&)>
struct SolverClass {
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_guard([&]() -> PyObject* {
      typename std::remove_cvref_t<decltype(kNew)>::Slots slots;
      if (!kNew.bind(args, kwargs, slots)) return nullptr;
      Parameters parameters{};
      if (!kNew.read(slots, parameters)) return nullptr;
      return make_instance(type, std::move(parameters));
    });
  }

  static void deallocate(PyObject* self) { destroy_instance<Parameters>(self); }

  static PyObject* solve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return entry_guard([&] {
      return run_solve<Parameters>(self, *kType, kName, kSolve, args, nargsf, kwnames, kRun, kRunsBatches,
                                   SolverTerms<Parameters>{kUnits, parameters});
    });
  }

  // The constructor's parameters by name, as the start record shows them.
  static bool parameters(const Parameters& record, PyObject* dict) {
    bool made = true;
    kNew.visit(record, [&](const char* name, auto value) {
      if (!made) return;
      PyRef object = to_python(value);
      made = object && PyDict_SetItemString(dict, name, object.get()) == 0;
    });
    return made;
  }

  static inline PyMethodDef methods[] = {
      {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve)), METH_FASTCALL | METH_KEYWORDS,
       kSolve.text_signature()},
      {nullptr, nullptr, 0, nullptr},
  };

  static const ClassDefinition& definition() {
    static const ClassDefinition definition = {
        kName, kNew.text_signature(), construct, deallocate, methods, sizeof(Instance<Parameters>), kType,
    };
    return definition;
  }
};

constexpr char kAntColony[] = "AntColonyAssignmentSolver";
constexpr ParameterTable kAntColonyNew{
    kAntColony,
    "__new__",
    defaulted("num_ants", &AntColonyParameters::num_ants, to_u64, 20),
    defaulted("kmax", &AntColonyParameters::kmax, to_u64, 100),
    defaulted("alpha", &AntColonyParameters::alpha, to_f64, 1.0),
    defaulted("beta", &AntColonyParameters::beta, to_f64, 2.0),
    defaulted("rho", &AntColonyParameters::rho, to_f64, 0.1),
    defaulted("initial_pheromone", &AntColonyParameters::initial_pheromone, to_f64, 1.0),
};
constexpr auto kAntColonySolve = solve_parameters(kAntColony);
SolveUnits ant_colony_units(const AntColonyParameters& parameters) {
  return {parameters.kmax, parameters.num_ants, false};
}

constexpr char kProbabilistic[] = "ProbabilisticAssignmentSolver";
constexpr ParameterTable kProbabilisticNew{
    kProbabilistic,
    "__new__",
    defaulted("kmax", &ProbabilisticParameters::kmax, to_u64, 100),
};
constexpr auto kProbabilisticSolve = solve_parameters(kProbabilistic);
// Its kmax counts samples, all built in one batch.
SolveUnits probabilistic_units(const ProbabilisticParameters& parameters) { return {parameters.kmax, 1, true}; }

}  // namespace

const ClassDefinition& ant_colony_class() {
  return SolverClass<kAntColony, AntColonyParameters, kAntColonyNew, kAntColonySolve, &g_ant_colony_type,
                     solve_ant_colony, runs_batches, ant_colony_units>::definition();
}

const ClassDefinition& probabilistic_class() {
  return SolverClass<kProbabilistic, ProbabilisticParameters, kProbabilisticNew, kProbabilisticSolve,
                     &g_probabilistic_type, solve_probabilistic, runs_batches, probabilistic_units>::definition();
}

}  // namespace corvane::py
