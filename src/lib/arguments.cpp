#include "lib/arguments.h"

#include <string>

#include "lib/errors.h"

namespace corvane::py {
namespace {

// Every callable takes at least one parameter, so more than that many
// arguments are always two or more: "were given".
bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given", sig.full_name, sig.count,
                 given);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd were given", sig.full_name,
                 sig.required, sig.count, given);
  }
  return false;
}

bool unexpected_keyword(const Signature& sig, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.full_name);
    return false;
  }
  // An exact copy of the characters: a str subclass's own __str__ neither
  // shows in the message nor runs.
  PyRef name = PyRef::steal(PyUnicode_FromObject(keyword));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, name.get());
  return false;
}

// Places one keyword argument, or fails with the unexpected or given-twice message.
bool bind_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyRef* slots) {
  for (std::size_t k = 0; k < sig.count; ++k) {
    if (!PyUnicode_Check(keyword) || PyUnicode_CompareWithASCIIString(keyword, sig.names[k]) != 0) continue;
    if (slots[k]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, sig.names[k]);
      return false;
    }
    slots[k] = PyRef::borrow(value);
    return true;
  }
  return unexpected_keyword(sig, keyword);
}

// Lists the required parameters without a value: 'a', 'a' and 'b', or 'a', 'b', and 'c'.
bool check_required(const Signature& sig, const PyRef* slots) {
  std::size_t missing[16];
  std::size_t count = 0;
  for (std::size_t k = 0; k < sig.required; ++k) {
    if (!slots[k]) missing[count++] = k;
  }
  if (count == 0) return true;
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    list += '\'';
    list += sig.names[missing[i]];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name, count,
               count == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t given, PyRef* slots) {
  for (std::size_t k = 0; k < sig.count; ++k) slots[k] = PyRef();
  if (given > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, given);
  for (Py_ssize_t k = 0; k < given; ++k) slots[k] = PyRef::borrow(args[k]);
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyRef* slots) {
  if (!bind_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!bind_keyword(sig, keyword, value, slots)) return false;
    }
  }
  return check_required(sig, slots);
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyRef* slots) {
  const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
  if (!bind_positional(sig, args, given, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[given + k], slots)) return false;
    }
  }
  return check_required(sig, slots);
}

std::optional<std::uint64_t> to_u64(PyObject* object, const char* parameter) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
      wrap_conversion_error(parameter);
      return std::nullopt;
    }
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_conversion_error(parameter);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> to_i64(PyObject* object, const char* parameter) {
  static_assert(sizeof(long) == sizeof(std::int64_t), "C long must be 64 bits wide");
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    wrap_conversion_error(parameter);
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

std::optional<double> to_f64(PyObject* object, const char* parameter) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    wrap_conversion_error(parameter);
    return std::nullopt;
  }
  return value;
}

}  // namespace corvane::py
