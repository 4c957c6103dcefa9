// Module initialisation: creates the module object once per process and
// registers the three classes in it.

#include <atomic>
#include <cstdint>
#include <string>

#include "lib/errors.h"
#include "lib/types.h"

namespace corvane::py {

PyTypeObject* g_task_type = nullptr;
PyTypeObject* g_ant_colony_type = nullptr;
PyTypeObject* g_probabilistic_type = nullptr;

namespace {

// Single-phase initialisation: the module refuses interpreters other than
// the first one that imported it, and re-imports get the same object.
std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane",  // m_name
    "",         // m_doc: __doc__ is "" rather than None
    0,          // m_size
    nullptr,    // m_methods
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The type object of a class, created on first use. The class docstring is
// the name, the constructor's text signature and the end-of-signature marker.
PyTypeObject* class_type(const ClassDefinition& definition) {
  if (*definition.type_slot != nullptr) return *definition.type_slot;
  // The interpreter keeps its own copy of the docstring.
  const std::string doc = std::string(definition.name) + definition.text_signature + "\n--\n\n";
  const std::string qualified = std::string("builtins.") + definition.name;

  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(definition.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.deallocate)},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_methods, definition.methods},
      {Py_tp_base, &PyBaseObject_Type},
      {0, nullptr},
  };
  PyType_Spec type_spec = {qualified.c_str(), static_cast<int>(definition.basic_size), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  *definition.type_slot = reinterpret_cast<PyTypeObject*>(type);
  return *definition.type_slot;
}

// Adds the class to the module and to its __all__ list.
bool register_class(PyObject* module, const ClassDefinition& definition) {
  PyTypeObject* type = class_type(definition);
  if (type == nullptr) return false;

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString(definition.name));
  if (!name) return false;
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttrString(module, definition.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "corvane does not support being imported in more than one interpreter per process "
                    "(sub-interpreters are not supported)");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create2(&g_module_definition, 1013));
  if (!module) return nullptr;
  for (const ClassDefinition* definition : {&task_class(), &ant_colony_class(), &probabilistic_class()}) {
    if (!register_class(module.get(), *definition)) return nullptr;
  }
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace corvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_corvane() {
  return corvane::py::entry_guard([] { return corvane::py::initialise(); });
}
