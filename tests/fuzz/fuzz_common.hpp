// Shared by the reader fuzz targets: a plain field-by-field reference reader, record
// encoders and the check that the parser agrees with the reference.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "core/abort.hpp"
#include "core/io_error.hpp"
#include "core/line_writer.hpp"

namespace fuzz {

// Reads each field with its own bounds check and keeps the first failure message;
// once failed, every further read yields 0.
struct PlainReader {
  PlainReader(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  std::string failure;

  bool ok() const { return failure.empty(); }

  uint64_t take(size_t width) {
    if (!ok()) return 0;
    if (pos + width > size) {
      failure = "range end index " + std::to_string(pos + width) +
                " out of range for slice of length " + std::to_string(size);
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t{data[pos + i]} << (8 * i);
    pos += width;
    return value;
  }

  // Steps over a 0-terminated name.
  void skip_name() {
    while (ok()) {
      if (pos >= size) {
        failure = "index out of bounds: the len is " + std::to_string(size) +
                  " but the index is " + std::to_string(pos);
      } else if (data[pos++] == 0) {
        return;
      }
    }
  }

  std::string bytes_since(size_t start) const {
    return std::string(reinterpret_cast<const char*>(data) + start, pos - start);
  }
};

inline void put(std::string& out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out += static_cast<char>(value >> (8 * i));
}

inline void put_f64(std::string& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  put(out, bits, 8);
}

[[noreturn]] inline void mismatch(const char* what, const std::string& actual,
                                  const std::string& expected) {
  std::fprintf(stderr, "%s differs:\n  parser:    %s\n  reference: %s\n", what, actual.c_str(),
               expected.c_str());
  std::abort();
}

// The message of the Abort that run throws, or "" when it returns.
template <class Run>
std::string abort_message(Run run) {
  try {
    run();
  } catch (const tolv::Abort& abort) {
    return abort.message;
  }
  return "";
}

// records: id -> the raw bytes of the last record with that id, as the reference read
// them; encode re-encodes a parsed record into the same layout.
template <class Map, class Encode>
void check_records(const Map& parsed, const std::map<uint64_t, std::string>& records,
                   Encode encode) {
  if (parsed.size() != records.size()) {
    mismatch("record count", std::to_string(parsed.size()), std::to_string(records.size()));
  }
  for (const auto& entry : parsed) {
    const auto found = records.find(entry.first);
    if (found == records.end()) mismatch("id", std::to_string(entry.first), "absent");
    if (encode(entry.second) != found->second) {
      mismatch("record bytes of id", std::to_string(entry.first), "as read");
    }
  }
}

// Runs parse(bytes, sink) -> map and checks it against the reference reader's outcome:
// the same abort message, or the same records.
template <class Parse, class Encode>
void check_parser(const uint8_t* data, size_t size, const PlainReader& reference,
                  const std::map<uint64_t, std::string>& records, Parse parse, Encode encode) {
  tolv::SilentLineSink sink;
  decltype(parse(tolv::ByteSpan{data, size}, sink)) parsed;
  const std::string failure =
      abort_message([&] { parsed = parse(tolv::ByteSpan{data, size}, sink); });
  if (failure != reference.failure) mismatch("abort message", failure, reference.failure);
  if (failure.empty()) check_records(parsed, records, encode);
}

}  // namespace fuzz
