// FormatError: what a model parser throws for malformed data, with the place. No Python.h.
#pragma once

#include <cstdint>
#include <string>

namespace tolv::model_io {

// The place is a byte offset in a binary file or a 1-based line in a text file; the
// reader adds the file's path. The message says what was found and what was expected,
// without the file or the place ("image 51 declares 5,000 2D points, but 3,112 bytes
// remain"). Not derived from std::exception: only the model reader catches it.
struct FormatError {
  enum class Place : uint8_t { Byte = 0, Line = 1 };
  Place place;
  uint64_t where;  // byte offset (from 0) or line number (from 1)
  std::string message;
};

[[noreturn]] void fail_at_byte(uint64_t offset, std::string message);
[[noreturn]] void fail_at_line(uint64_t line, std::string message);

// 1234567 -> "1,234,567", as the messages write every count and offset.
std::string grouped(uint64_t value);

}  // namespace tolv::model_io
