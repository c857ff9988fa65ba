// The VTK image-data reader on fuzzed files: the XML, its extents, spacing
// and origin, and the point-data arrays (ASCII, inline binary, appended,
// compressed).
#include <cstring>
#include <vector>

#include "volume_input.h"

// Full stacks of every allocation, so that the one leak of VTK's own that
// lsan.supp names is told apart from anything else.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

// VTK's XML parser allocates a compressed block at the size its header
// claims (up to 4 GB with 32-bit headers) before reading it; the memory is
// never touched when the data are short. Single allocations up to 5 GB are
// let through (libFuzzer's default limit would call each such header an
// out-of-memory finding); the resident memory is still watched.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-malloc_limit_mb=", 17) == 0) return 0;
    static std::vector<char*> args;
    static char limit[] = "-malloc_limit_mb=5120";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, limit);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.vti", "");
    return 0;
}
