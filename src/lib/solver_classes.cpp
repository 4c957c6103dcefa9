// The two solver classes: construction from their parameters, and solve().

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

// Makes an instance of `type` whose record holds the converted parameters.
template <class Table>
PyObject* construct_solver(const Table& table, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  typename Table::Slots slots;
  if (!table.bind(args, kwargs, slots)) return nullptr;
  typename Table::Record parameters{};
  if (!table.read(slots, parameters)) return nullptr;
  return make_instance(type, std::move(parameters));
}

// AntColonyAssignmentSolver

constexpr const char* kAntColony = "AntColonyAssignmentSolver";
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

PyObject* ant_colony_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] { return construct_solver(kAntColonyNew, type, args, kwargs); });
}

void ant_colony_dealloc(PyObject* self) { destroy_instance<AntColonyParameters>(self); }

PyObject* ant_colony_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry_guard([&] {
    return run_solve<AntColonyParameters>(self, g_ant_colony_type, kAntColony, kAntColonySolve, args, nargsf,
                                          kwnames, solve_ant_colony);
  });
}

PyMethodDef g_ant_colony_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ant_colony_solve)),
     METH_FASTCALL | METH_KEYWORDS, kAntColonySolve.text_signature()},
    {nullptr, nullptr, 0, nullptr},
};

// ProbabilisticAssignmentSolver

constexpr const char* kProbabilistic = "ProbabilisticAssignmentSolver";
constexpr ParameterTable kProbabilisticNew{
    kProbabilistic,
    "__new__",
    defaulted("kmax", &ProbabilisticParameters::kmax, to_u64, 100),
};
constexpr auto kProbabilisticSolve = solve_parameters(kProbabilistic);

PyObject* probabilistic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] { return construct_solver(kProbabilisticNew, type, args, kwargs); });
}

void probabilistic_dealloc(PyObject* self) { destroy_instance<ProbabilisticParameters>(self); }

PyObject* probabilistic_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry_guard([&] {
    return run_solve<ProbabilisticParameters>(self, g_probabilistic_type, kProbabilistic, kProbabilisticSolve, args,
                                              nargsf, kwnames, solve_probabilistic);
  });
}

PyMethodDef g_probabilistic_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probabilistic_solve)),
     METH_FASTCALL | METH_KEYWORDS, kProbabilisticSolve.text_signature()},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassDefinition& ant_colony_class() {
  static const ClassDefinition definition = {
      kAntColony,         kAntColonyNew.text_signature(),         ant_colony_new, ant_colony_dealloc,
      g_ant_colony_methods, sizeof(Instance<AntColonyParameters>), &g_ant_colony_type,
  };
  return definition;
}

const ClassDefinition& probabilistic_class() {
  static const ClassDefinition definition = {
      kProbabilistic,         kProbabilisticNew.text_signature(),         probabilistic_new, probabilistic_dealloc,
      g_probabilistic_methods, sizeof(Instance<ProbabilisticParameters>), &g_probabilistic_type,
  };
  return definition;
}

}  // namespace corvane::py
