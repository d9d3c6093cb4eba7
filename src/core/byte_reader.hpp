// ByteReader: a forward cursor over a whole-file buffer with a bounds check per field. No Python.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/file_io.hpp"

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

class ByteReader {
 public:
  explicit ByteReader(ByteSpan bytes) : data_(bytes.data), size_(bytes.size) {}

  size_t position() const { return pos_; }
  size_t size() const { return size_; }
  size_t remaining() const { return size_ - pos_; }
  const uint8_t* cursor() const { return data_ + pos_; }
  void seek(size_t pos) { pos_ = pos; }

  // Checks that width bytes fit, in a form that cannot overflow.
  void require(size_t width) const {
    if (width > size_ - pos_) throw_range_error(uint64_t{pos_} + width, size_);
  }

  // Checked reads bound-check each field. A caller that has already checked a whole
  // run of fixed fields with require() may read them unchecked.
  template <class T, bool kChecked = true>
  T read() {
    if constexpr (kChecked) require(sizeof(T));
    T value = load_le<T>(data_ + pos_);
    pos_ += sizeof(T);
    return value;
  }
  uint8_t read_u8() { return read<uint8_t>(); }
  uint32_t read_u32() { return read<uint32_t>(); }
  int32_t read_i32() { return read<int32_t>(); }
  uint64_t read_u64() { return read<uint64_t>(); }
  double read_f64() { return read<double>(); }

  // Checks that count records of record_width bytes fit, each made of fields of
  // field_width bytes. When they do not, the message names the end of the first
  // field that is cut off, as reading the fields one by one would.
  void require_records(uint64_t count, size_t record_width, size_t field_width) const {
    size_t left = size_ - pos_;
    if (count <= left / record_width) return;
    uint64_t whole_fields = left / field_width;
    throw_range_error(uint64_t{pos_} + (whole_fields + 1) * field_width, size_);
  }

  // Reads bytes up to the next 0 byte and steps past it; the text excludes the 0.
  std::string read_nul_terminated() {
    const void* end = pos_ < size_ ? std::memchr(data_ + pos_, 0, size_ - pos_) : nullptr;
    if (end == nullptr) throw_index_error(size_, size_);
    size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data_ + pos_));
    std::string text(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length + 1;
    return text;
  }

  void skip(size_t width) { pos_ += width; }  // only after require()

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace tolv
