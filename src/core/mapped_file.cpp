// MappedFile: mmap for regular files, a read loop for everything else. No Python.h.
#include "core/mapped_file.hpp"

#include "core/file_reader.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>

namespace tolv {
namespace {

// Closes the descriptor on every way out of open().
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads what is left of fd into a growing heap buffer; false with errno set on failure.
bool read_all(int fd, uint8_t** data, size_t* size) {
  size_t capacity = 0, used = 0;
  uint8_t* buffer = nullptr;
  for (;;) {
    if (used == capacity) {
      const size_t grown = capacity == 0 ? 65536 : capacity * 2;
      if (grown < capacity) {
        std::free(buffer);
        errno = ENOMEM;
        return false;
      }
      auto* bigger = static_cast<uint8_t*>(std::realloc(buffer, grown));
      if (bigger == nullptr) {
        std::free(buffer);
        errno = ENOMEM;
        return false;
      }
      buffer = bigger;
      capacity = grown;
    }
    const ssize_t got = ::read(fd, buffer + used, capacity - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      std::free(buffer);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  *data = buffer;
  *size = used;
  return true;
}

}  // namespace

IoResult<MappedFile> MappedFile::open(const std::string& path) {
  IoResult<int> opened = open_read_only(path);
  if (!opened) return opened.error();
  Descriptor file{opened.value()};
  struct stat info;
  if (::fstat(file.fd, &info) != 0) return IoError::from_errno(errno);
  if (S_ISDIR(info.st_mode)) return IoError::from_errno(EISDIR);

  MappedFile result;
  if (S_ISREG(info.st_mode)) {
    const uint64_t length = static_cast<uint64_t>(info.st_size);
    if (length == 0) return result;
    if (length > static_cast<uint64_t>(static_cast<size_t>(-1) / 2)) {
      return IoError::from_errno(EFBIG);  // larger than this address space can map
    }
    void* address = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE,
                           file.fd, 0);
    if (address != MAP_FAILED) {
      result.data_ = static_cast<const uint8_t*>(address);
      result.size_ = static_cast<size_t>(length);
      result.mapped_ = true;
      return result;
    }
  }
  uint8_t* data = nullptr;
  size_t size = 0;
  if (!read_all(file.fd, &data, &size)) return IoError::from_errno(errno);
  result.data_ = data;
  result.size_ = size;
  return result;
}

MappedFile::~MappedFile() {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(const_cast<uint8_t*>(data_), size_);
  } else {
    std::free(const_cast<uint8_t*>(data_));
  }
}

void MappedFile::swap(MappedFile& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(mapped_, other.mapped_);
}

}  // namespace tolv
