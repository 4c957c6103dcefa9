// Allocations that fail. A request too large for memory is refused with a
// MemoryError value that says what did not fit; an allocation that fails
// anywhere else in an operation, also on a worker thread of the pool, ends
// the operation with a MemoryError value that says what it was doing.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/result.h"

namespace corvane {

// Bytes, counted in 128 bits so that no product of counts and sizes wraps.
using ByteCount = unsigned __int128;

// "not enough memory for WHAT (BYTES bytes)".
Error not_enough_memory_for(const std::string& what, ByteCount bytes);

// "not enough memory for WHAT (BYTES bytes): LIMIT", where LIMIT names the
// limit that the request passes (without ": LIMIT" when it is empty).
Error not_enough_memory_for(const std::string& what, ByteCount bytes, const std::string& limit);

// "not enough memory to WHAT".
Error not_enough_memory_to(const std::string& what);

// "M×N", the size of a grid.
std::string grid_size(std::uint64_t m, std::uint64_t n);

// The machine's memory and swap together (the largest count when unknown).
// Linux lets a process reserve more than that; whatever is reserved beyond it
// cannot all be written, and writing it ends in the out-of-memory killer.
ByteCount memory_and_swap() noexcept;

// Runs `work`, which returns a Result; when an allocation in it fails
// (std::bad_alloc, or std::length_error for a container larger than the
// address space), returns failed() instead, by then with the memory of
// everything `work` had built released.
template <class Work, class Failed>
auto or_memory_error(Work&& work, Failed&& failed) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return failed();
}

}  // namespace corvane
