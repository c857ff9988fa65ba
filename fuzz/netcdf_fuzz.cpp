// The NetCDF reader on fuzzed files: classic, 64-bit offset and NetCDF-4
// (HDF5) headers, chunk layouts and compressed chunks.
#include "volume_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.nc", "DT");
    return 0;
}
