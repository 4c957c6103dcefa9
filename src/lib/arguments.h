// Binding call arguments to parameters, and converting them.
//
// Every function here returns false / nullopt with a Python exception set
// when it fails.
//
// Where Python code can run during a call of this module, and what is owned
// across it. Any such code may drop the last outside reference to anything,
// or change an array in place, so whatever is used afterwards is held by a
// strong reference for that span:
// - Conversion hooks: __index__, __float__ (and the DeprecationWarning for a
//   subclass result, which may reach a Python warnings filter). The bound
//   arguments are owned by the binder's slots for the whole call, because a
//   hook can empty the caller's keyword dict (gc.get_referrers reaches it).
//   Arrays accepted before a hook are accepted again after it (their data,
//   shape or dtype may have changed); see the Task constructor.
// - str() of an exception while a conversion TypeError is wrapped: the
//   exception is owned, nothing else is read afterwards.
// - Messages never format a caller's object through its own __str__ or
//   __repr__: keyword names are copied as exact str first, type names are
//   read from the type (PyType_GetQualName, no Python code).
// - NumPy's import and attribute look-ups on the first array conversion:
//   the arguments are owned by the slots, nothing else is held.
// - Deallocations: an argument is released only when the slots are, at the
//   end of the call; temporaries released mid-call (an __index__ result, a
//   re-accepted array view) are exact ints or arrays still owned by a slot,
//   whose release runs no Python code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lib/pyref.h"

namespace corvane::py {

// The parameters of one callable, as its ParameterTable gives them: at least
// one, all of which may be passed by position or keyword, the first
// `required` without a default.
struct Signature {
  const char* full_name;  // e.g. "Task.__new__()", used in the messages
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

// Binds a tuple of positional arguments and an optional keyword dict into
// `slots` (one per parameter, each owning its argument; empty for a left-out
// optional parameter).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyRef* slots);

// The same for the vectorcall convention.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyRef* slots);

std::optional<std::uint64_t> to_u64(PyObject* object, const char* parameter);
std::optional<std::int64_t> to_i64(PyObject* object, const char* parameter);
std::optional<double> to_f64(PyObject* object, const char* parameter);

}  // namespace corvane::py
