// FileReader: record data read from a file in chunks, so that a large file is never
// held whole in memory. No Python.h.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/byte_reader.hpp"
#include "core/io_error.hpp"

namespace tolv {

// Opens path read-only (close-on-exec, EINTR retried): the descriptor, or the IoError;
// a path with a NUL byte gives the file layer's invalid-input error.
IoResult<int> open_read_only(const std::string& path);

// Thrown by FileReader when read(2) fails; the reader functions turn it into their
// IoError result.
struct ReadFailure {
  IoError error;
};

class FileReader : public FieldReader<FileReader> {
 public:
  // One read(2) fills at most this much; the window stays cache-sized in the common case.
  static constexpr size_t kDefaultWindowBytes = size_t{1} << 20;

  // read(2) or a stand-in with its contract (tests inject failures through it).
  using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t count);

  // Opens path read-only; the IoError of a failed open, or the reader. Tests pass a
  // tiny window to push every field across window edges.
  static IoResult<std::unique_ptr<FileReader>> open(const std::string& path,
                                                    size_t window_bytes = kDefaultWindowBytes,
                                                    ReadFunction read_function = &::read);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Makes n bytes available at the cursor, reading and growing the buffer as the
  // data arrives (never ahead of it); false once the file ends first.
  bool ensure(size_t n) {
    if (n <= end_ - pos_) return true;
    return fill(n);
  }
  size_t available() const { return end_ - pos_; }
  const uint8_t* cursor() const { return buffer_.get() + pos_; }
  void skip(size_t n) { pos_ += n; }  // only after ensure()
  uint64_t position() const { return base_ + pos_; }
  uint64_t total_size() const { return base_ + end_; }  // once the end has been reached
  // Reads and drops whatever is left up to the end of the file, without growing the
  // buffer or disturbing the data before the cursor; throws ReadFailure.
  void read_to_end();
  // The size the file had when opened (0 when unknown): only for sizing containers.
  uint64_t size_hint() const { return size_hint_; }

 private:
  FileReader(int fd, uint64_t size_hint, size_t window_bytes, ReadFunction read_function);
  bool fill(size_t n);
  // One read(2) into [into, into + want); retries EINTR, throws ReadFailure.
  size_t read_some(uint8_t* into, size_t want);

  struct Free {
    void operator()(uint8_t* p) const;
  };
  int fd_;
  ReadFunction read_function_;
  uint64_t size_hint_;
  size_t window_bytes_;
  std::unique_ptr<uint8_t, Free> buffer_;
  size_t capacity_ = 0;
  size_t pos_ = 0;     // cursor within the buffer
  size_t end_ = 0;     // end of the data read so far within the buffer
  uint64_t base_ = 0;  // file offset of buffer_[0]
  bool at_end_ = false;
};

}  // namespace tolv
