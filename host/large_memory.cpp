#include "large_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vhost {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below one huge page an array is left to the ordinary heap: it reuses
// freed memory, and a few faults do not matter. From there on rounding up
// to whole huge pages wastes less than it saves (a surface of a few MB
// would take a thousand faults).
constexpr std::size_t kLarge = kHugePage;
// Freed large blocks kept for the next array of about the same size: an analysis
// makes and drops several arrays of one volume's size in turn, and memory
// the process already holds costs nothing to fill again, while fresh memory
// costs a fault per page. At most this many are kept.
constexpr std::size_t kKept = 2;

struct Kept {
    Kept() { blocks.reserve(kKept); }
    std::mutex lock;
    std::unordered_map<void*, std::size_t> sizes;         // of every large block handed out
    std::vector<std::pair<void*, std::size_t>> blocks;   // kept: start, rounded size
};

// Never destroyed: arrays of static objects may be given back after the
// end of main. What it keeps at exit goes with the process.
Kept& kept() {
    static Kept* k = new Kept;
    return *k;
}

std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_large(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes < kLarge) {
        if (void* p = std::malloc(bytes)) return p;
        throw std::bad_alloc();
    }
    const std::size_t size = rounded(bytes);
    {
        Kept& k = kept();
        std::lock_guard guard(k.lock);
        // The smallest kept block that holds the array without wasting more
        // than its own size: arrays derived from a volume come in a few
        // sizes near the volume's (its values, a cropped copy, its cell
        // numbers).
        auto best = k.blocks.end();
        for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it)
            if (it->second >= size && it->second / 2 <= size && (best == k.blocks.end() || it->second < best->second))
                best = it;
        if (best != k.blocks.end()) {
            const auto [p, held] = *best;
            k.blocks.erase(best);
            k.sizes.emplace(p, held);
            return p;
        }
    }
    void* p = std::aligned_alloc(kHugePage, size);
    if (!p) throw std::bad_alloc();
    // Advice only: where the kernel has no huge pages to give, the memory
    // works as it is.
    ::madvise(p, size, MADV_HUGEPAGE);
    try {
        Kept& k = kept();
        std::lock_guard guard(k.lock);
        k.sizes.emplace(p, size);
    } catch (...) {
        std::free(p);
        throw;
    }
    return p;
}

void free_large(void* p) noexcept {
    if (!p) return;
    {
        Kept& k = kept();
        std::lock_guard guard(k.lock);
        if (const auto it = k.sizes.find(p); it != k.sizes.end()) {
            const std::size_t size = it->second;
            k.sizes.erase(it);
            if (k.blocks.size() < kKept) {
                k.blocks.emplace_back(p, size);   // reserved above: never throws
                return;
            }
        }
    }
    std::free(p);
}

std::size_t release_zero_pages(std::byte* p, std::size_t bytes) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t end = (start + bytes) / kHugePage * kHugePage;
    std::size_t given = 0;
    for (std::uintptr_t page = first; page < end; page += kHugePage) {
        const auto* words = reinterpret_cast<const std::uint64_t*>(page);
        if (std::any_of(words, words + kHugePage / sizeof(std::uint64_t), [](std::uint64_t w) { return w != 0; }))
            continue;
        if (::madvise(reinterpret_cast<void*>(page), kHugePage, MADV_DONTNEED) == 0) given += kHugePage;
    }
    return given;
}

void release_kept_large() noexcept {
    std::array<void*, kKept> blocks{};
    {
        Kept& k = kept();
        std::lock_guard guard(k.lock);
        for (std::size_t i = 0; i < k.blocks.size(); ++i) blocks[i] = k.blocks[i].first;
        k.blocks.clear();   // keeps its room: free_large never allocates
    }
    for (void* p : blocks) std::free(p);
}

}  // namespace vhost
