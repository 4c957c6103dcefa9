// Storage that starts and ends on cache-line boundaries.
//
// A thread's working state (the sets and trees a construction updates at
// every step) is small on small tasks: allocated plainly, two threads' blocks
// can share a cache line, which then moves between cores at every write.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace corvane {

inline constexpr std::size_t kCacheLine = 64;

template <class T>
struct CacheAlignedAllocator {
  using value_type = T;

  CacheAlignedAllocator() noexcept = default;
  template <class U>
  CacheAlignedAllocator(const CacheAlignedAllocator<U>&) noexcept {}  // NOLINT: rebinding

  static std::size_t bytes(std::size_t n) noexcept {
    return (n * sizeof(T) + kCacheLine - 1) / kCacheLine * kCacheLine;
  }
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(bytes(n), std::align_val_t{kCacheLine})); }
  void deallocate(T* p, std::size_t n) noexcept { ::operator delete(p, bytes(n), std::align_val_t{kCacheLine}); }

  template <class U>
  bool operator==(const CacheAlignedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using CacheAlignedVector = std::vector<T, CacheAlignedAllocator<T>>;

}  // namespace corvane
