// The CF/Radial reader on fuzzed files (classic NetCDF and NetCDF-4): the
// bytes become a file, told apart by polar_format and read for the
// reflectivity and for a field by name. A reader may refuse a file with a
// message (an exception); a crash, a leak or undefined behaviour is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz_support.h"
#include "polar/polar.h"

// As in netcdf_fuzz: the NetCDF library sizes tables from a damaged NetCDF-4
// header and reports "out of memory" when malloc answers null, which it may
// here above 512 MB.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=512"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace polar = velmora::polar;
    const std::string path = velmora::fuzz::scratch().write("volume.nc", data, size);
    (void)polar::polar_format(path);
    for (const char* field : {"", "VEL"}) {
        try {
            (void)polar::read_cfradial(path, field);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
