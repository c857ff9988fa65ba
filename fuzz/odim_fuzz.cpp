// The ODIM HDF5 reader on fuzzed files: the bytes become a file, told apart
// by polar_format and read for its reflectivity and for another quantity.
// A reader may refuse a file with a message (an exception); a crash, a leak
// or undefined behaviour is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz_support.h"
#include "polar/polar.h"

// HDF5 sizes some buffers from a damaged file's headers before it finds them
// damaged and takes a null answer from malloc as a failure to report: malloc
// answers null above 512 MB here, as it may anywhere, instead of libFuzzer
// calling each such header an out-of-memory finding.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=512"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace polar = velmora::polar;
    const std::string path = velmora::fuzz::scratch().write("volume.h5", data, size);
    (void)polar::polar_format(path);
    for (const char* field : {"", "VRADH"}) {
        try {
            (void)polar::read_odim(path, field);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
