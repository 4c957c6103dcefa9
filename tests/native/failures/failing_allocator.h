// The global operator new and delete of the allocation-failure tests,
// replaced (failing_allocator.cpp) to count what is allocated and to fail the
// k-th allocation of a window, on whatever thread it is made.
#pragma once

#include <cstdint>

namespace corvane::testing {

// From now on, allocation number k (1, 2, ... from this call) fails:
// operator new throws std::bad_alloc, its nothrow forms return null. k = 0
// counts without failing.
void fail_allocation(std::uint64_t k);

// Ends the window; returns the allocations asked for in it.
std::uint64_t stop_failing();

// Blocks allocated and not yet freed.
std::int64_t live_blocks();

// Allocations asked for since the program started.
std::uint64_t allocations_made();

}  // namespace corvane::testing
