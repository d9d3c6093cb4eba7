// Forward cursors over record data with a bounds check per field: ByteReader over bytes
// in memory, FileReader (file_reader.hpp) over a file read in chunks. No Python.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/io_error.hpp"

namespace tolv {

// Aborts with "range end index <end> out of range for slice of length <size>".
[[noreturn]] void throw_range_error(uint64_t end, uint64_t size);
// Aborts with "index out of bounds: the len is <size> but the index is <index>".
[[noreturn]] void throw_index_error(uint64_t index, uint64_t size);

// Little-endian loads through memcpy: fields sit at any byte offset.
template <class T>
inline T load_le(const uint8_t* p) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8, "field width");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
#else
  uint64_t bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= uint64_t{p[i]} << (8 * i);
  if constexpr (sizeof(T) == 8) {
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  } else if constexpr (sizeof(T) == 4) {
    uint32_t narrow = static_cast<uint32_t>(bits);
    T value;
    std::memcpy(&value, &narrow, sizeof value);
    return value;
  } else {
    return static_cast<T>(bits);
  }
#endif
}

// The field-level operations, shared by both readers. Source provides:
//   bool ensure(size_t n)     -- n bytes available at the cursor, or false at the end
//   size_t available() const  -- bytes available at the cursor
//   const uint8_t* cursor() const, void skip(size_t n), uint64_t position() const
//   uint64_t total_size() const -- the data's length; known once ensure() has failed
// Messages use absolute offsets and the data's whole length, whichever reader is used.
template <class Source>
class FieldReader {
 public:
  // Checks that width bytes are there, in a form that cannot overflow.
  void require(size_t width) {
    if (!self().ensure(width)) throw_range_error(self().position() + width, self().total_size());
  }

  // Checked reads bound-check each field. A caller that has made a whole run of fixed
  // fields available with ensure() may read them unchecked.
  template <class T, bool kChecked = true>
  T read() {
    if constexpr (kChecked) require(sizeof(T));
    T value = load_le<T>(self().cursor());
    self().skip(sizeof(T));
    return value;
  }

  // Makes count records of record_width bytes available, each made of fields of
  // field_width bytes. When they are not all there, the message names the end of the
  // first field that is cut off, as reading the fields one by one would.
  void require_records(uint64_t count, size_t record_width, size_t field_width) {
    const uint64_t limit = static_cast<size_t>(-1) / record_width;
    if (count <= limit && self().ensure(static_cast<size_t>(count) * record_width)) return;
    while (self().ensure(self().available() + 1)) {
    }  // to the end of the data: only whole fields up to there fit
    const uint64_t whole_fields = self().available() / field_width;
    throw_range_error(self().position() + (whole_fields + 1) * field_width, self().total_size());
  }

  // Reads bytes up to the next 0 byte and steps past it; the text excludes the 0.
  std::string read_nul_terminated() {
    size_t scanned = 0;
    for (;;) {
      const size_t available = self().available();
      const uint8_t* start = self().cursor();
      const void* nul =
          scanned < available ? std::memchr(start + scanned, 0, available - scanned) : nullptr;
      if (nul != nullptr) {
        const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - start);
        std::string text(reinterpret_cast<const char*>(start), length);
        self().skip(length + 1);
        return text;
      }
      scanned = available;
      if (!self().ensure(available + 1)) {
        throw_index_error(self().total_size(), self().total_size());
      }
    }
  }

 private:
  Source& self() { return static_cast<Source&>(*this); }
};

// Record data already in memory.
class ByteReader : public FieldReader<ByteReader> {
 public:
  explicit ByteReader(ByteSpan bytes) : data_(bytes.data), size_(bytes.size) {}

  bool ensure(size_t n) const { return n <= size_ - pos_; }
  size_t available() const { return size_ - pos_; }
  const uint8_t* cursor() const { return data_ + pos_; }
  void skip(size_t n) { pos_ += n; }  // only after ensure()
  uint64_t position() const { return pos_; }
  uint64_t total_size() const { return size_; }
  uint64_t size_hint() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace tolv
