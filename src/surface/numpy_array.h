// NumPy arrays in and out: accepting a 2-D array argument as a read-only
// view of its elements, and making the int64 result.
// NumPy's C API is located on the first call that needs it.
#pragma once

#include <cstddef>
#include <optional>

#include "lib/pyref.h"
#include "runtime/matrix.h"
#include "surface/strided_array.h"

namespace corvane::py {

enum class ElementKind { Int64, Float64 };

// A view of a caller's 2-D array, held only while a Task is being built.
struct ArrayView {
  PyRef array;            // keeps the caller's array alive while it is read
  StridedArray elements;  // its data, shape and strides
};

// Accepts `object` as a 2-D array of the wanted element kind. On failure sets
// TypeError "argument 'NAME': 'X' object cannot be converted to
// 'PyArray<T, D>'" (or PanicException when NumPy cannot be located) and
// returns nullopt.
std::optional<ArrayView> accept_array(PyObject* object, const char* parameter, ElementKind kind);

// A new, writeable int64 array owning a copy of `matrix`; null with
// PanicException set when NumPy cannot make it.
PyObject* new_int_array(const IntMatrix& matrix);

}  // namespace corvane::py
