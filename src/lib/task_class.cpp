// The Task class: construction from NumPy arrays, and validate().

#include "lib/arguments.h"
#include "lib/errors.h"
#include "lib/instance.h"
#include "lib/types.h"
#include "surface/numpy_array.h"
#include "surface/task.h"

namespace corvane::py {
namespace {

constexpr const char* kTaskParameters[] = {"m", "n", "c", "b_ij", "b_total", "omega"};
constexpr Signature kTaskSignature = {"Task.__new__()", kTaskParameters, 6, 6};

Shape shape_of(const ArrayView& view) { return Shape{view.rows, view.cols}; }

// Converts the arguments in parameter order, checks the shapes, copies the
// three arrays and validates the record. The array views are released before
// returning, whatever the outcome.
PyObject* construct_task(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[6];
  if (!bind_arguments(kTaskSignature, args, kwargs, slots)) return nullptr;

  const auto m = to_u64(slots[0].get(), "m");
  if (!m) return nullptr;
  const auto n = to_u64(slots[1].get(), "n");
  if (!n) return nullptr;
  auto c = accept_array(slots[2].get(), "c", ElementKind::Int64);
  if (!c) return nullptr;
  auto b_ij = accept_array(slots[3].get(), "b_ij", ElementKind::Int64);
  if (!b_ij) return nullptr;
  const auto b_total = to_i64(slots[4].get(), "b_total");
  if (!b_total) return nullptr;
  auto omega = accept_array(slots[5].get(), "omega", ElementKind::Float64);
  if (!omega) return nullptr;
  // Converting b_total may have run Python code (its __index__) that changed
  // c or b_ij in place: resize(refcheck=False) frees the data a view points
  // into, and a new shape or dtype invalidates the rest. So both are accepted
  // again as they are now; no Python code runs from here to the copies.
  c = accept_array(c->array.get(), "c", ElementKind::Int64);
  if (!c) return nullptr;
  b_ij = accept_array(b_ij->array.get(), "b_ij", ElementKind::Int64);
  if (!b_ij) return nullptr;

  // Shapes first: a broadcast view of the wrong shape may describe more
  // elements than memory can hold, and is refused without copying it.
  if (const Status shapes = validate_shapes(*m, *n, shape_of(*c), shape_of(*b_ij), shape_of(*omega)); !shapes) {
    raise_error(shapes.error());
    return nullptr;
  }
  Task task;
  task.m = *m;
  task.n = *n;
  task.c = copy_int_matrix(*c);
  task.b_ij = copy_int_matrix(*b_ij);
  task.b_total = *b_total;
  task.omega = copy_float_matrix(*omega);
  const Status status = validate(task);
  c.reset();
  b_ij.reset();
  omega.reset();
  if (!status) {
    raise_error(status.error());
    return nullptr;
  }
  return make_instance(type, std::move(task));
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
      "Task", "(m, n, c, b_ij, b_total, omega)", task_new, task_dealloc, g_task_methods, sizeof(Instance<Task>),
      &g_task_type,
  };
  return definition;
}

}  // namespace corvane::py
