// The NEXRAD Level II reader on fuzzed files: volume headers, legacy
// records of message 1, radials of message 31 and their data blocks, bzip2
// blocks, gzip. A reader may refuse a file with a message (an exception);
// a crash, a leak, undefined behaviour or a runaway allocation is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "fuzz_support.h"
#include "polar/polar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = velmora::fuzz::scratch().write("volume.ar2v", data, size);
    // Reflectivity and velocity take different fields of message 1.
    for (const char* field : {"REF", "VEL"}) {
        try {
            velmora::polar::read_nexrad(path, field);
        } catch (const std::exception&) {
        }
    }
    return 0;
}
