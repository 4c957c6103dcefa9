// Expected failures travel as values: an exception kind and one message.
// Only the call boundary turns them into Python exceptions.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace corvane {

// Stopped: a checkpoint of the caller's ended the operation; the caller
// knows why (at the Python boundary, the exception a signal handler raised).
enum class ErrorKind { TypeError, ValueError, OverflowError, MemoryError, RuntimeError, Stopped };

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success carries nothing.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace corvane
