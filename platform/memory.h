// The process's heap and the system.
//
// Safe from any thread; never throws.
#pragma once

#include <cstddef>

namespace platform {

// Blocks at least this large get pages of their own, handed back as soon as
// they are freed.
constexpr std::size_t LARGE_BLOCK_BYTES = 256 * 1024;

// Hands the heap's free pages back to the system, and from the first call on
// keeps large blocks (LARGE_BLOCK_BYTES) out of the heap. Memory freed after
// a large build (the rule lists of a reload) otherwise stays with the heap
// of the thread that built it, and the process keeps its peak size for good.
// Call it before a large build and after freeing one.
void release_free_memory();

}  // namespace platform
