// Raising failures as Python exceptions, and the entry guard that every call
// from Python runs under.
#pragma once

#include <cxxabi.h>
#include <exception>
#include <new>
#include <stdexcept>
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

// Runs `work` (which returns a new reference, or null with an exception set)
// with internal failures caught and raised as PanicException. The unwinding
// that ends a thread (pthread_exit, as the interpreter does to threads that
// ask for the lock while it shuts down) passes through; that exception has no
// object, and catching it binds a null reference, which UBSan would report.
template <class Work>
[[gnu::no_sanitize_undefined]] PyObject* entry_guard(Work&& work) {
  try {
    try {
      return work();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const InternalFailure& failure) {
      raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container larger than the address space
      PyErr_NoMemory();
    } catch (const std::exception& failure) {
      raise_panic(failure.what());
    } catch (...) {
      raise_panic(kGenericPanic);
    }
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_uncaught_panic();
  }
}

}  // namespace corvane::py
