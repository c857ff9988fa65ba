// Memory for large arrays (radar volumes of tens of millions of values, and
// what is derived from them) on transparent huge pages where the kernel
// offers them. The first touch of fresh memory costs a page fault per page:
// with 2 MB pages instead of 4 KB ones a 100 MB array takes 50 faults
// instead of 25,000, and on virtual machines those faults are most of the
// time spent filling a fresh array.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace vhost {

// At least bytes of memory (null when bytes is 0), given back with
// free_large; throws std::bad_alloc when there is none.
void* allocate_large(std::size_t bytes);
void free_large(void* p) noexcept;
// Gives the freed blocks kept for reuse back to the system: a process that
// lives on between runs (velmora view) holds only what its data needs.
void release_kept_large() noexcept;
// Gives back the whole huge pages of [p, p + bytes) that hold only zeros;
// they read as zeros again and take memory at their next write. For memory
// of allocate_large or the heap only (private to the process). The bytes
// given back.
std::size_t release_zero_pages(std::byte* p, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { free_large(p); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace vhost
