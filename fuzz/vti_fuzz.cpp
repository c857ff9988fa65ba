// The VTK image-data reader on fuzzed files: the XML, its extents, spacing
// and origin, and the point-data arrays (ASCII, inline binary, appended).
#include "volume_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.vti", "");
    return 0;
}
