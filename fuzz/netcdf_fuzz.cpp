// The NetCDF reader on fuzzed files: classic, 64-bit offset and NetCDF-4
// (HDF5) headers, chunk layouts and compressed chunks.
#include <algorithm>

#include "volume_input.h"

// The NetCDF library sizes its tables from a file's header before it finds
// the file damaged, asking malloc for up to tens of GB, and takes a null
// answer as "out of memory". Here malloc answers null above 512 MB, as it
// may anywhere, instead of libFuzzer calling each such header an
// out-of-memory finding; operator new in velmora's own code still may not
// fail.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=512"; }

namespace {

// Classic headers ("CDF" 1, 2 or 5) are parsed by the NetCDF library alone,
// which sizes its tables from the counts in them before it reads what they
// count. A count larger than the whole file makes it ask for gigabytes,
// seek for minutes, or (netcdf-c 4.9, when such an allocation fails) read
// through a null table on its way out. None of that is velmora's code, so
// such headers are not read here: every dimension, attribute, variable,
// name and attribute value takes at least a byte of the header, and so
// can never be counted beyond the file's size.
class ClassicHeader {
public:
    ClassicHeader(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}

    bool plausible() {
        if (n_ < 4 || d_[0] != 'C' || d_[1] != 'D' || d_[2] != 'F') return true;
        wide_ = d_[3] == 5;
        at_ = 4;
        skip(wide_ ? 8 : 4);   // numrecs
        // Dimensions: a name and a length each.
        std::uint64_t n = 0;
        if (!list(n)) return false;
        for (std::uint64_t i = 0; i < n && ok_; ++i) {
            name();
            skip(wide_ ? 8 : 4);
        }
        if (!attributes()) return false;
        // Variables: a name, dimension ids, attributes, type, size, offset.
        if (!list(n)) return false;
        for (std::uint64_t i = 0; i < n && ok_; ++i) {
            name();
            const std::uint64_t ndims = count();
            if (!ok_) return false;
            skip(ndims * (wide_ ? 8 : 4));
            if (!attributes()) return false;
            skip(4 + (wide_ ? 8 : 4) + (d_[3] == 1 ? 4 : 8));
        }
        return ok_ || !too_many_;
    }

private:
    std::uint64_t number(std::size_t bytes) {
        if (at_ + bytes > n_) {
            ok_ = false;   // the library finds the header cut short itself
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | d_[at_ + i];
        at_ += bytes;
        return v;
    }
    std::uint64_t count() {
        const std::uint64_t c = number(wide_ ? 8 : 4);
        if (c > n_) ok_ = false, too_many_ = true;
        return c;
    }
    void skip(std::uint64_t bytes) {
        if (bytes > n_ - std::min(at_, n_)) ok_ = false;
        else at_ += bytes;
    }
    void name() {
        const std::uint64_t len = count();
        skip((len + 3) / 4 * 4);
    }
    // A list's tag and its count (0 for an absent list).
    bool list(std::uint64_t& n) {
        number(4);
        n = count();
        return ok_ || !too_many_;
    }
    bool attributes() {
        std::uint64_t n = 0;
        if (!list(n)) return false;
        for (std::uint64_t i = 0; i < n && ok_; ++i) {
            name();
            const std::uint64_t type = number(4);
            const std::uint64_t values = count();
            const std::uint64_t size = type == 3 || type == 8 ? 2 : type == 4 || type == 5 || type == 9 ? 4
                                     : type == 6 || type == 10 || type == 11 ? 8 : 1;
            skip((values * size + 3) / 4 * 4);
        }
        return ok_ || !too_many_;
    }

    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t at_ = 0;
    bool wide_ = false;
    bool ok_ = true;
    bool too_many_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!ClassicHeader(data, size).plausible()) return 0;
    velmora::fuzz::read_fuzzed_volume(data, size, "volume.nc", "DT");
    return 0;
}
