// An allocator whose value-initialisation is default-initialisation. No Python.h.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tolv {

// resize() on a vector with this allocator leaves trivial elements uninitialised, so
// a buffer that is filled right after sizing is written once, not twice.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    std::allocator_traits<std::allocator<T>>::construct(static_cast<std::allocator<T>&>(*this), p,
                                                        std::forward<Args>(args)...);
  }
};

template <class T>
using FilledVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace tolv
