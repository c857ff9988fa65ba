// The VTK image-data reader on fuzzed files: the XML, its extents, spacing
// and origin, and the point-data arrays (ASCII, inline binary, appended).
#include "volume_input.h"

// Full stacks of every allocation, so that the one leak of VTK's own that
// lsan.supp names is told apart from anything else.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.vti", "");
    return 0;
}
