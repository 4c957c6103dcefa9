// The Task class: construction from NumPy arrays, and validate().

#include <optional>

#include "lib/arguments.h"
#include "lib/errors.h"
#include "lib/instance.h"
#include "lib/parameter_table.h"
#include "lib/types.h"
#include "surface/numpy_array.h"
#include "surface/task.h"

namespace corvane::py {
namespace {

// The arguments as read, before the arrays are copied.
struct TaskArguments {
  std::uint64_t m = 0;
  std::uint64_t n = 0;
  std::optional<ArrayView> c;
  std::optional<ArrayView> b_ij;
  std::int64_t b_total = 0;
  std::optional<ArrayView> omega;
};

constexpr auto int64_array = [](PyObject* object, const char* parameter) {
  return accept_array(object, parameter, ElementKind::Int64);
};
constexpr auto float64_array = [](PyObject* object, const char* parameter) {
  return accept_array(object, parameter, ElementKind::Float64);
};

constexpr ParameterTable kTaskNew{
    "Task",
    "__new__",
    required("m", &TaskArguments::m, to_u64),
    required("n", &TaskArguments::n, to_u64),
    required("c", &TaskArguments::c, int64_array),
    required("b_ij", &TaskArguments::b_ij, int64_array),
    required("b_total", &TaskArguments::b_total, to_i64),
    required("omega", &TaskArguments::omega, float64_array),
};

// Converts the arguments in parameter order, then makes the task: checks the
// shapes, copies the three arrays and validates the record. The array views
// are released before returning, whatever the outcome.
PyObject* construct_task(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  decltype(kTaskNew)::Slots slots;
  if (!kTaskNew.bind(args, kwargs, slots)) return nullptr;
  TaskArguments arguments;
  if (!kTaskNew.read(slots, arguments)) return nullptr;
  auto& [m, n, c, b_ij, b_total, omega] = arguments;
  // Converting b_total may have run Python code (its __index__) that changed
  // c or b_ij in place: resize(refcheck=False) frees the data a view points
  // into, and a new shape or dtype invalidates the rest. So both are accepted
  // again as they are now; no Python code runs from here to the copies.
  c = int64_array(c->array.get(), "c");
  if (!c) return nullptr;
  b_ij = int64_array(b_ij->array.get(), "b_ij");
  if (!b_ij) return nullptr;

  Result<Task> task = make_task(m, n, c->elements, b_ij->elements, b_total, omega->elements);
  c.reset();
  b_ij.reset();
  omega.reset();
  if (!task) {
    raise_error(task.error());
    return nullptr;
  }
  return make_instance(type, std::move(task).value());
}

PyObject* task_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_guard([&] { return construct_task(type, args, kwargs); });
}

void task_dealloc(PyObject* self) { destroy_instance<Task>(self); }

PyObject* task_validate(PyObject* self, PyObject*) {
  return entry_guard([&]() -> PyObject* {
    auto task = SharedBorrow<Task>::take(self, g_task_type, "Task");
    if (!task) return nullptr;
    const Status status = validate(**task);
    if (!status) {
      raise_error(status.error());
      return nullptr;
    }
    Py_RETURN_TRUE;
  });
}

PyMethodDef g_task_methods[] = {
    {"validate", task_validate, METH_NOARGS, "validate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassDefinition& task_class() {
  static const ClassDefinition definition = {
      "Task", kTaskNew.text_signature(), task_new, task_dealloc, g_task_methods, sizeof(Instance<Task>), &g_task_type,
  };
  return definition;
}

}  // namespace corvane::py
