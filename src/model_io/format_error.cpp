// Throwing FormatError and writing numbers in its messages. No Python.h.
#include "model_io/format_error.hpp"

#include <utility>

namespace tolv::model_io {

void fail_at_byte(uint64_t offset, std::string message) {
  throw FormatError{FormatError::Place::Byte, offset, std::move(message)};
}

void fail_at_line(uint64_t line, std::string message) {
  throw FormatError{FormatError::Place::Line, line, std::move(message)};
}

std::string grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace tolv::model_io
