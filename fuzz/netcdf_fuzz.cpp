// The NetCDF reader on fuzzed files: classic, 64-bit offset and NetCDF-4
// (HDF5) headers, chunk layouts and compressed chunks. Damaged classic
// headers meet the reader's own check (classic_header.h) first.
#include "volume_input.h"

// The NetCDF library sizes its tables from a file's header before it finds
// the file damaged, asking malloc for up to tens of GB, and takes a null
// answer as "out of memory". Here malloc answers null above 512 MB, as it
// may anywhere, instead of libFuzzer calling each such header an
// out-of-memory finding; operator new in velmora's own code still may not
// fail.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=512"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.nc", "DT");
    return 0;
}
