// An allocator whose containers leave new elements of trivial types
// uninitialised, for large buffers that are filled completely before any
// element is read.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace tomio {

template <class T>
class UninitializedAllocator : public std::allocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  // Default construction leaves the element as the memory was; any other
  // construction is the usual one.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace tomio
