// The NetCDF reader on fuzzed files: classic, 64-bit offset and NetCDF-4
// (HDF5) headers, chunk layouts and compressed chunks.
#include "volume_input.h"

// The NetCDF library sizes its tables from a file's header before it finds
// the file damaged, asking malloc for up to tens of GB, and takes a null
// answer as "out of memory". Here malloc answers null above 512 MB, as it
// may anywhere, instead of libFuzzer calling each such header an
// out-of-memory finding; operator new in velmora's own code still may not
// fail.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=512"; }

namespace {

// A classic header ("CDF" 1, 2 or 5) that announces more dimensions than
// any radar file has: the NetCDF library takes minutes over such a header
// (seeking dimension by dimension) before it refuses it; not velmora's
// code, and too slow for a fuzzer.
bool too_many_dimensions(const std::uint8_t* d, std::size_t n) {
    if (n < 4 || d[0] != 'C' || d[1] != 'D' || d[2] != 'F') return false;
    auto be32 = [&](std::size_t at) {
        return at + 4 > n ? 0u : (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) | d[at + 3];
    };
    const std::size_t count_at = d[3] == 5 ? 20 : 12;   // after magic, numrecs and the list tag
    const std::uint32_t count = be32(count_at) | (d[3] == 5 ? be32(count_at - 4) : 0u);
    return count > 1024;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (too_many_dimensions(data, size)) return 0;
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.nc", "DT");
    return 0;
}
