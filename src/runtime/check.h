// Debug checks of the preconditions and invariants that the headers state:
//
//   CORVANE_CHECK(target < total(), "a tree query's target lies below the total");
//
// Compiled in when CORVANE_CHECKS is 1: in the native tests, which link a
// checked copy of the core, and in everything the sanitizer builds compile
// (the CMake option CORVANE_CHECKS). Otherwise the condition is not evaluated
// and the released module pays nothing for it.
//
// A failed check is an internal failure: it throws InternalFailure("check
// failed: WHAT at FILE:LINE"), which aborts the operation like any other
// breach, crosses the worker pool and reaches Python as PanicException. So a
// breach fails the test that found it, with its text, and the rest of a test
// run goes on. A check in a function that must not throw (a destructor, a
// worker's own loop) ends the process instead, with the same text.
#pragma once

#include "runtime/failure.h"

#ifndef CORVANE_CHECKS
#define CORVANE_CHECKS 0
#endif

namespace corvane {

inline constexpr bool kChecksOn = CORVANE_CHECKS != 0;

[[noreturn]] void check_failed(const char* what, const char* file, int line);

}  // namespace corvane

#if CORVANE_CHECKS
#define CORVANE_CHECK(condition, what) \
  (static_cast<bool>(condition) ? static_cast<void>(0) : ::corvane::check_failed(what, __FILE__, __LINE__))
#else
// Not evaluated, but still compiled: a check cannot rot unseen.
#define CORVANE_CHECK(condition, what) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
