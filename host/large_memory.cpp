#include "large_memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vhost {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this an array is left to the ordinary heap: it reuses freed memory,
// and a few faults do not matter.
constexpr std::size_t kLarge = 4 * kHugePage;
}  // namespace

void* allocate_large(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes < kLarge) {
        if (void* p = std::malloc(bytes)) return p;
        throw std::bad_alloc();
    }
    const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, size);
    if (!p) throw std::bad_alloc();
    // Advice only: where the kernel has no huge pages to give, the memory
    // works as it is.
    ::madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void free_large(void* p) noexcept { std::free(p); }

}  // namespace vhost
