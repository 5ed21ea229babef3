// Failures are values. Core functions that can fail return Result<T>; the
// binding layer alone turns an Error into a Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace morvelin {

enum class ErrorKind {
  kValue,     // invalid argument value (ValueError)
  kMemory,    // a buffer could not be allocated (MemoryError)
  kInternal,  // a broken invariant; never reached with valid input
};

struct Error {
  ErrorKind kind = ErrorKind::kValue;
  std::string message;
};

inline Error value_error(std::string message) { return {ErrorKind::kValue, std::move(message)}; }

template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}           // NOLINT: implicit by design
  Result(Error error) : state_(std::move(error)) {}       // NOLINT: implicit by design

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(state_); }
  // By value, so that a loop over value() of a temporary Result owns its data.
  T value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace morvelin
