#include "surface/numpy_array.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "lib/errors.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_numpy_api
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

namespace corvane::py {
namespace {

constexpr std::ptrdiff_t kElementSize = 8;  // int64 and float64 alike
static_assert(sizeof(npy_long) == 8 && sizeof(double) == 8);

// "TypeName: message" of the pending exception, which is cleared.
std::string describe_pending_error() {
  PyRef exception = fetch_exception();
  if (!exception) return "unknown error";
  std::string text;
  PyRef name = type_qualname(exception.get());
  if (name) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) text = utf8;
  }
  PyRef message = PyRef::steal(PyObject_Str(exception.get()));
  if (message) {
    if (const char* utf8 = PyUnicode_AsUTF8(message.get())) {
      text += ": ";
      text += utf8;
    }
  }
  PyErr_Clear();
  return text;
}

PyRef import_attribute(const char* module_name, const char* attribute) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return module;
  return PyRef::steal(PyObject_GetAttrString(module.get(), attribute));
}

// Finds NumPy's C API table: numpy's major version picks the core module
// ("numpy._core" from 2 on, "numpy.core" before), whose "_ARRAY_API" capsule
// holds the table. Sets a Python exception and returns false on failure.
bool find_api_table() {
  PyRef version = import_attribute("numpy", "__version__");
  if (!version) return false;
  PyRef numpy_version = import_attribute("numpy.lib", "NumpyVersion");
  if (!numpy_version) return false;
  PyRef parsed = PyRef::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
  if (!parsed) return false;
  PyRef major_object = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_object) return false;
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred()) return false;
  if (major < 0 || major > 255) {
    PyErr_SetString(PyExc_OverflowError, "NumPy's major version does not fit in 8 bits");
    return false;
  }
  static const char* core_module = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef capsule = import_attribute(core_module, "_ARRAY_API");
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyRef name = type_qualname(capsule.get());
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyCapsule'", name.get());
    return false;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
  if (table == nullptr) return false;
  corvane_numpy_api = static_cast<void**>(table);
  return true;
}

// Locates the API once per process; raises PanicException when it cannot.
bool ensure_numpy() {
  if (corvane_numpy_api != nullptr) return true;
  if (find_api_table()) return true;
  raise_panic("Failed to access NumPy array API capsule: " + describe_pending_error());
  return false;
}

bool refuse_array(PyObject* object, const char* parameter) {
  PyRef name = type_qualname(object);
  if (name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyArray<T, D>'", parameter,
                 name.get());
  }
  return false;
}

}  // namespace

std::optional<ArrayView> accept_array(PyObject* object, const char* parameter, ElementKind kind) {
  if (!ensure_numpy()) return std::nullopt;
  PyTypeObject* array_type = &PyArray_Type;
  if (Py_TYPE(object) != array_type && !PyType_IsSubtype(Py_TYPE(object), array_type)) {
    refuse_array(object, parameter);
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 2) {
    refuse_array(object, parameter);
    return std::nullopt;
  }
  PyArray_Descr* wanted = PyArray_DescrFromType(kind == ElementKind::Int64 ? NPY_LONG : NPY_DOUBLE);
  if (wanted == nullptr) {
    raise_api_call_failed();
    return std::nullopt;
  }
  PyArray_Descr* actual = PyArray_DESCR(array);
  const bool same = actual == wanted || PyArray_EquivTypes(actual, wanted);
  Py_DECREF(wanted);
  if (!same) {
    refuse_array(object, parameter);
    return std::nullopt;
  }

  ArrayView view;
  view.array = PyRef::borrow(object);
  view.elements.origin = static_cast<const char*>(PyArray_DATA(array));
  view.elements.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  view.elements.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  view.elements.row_stride = PyArray_STRIDE(array, 0);
  view.elements.col_stride = PyArray_STRIDE(array, 1);
  return view;
}

PyObject* new_int_array(const IntMatrix& matrix) {
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
  const bool block = matrix.is_row_major() || matrix.is_column_major();
  npy_intp strides[2] = {matrix.row_stride() * kElementSize, matrix.col_stride() * kElementSize};
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_LONG);
  if (descr == nullptr) {
    raise_api_call_failed();
    return nullptr;
  }
  // The descriptor reference passes to the new array, also on failure.
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, block ? strides : nullptr, nullptr, 0, nullptr);
  if (array == nullptr) {
    raise_api_call_failed();
    return nullptr;
  }
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  if (block) {
    if (matrix.size() != 0) std::memcpy(out, matrix.storage(), matrix.size() * sizeof(std::int64_t));
  } else {
    std::size_t k = 0;
    for (std::size_t i = 0; i < matrix.rows(); ++i) {
      for (std::size_t j = 0; j < matrix.cols(); ++j) out[k++] = matrix(i, j);
    }
  }
  return array;
}

}  // namespace corvane::py
