// Binding call arguments to parameters, and converting them.
//
// Every function here returns false / nullopt with a Python exception set
// when it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lib/pyref.h"

namespace corvane::py {

// The parameters of one callable. All may be passed by position or keyword;
// the first `required` have no default.
struct Signature {
  const char* full_name;  // e.g. "Task.__new__()", used in the messages
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

// Binds a tuple of positional arguments and an optional keyword dict into
// `slots` (borrowed references; null for a left-out optional parameter).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// The same for the vectorcall convention.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots);

std::optional<std::uint64_t> to_u64(PyObject* object, const char* parameter);
std::optional<std::int64_t> to_i64(PyObject* object, const char* parameter);
std::optional<double> to_f64(PyObject* object, const char* parameter);

}  // namespace corvane::py
