#include "lib/errors.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace corvane::py {
namespace {

PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* exception_type_object(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::TypeError:
      return PyExc_TypeError;
    case ErrorKind::ValueError:
      return PyExc_ValueError;
    case ErrorKind::OverflowError:
      return PyExc_OverflowError;
    case ErrorKind::MemoryError:
      return PyExc_MemoryError;
    case ErrorKind::RuntimeError:
      return PyExc_RuntimeError;
    case ErrorKind::Stopped:
      break;
  }
  return PyExc_SystemError;
}

// The message a fetched PanicException carries, if it can be read.
std::string panic_message(PyObject* exception) {
  PyRef text = PyRef::steal(PyObject_Str(exception));
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) return std::string(utf8, size);
  }
  PyErr_Clear();
  return "Unwrapped panic from Python code";
}

// str(exception), or the stand-in the interpreter prints for an exception
// whose str() raises; null, with that error set, when not even the stand-in
// can be made.
PyRef readable_text(PyObject* exception) {
  PyRef text = PyRef::steal(PyObject_Str(exception));
  if (text) return text;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
}

// A PanicException came back from Python code that we called: report it
// with its traceback, then raise a fresh one carrying the same message.
void resume_panic(PyRef exception) {
  const std::string message = panic_message(exception.get());
  std::fputs("--- corvane is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  restore_exception(std::move(exception));
  PyErr_PrintEx(0);
  raise_panic(message);
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("corvane.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to create it is pending instead
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void raise_error(const Error& error) {
  if (error.kind == ErrorKind::Stopped) {
    // A checkpoint stopped the operation with the reason already raised.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "solve stopped without an exception set");
    return;
  }
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(exception_type_object(error.kind), text.get());
}

void raise_api_call_failed() {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  raise_panic("Python API call failed");
}

PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void wrap_conversion_error(const char* parameter) {
  PyRef exception = fetch_exception();
  if (!exception) return;
  PyObject* panic_type = panic_exception_type();
  if (panic_type == nullptr) return;  // creating the type failed; that error is pending
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  if (type == panic_type) {
    resume_panic(std::move(exception));
    return;
  }
  if (type != PyExc_TypeError) {
    restore_exception(std::move(exception));
    return;
  }
  PyRef text = readable_text(exception.get());
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(exception.get())) {
    PyException_SetCause(wrapped.get(), cause);  // steals the new reference
  }
  restore_exception(std::move(wrapped));
}

PyRef type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) return name;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
}

void raise_failure(const std::exception_ptr& failure) noexcept {
  try {
    try {
      std::rethrow_exception(failure);
    } catch (const InternalFailure& caught) {
      raise_panic(caught.message());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, kOutOfMemory);
    } catch (const std::length_error&) {  // a container larger than the address space
      PyErr_SetString(PyExc_MemoryError, kOutOfMemory);
    } catch (const std::exception& caught) {
      raise_panic(caught.what());
    } catch (...) {
      raise_panic(kGenericPanic);
    }
  } catch (...) {
    abort_uncaught_panic();
  }
}

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace corvane::py
