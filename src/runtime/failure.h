// Internal failures: invariant breaches that abort the current operation.
//
// They are thrown where the breach is found, carried across the worker pool,
// and turned into PanicException by the entry guard at the Python boundary.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace corvane {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void fail(std::string message) { throw InternalFailure(std::move(message)); }

}  // namespace corvane
