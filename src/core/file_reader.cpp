// FileReader: chunked reads with a buffer that keeps the unread tail. No Python.h.
#include "core/file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tolv {
namespace {

constexpr size_t kMinimumCapacity = 4096;

}  // namespace

void FileReader::Free::operator()(uint8_t* p) const { std::free(p); }

IoResult<int> open_read_only(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return IoError::with_message(IoErrorKind::InvalidInput,
                                 "file name contained an unexpected NUL byte");
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return fd;
}

IoResult<std::unique_ptr<FileReader>> FileReader::open(const std::string& path,
                                                      size_t window_bytes,
                                                      ReadFunction read_function) {
  IoResult<int> opened = open_read_only(path);
  if (!opened) return opened.error();
  const int fd = opened.value();
  struct stat info;
  uint64_t size_hint = 0;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) size_hint = static_cast<uint64_t>(info.st_size);
  try {
    return std::unique_ptr<FileReader>(new FileReader(fd, size_hint, window_bytes, read_function));
  } catch (...) {
    ::close(fd);
    throw;
  }
}

FileReader::FileReader(int fd, uint64_t size_hint, size_t window_bytes,
                       ReadFunction read_function)
    : fd_(fd),
      read_function_(read_function),
      size_hint_(size_hint),
      window_bytes_(window_bytes > 0 ? window_bytes : 1) {
  // Small files get a buffer of their own size; large ones are read a window at a time.
  capacity_ = size_hint + 1 < window_bytes_ ? static_cast<size_t>(size_hint) + 1 : window_bytes_;
  if (capacity_ < kMinimumCapacity && window_bytes_ >= kMinimumCapacity) {
    capacity_ = kMinimumCapacity;
  }
  buffer_.reset(static_cast<uint8_t*>(std::malloc(capacity_)));
  if (!buffer_) throw std::bad_alloc();
}

FileReader::~FileReader() { ::close(fd_); }

bool FileReader::fill(size_t n) {
  if (pos_ > 0) {  // keeps the unread tail at the front
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    base_ += pos_;
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < n && !at_end_) {
    if (end_ == capacity_) {
      // Grows only as data actually arrives, so a forged count cannot size it.
      if (capacity_ > static_cast<size_t>(-1) / 2) throw std::bad_alloc();
      void* grown = std::realloc(buffer_.get(), capacity_ * 2);
      if (grown == nullptr) throw std::bad_alloc();
      buffer_.release();
      buffer_.reset(static_cast<uint8_t*>(grown));
      capacity_ *= 2;
    }
    const size_t room = capacity_ - end_;
    end_ += read_some(buffer_.get() + end_, room < window_bytes_ ? room : window_bytes_);
  }
  return end_ >= n;
}

size_t FileReader::read_some(uint8_t* into, size_t want) {
  for (;;) {
    const ssize_t got = read_function_(fd_, into, want);
    if (got > 0) return static_cast<size_t>(got);
    if (got == 0) {
      at_end_ = true;
      return 0;
    }
    if (errno != EINTR) throw ReadFailure{IoError::from_errno(errno)};
  }
}

void FileReader::read_to_end() {
  // The bytes go to the buffer's spare room past the data, or to a small block when
  // there is little room; either way they are dropped.
  uint8_t block[4096];
  while (!at_end_) {
    const size_t room = capacity_ - end_;
    uint8_t* into = room >= sizeof block ? buffer_.get() + end_ : block;
    const size_t space = room >= sizeof block ? room : sizeof block;
    read_some(into, space < window_bytes_ ? space : window_bytes_);
  }
}

}  // namespace tolv
