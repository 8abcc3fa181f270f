#pragma once

#include <optional>
#include <string>
#include <utility>

namespace quillbox {

// The outcome of an operation a caller must handle: ok, or a failure with a code that says what
// kind of failure it is and a clear message for people.
class [[nodiscard]] Status {
 public:
  enum class Code {
    ok,
    invalid,          // the caller's input is malformed (a usage error)
    notFound,         // what was named does not exist (a row, a version, an element)
    conflict,         // what was named changed since the caller saw it
    io,               // a store could not be read or written
    unavailable,      // a server could not be reached; the work may succeed later
    busy,             // another process holds what is needed and did not let go in time
    unauthenticated,  // a secret is missing or wrong
  };

  static Status Ok() { return Status(); }
  // A store that could not be read or written: the most common failure.
  static Status Error(std::string message) { return Status(Code::io, std::move(message)); }
  static Status Invalid(std::string message) { return Status(Code::invalid, std::move(message)); }
  static Status NotFound(std::string message) { return Status(Code::notFound, std::move(message)); }
  static Status Conflict(std::string message) { return Status(Code::conflict, std::move(message)); }
  static Status Unavailable(std::string message) { return Status(Code::unavailable, std::move(message)); }
  static Status Busy(std::string message) { return Status(Code::busy, std::move(message)); }
  static Status Unauthenticated(std::string message) {
    return Status(Code::unauthenticated, std::move(message));
  }

  bool ok() const { return code_ == Code::ok; }
  explicit operator bool() const { return ok(); }
  Code code() const { return code_; }
  // The failure's message; "" when ok.
  const std::string& message() const { return message_; }

 private:
  Status() = default;
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = Code::ok;
  std::string message_;
};

// A value, or the Status that explains why there is none.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)), status_(Status::Ok()) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}                 // NOLINT: implicit by design

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace quillbox
