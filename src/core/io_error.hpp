// I/O failures of the readers (IoError, IoResult) and the byte span they parse. No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tolv {

// Which Python exception an I/O failure maps to; the binding layer owns that table.
enum class IoErrorKind : int8_t {
  NotFound = 0,
  PermissionDenied = 1,
  ConnectionRefused = 2,
  ConnectionReset = 3,
  ConnectionAborted = 4,
  BrokenPipe = 5,
  AlreadyExists = 6,
  WouldBlock = 7,
  TimedOut = 8,
  Interrupted = 9,
  InvalidInput = 10,
  Other = 11,
};

// The failure of an operating-system file operation: an errno, or a fixed message.
class IoError {
 public:
  static IoError from_errno(int code);
  static IoError with_message(IoErrorKind kind, const char* message);

  IoErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }  // 0 for a fixed-message error
  // "No such file or directory (os error 2)", or the fixed message.
  std::string display() const;

 private:
  IoError(IoErrorKind kind, int os_code, const char* message)
      : kind_(kind), os_code_(os_code), message_(message) {}
  IoErrorKind kind_;
  int os_code_;
  const char* message_;  // static text, or nullptr
};

// A value or the IoError that prevented it.
template <class T>
class IoResult {
 public:
  IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  IoResult(IoError error) : state_(std::in_place_index<1>, error) {}

  explicit operator bool() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const IoError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, IoError> state_;
};

// Read-only view of bytes.
struct ByteSpan {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

}  // namespace tolv
