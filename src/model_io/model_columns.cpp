// Prefaulting the columns' memory. No Python.h.
#include "model_io/model_columns.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tolv::model_io {

void prefault(void* data, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Only blocks of many pages, which malloc maps fresh: their whole pages.
  constexpr size_t kPage = 4096;
  constexpr size_t kMinimum = size_t{1} << 20;
  if (bytes < kMinimum) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~uintptr_t{kPage - 1};
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~uintptr_t{kPage - 1};
  if (end > start) {
    madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);  // advice only
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace tolv::model_io
