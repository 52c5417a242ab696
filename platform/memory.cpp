// glibc's allocator raises its own limits for large blocks after the first
// ones are freed, and then keeps them in the heaps, which malloc_trim does
// not shrink from the top for threads other than the first; fixed limits
// keep them out.
#include "platform/memory.h"

#include <malloc.h>

#include <mutex>

namespace platform {

void release_free_memory() {
#if defined(__GLIBC__)
  static std::once_flag limits_set;
  std::call_once(limits_set, [] {
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(LARGE_BLOCK_BYTES));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(LARGE_BLOCK_BYTES));
  });
  malloc_trim(0);
#endif
}

}  // namespace platform
