// Raising failures as Python exceptions, and the entry guard that every call
// from Python runs under.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string>

#include "lib/pyref.h"
#include "runtime/failure.h"
#include "runtime/result.h"

namespace corvane::py {

// The PanicException type, created on first use (a borrowed reference, or
// null with an exception set).
PyObject* panic_exception_type();

// Sets PanicException(message) as the current exception.
void raise_panic(const std::string& message);

// Sets the exception described by an error value.
void raise_error(const Error& error);

// The interpreter failed where we cannot do without its result: print its
// pending error and raise PanicException("Python API call failed").
void raise_api_call_failed();

// The current exception, normalised, taken out of the error indicator.
PyRef fetch_exception();
// Makes `exception` the current exception again.
void restore_exception(PyRef exception);

// Applies the conversion rules to the pending exception of a failed argument
// conversion: a PanicException raised by Python code is resumed as a new
// PanicException, an exact TypeError is re-raised with "argument 'NAME': "
// in front, anything else stays as it is.
void wrap_conversion_error(const char* parameter);

// The qualified name of obj's type, or "<failed to extract type name>".
PyRef type_qualname(PyObject* object);

[[noreturn]] void abort_uncaught_panic() noexcept;

inline constexpr const char* kGenericPanic = "native code panicked with no message";
// The message of an allocation failure that nothing nearer to it described
// (a Task construction and a solve each name what they were making).
inline constexpr const char* kOutOfMemory = "not enough memory to complete the call";

// Runs `work` and returns the exception it throws, if any, instead of
// throwing it.
//
// The one exception that is not returned is the unwinding that ends the
// thread: pthread_exit, which the interpreter calls on a thread that asks for
// its lock back while it shuts down, unwinds the C++ stack with
// abi::__forced_unwind. That is no failure to report: it must go on (a
// handler that swallows it aborts the process), and the objects the thread
// holds belong to an interpreter that is going away, so nothing may be
// released on the way. `at_thread_end` runs first, to abandon what the caller
// would otherwise release. The unwinding carries no exception object, and
// binding it in a handler binds a null reference, which UBSan reports: this
// is the one handler that binds it, compiled without UBSan.
template <class Work, class AtThreadEnd>
[[gnu::no_sanitize_undefined]] std::exception_ptr failure_of(Work&& work, AtThreadEnd&& at_thread_end) {
  try {
    work();
  } catch (abi::__forced_unwind&) {
    at_thread_end();
    throw;
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// Raises `failure`, caught from native code: PanicException with its text
// (MemoryError with kOutOfMemory for an allocation that failed). Should that
// fail in turn, the process is aborted.
void raise_failure(const std::exception_ptr& failure) noexcept;

// Runs `work` (which returns a new reference, or null with an exception set)
// with internal failures caught and raised as PanicException.
template <class Work>
PyObject* entry_guard(Work&& work) {
  PyObject* result = nullptr;
  const std::exception_ptr failure = failure_of([&] { result = work(); }, [] {});
  if (failure) raise_failure(failure);
  return result;
}

}  // namespace corvane::py
