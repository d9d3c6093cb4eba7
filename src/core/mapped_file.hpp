// MappedFile: a whole file's bytes, mapped read-only where the file allows it and read
// into memory otherwise (pipes, character devices). No Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/io_error.hpp"

namespace tolv {

class MappedFile {
 public:
  // The file's bytes, or the IoError of opening, mapping or reading it. A directory
  // gives EISDIR; a path with a NUL byte the file layer's invalid-input error.
  static IoResult<MappedFile> open(const std::string& path);

  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept { swap(other); }
  MappedFile& operator=(MappedFile&& other) noexcept {
    MappedFile(std::move(other)).swap(*this);
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  ByteSpan bytes() const { return ByteSpan{data_, size_}; }

 private:
  void swap(MappedFile& other) noexcept;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;  // munmap, else free
};

}  // namespace tolv
