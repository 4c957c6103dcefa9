// Storage that starts and ends on the boundaries of a pair of cache lines.
//
// A thread's working state (the sets and trees a construction updates at
// every step) is small on small tasks: allocated plainly, two threads' blocks
// can share a cache line, which then moves between cores at every write.
// Keeping them a line apart is not enough either: the second-level cache
// fetches lines in aligned pairs, so two threads writing the two lines of a
// pair still pull it back and forth (a 10 x 10 ant colony solve on two
// threads ran 15-20% slower for it).
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace corvane {

inline constexpr std::size_t kCacheLine = 64;
// The span within which writes of one thread slow down another's.
inline constexpr std::size_t kSharingRange = 128;

template <class T>
struct CacheAlignedAllocator {
  using value_type = T;

  CacheAlignedAllocator() noexcept = default;
  template <class U>
  CacheAlignedAllocator(const CacheAlignedAllocator<U>&) noexcept {}  // NOLINT: rebinding

  static std::size_t bytes(std::size_t n) noexcept {
    return (n * sizeof(T) + kSharingRange - 1) / kSharingRange * kSharingRange;
  }
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(bytes(n), std::align_val_t{kSharingRange})); }
  void deallocate(T* p, std::size_t n) noexcept { ::operator delete(p, bytes(n), std::align_val_t{kSharingRange}); }

  template <class U>
  bool operator==(const CacheAlignedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using CacheAlignedVector = std::vector<T, CacheAlignedAllocator<T>>;

}  // namespace corvane
