// Whole-file reads over POSIX open/read/close, and I/O error texts. No Python.h.
#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tolv {
namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EINTR: return IoErrorKind::Interrupted;
    default: return IoErrorKind::Other;
  }
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills buf).
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buf) {
  return result == 0 ? buf : nullptr;
}

// Closes the descriptor on every way out of a read.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

constexpr size_t kMinimumCapacity = 64;
// read(2) moves at most about 2 GiB per call on Linux; stay below SSIZE_MAX on 32-bit.
constexpr size_t kMaxReadChunk = size_t{1} << 30;

// The size hint makes one allocation the common case; growth doubles.
uint8_t* allocate_buffer(size_t capacity) {
  void* memory = std::malloc(capacity);
  if (memory == nullptr) throw std::bad_alloc();
  return static_cast<uint8_t*>(memory);
}

}  // namespace

IoError IoError::from_errno(int code) { return IoError(kind_of_errno(code), code, nullptr); }

IoError IoError::with_message(IoErrorKind kind, const char* message) {
  return IoError(kind, 0, message);
}

std::string IoError::display() const {
  if (message_ != nullptr) return message_;
  return os_error_description(os_code_) + " (os error " + std::to_string(os_code_) + ")";
}

std::string os_error_description(int code) {
  char buf[256];
  buf[0] = '\0';
  const char* text = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(code);
}

void FileBuffer::Free::operator()(uint8_t* p) const { std::free(p); }

IoResult<FileBuffer> read_whole_file(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
    return IoError::with_message(IoErrorKind::InvalidInput,
                                 "file name contained an unexpected NUL byte");
  }
  int raw_fd;
  do {
    raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw_fd < 0 && errno == EINTR);
  if (raw_fd < 0) return IoError::from_errno(errno);
  FdGuard fd(raw_fd);

  // The size is only a hint: the file may grow or shrink while it is read.
  struct stat info;
  size_t capacity = kMinimumCapacity;
  if (::fstat(fd.get(), &info) == 0 && info.st_size > 0 &&
      static_cast<unsigned long long>(info.st_size) < static_cast<size_t>(-1) - 1) {
    capacity = static_cast<size_t>(info.st_size) + 1;  // +1 so end of file shows at once
  }
  FileBuffer buffer;
  buffer.data_.reset(allocate_buffer(capacity));
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      if (capacity > static_cast<size_t>(-1) / 2) throw std::bad_alloc();
      size_t grown = capacity * 2;
      void* moved = std::realloc(buffer.data_.get(), grown);
      if (moved == nullptr) throw std::bad_alloc();
      buffer.data_.release();
      buffer.data_.reset(static_cast<uint8_t*>(moved));
      capacity = grown;
    }
    size_t want = capacity - size < kMaxReadChunk ? capacity - size : kMaxReadChunk;
    ssize_t n = ::read(fd.get(), buffer.data_.get() + size, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  buffer.size_ = size;
  return buffer;
}

}  // namespace tolv
