#include "polar/hdf5_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "io/file_handles.h"

namespace velmora::polar {

namespace {

// A variable-length string, read in the file's own character set: HDF5
// converts no string from UTF-8 to ASCII or back.
std::optional<std::string> variable_text(hid_t attr, hid_t type) {
    const Hid memory(H5Tcopy(H5T_C_S1), H5Tclose);
    const H5T_cset_t cset = H5Tget_cset(type);
    char* p = nullptr;
    if (!memory || H5Tset_size(memory.get(), H5T_VARIABLE) < 0 || cset < 0 || H5Tset_cset(memory.get(), cset) < 0 ||
        H5Aread(attr, memory.get(), &p) < 0)
        return std::nullopt;
    std::string s;
    if (p) {
        s.assign(p, strnlen(p, kMaxAttributeText));
        H5free_memory(p);
    }
    return s;
}

// Little-endian numbers of n bytes, as HDF5 stores them.
std::uint64_t little(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = v << 8 | p[i];
    return v;
}

// The size of lengths of the file's superblock (at 0, or after a user
// block of 512, 1024, ... bytes), 0 when there is none.
std::size_t length_size(const std::vector<unsigned char>& d) {
    static constexpr unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    for (std::size_t at = 0; at + 16 <= d.size(); at = at ? 2 * at : 512)
        if (std::memcmp(d.data() + at, kSignature, 8) == 0) return d[at + 8] < 2 ? d[at + 14] : d[at + 10];
    return 0;
}

// The objects of the collection at offset at: each within it, the last
// ending where it ends, as HDF5 assumes when it reads them.
std::string collection_problem(const std::vector<unsigned char>& d, std::size_t at, std::size_t lengths) {
    const std::string where = "the global heap collection at byte " + std::to_string(at);
    const std::size_t header = 8 + lengths;
    const std::uint64_t size = little(d.data() + at + 8, lengths);
    if (size < header || size > d.size() - at) return where + " runs past the end of the file";
    const std::size_t end = at + static_cast<std::size_t>(size);
    for (std::size_t p = at + header; p < end;) {
        if (end - p < header) break;   // too small for an object: free space
        const unsigned index = static_cast<unsigned>(little(d.data() + p, 2));
        const std::uint64_t bytes = little(d.data() + p + 8, lengths);
        const std::uint64_t need = index > 0 ? header + (bytes + 7) / 8 * 8 : bytes;
        if (need < (index > 0 ? header : 1) || need > end - p)
            return where + ": object " + std::to_string(index) + " of " + std::to_string(bytes) + " bytes runs past it";
        p += static_cast<std::size_t>(need);
    }
    return {};
}

}  // namespace

bool variable_length_text(hid_t attr) {
    const Hid type(H5Aget_type(attr), H5Tclose);
    return type && H5Tget_class(type.get()) == H5T_STRING && H5Tis_variable_str(type.get()) > 0;
}

std::string global_heap_problem(const std::string& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > (std::uintmax_t{256} << 20)) return {};
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> d(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(d.data()), static_cast<std::streamsize>(d.size()));
    d.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    const std::size_t lengths = length_size(d);
    if (lengths != 4 && lengths != 8) return {};
    static constexpr unsigned char kCollection[8] = {'G', 'C', 'O', 'L', 1, 0, 0, 0};
    for (auto at = std::search(d.begin(), d.end(), kCollection, kCollection + 8); at != d.end();
         at = std::search(at + 1, d.end(), kCollection, kCollection + 8)) {
        const auto offset = static_cast<std::size_t>(at - d.begin());
        if (d.size() - offset < 8 + lengths) return "the global heap collection at byte " + std::to_string(offset) + " is cut short";
        if (std::string problem = collection_problem(d, offset, lengths); !problem.empty()) return problem;
    }
    return {};
}

std::optional<std::string> hdf5_text(hid_t attr, std::string& why) {
    const Hid type(H5Aget_type(attr), H5Tclose);
    if (!type || H5Tget_class(type.get()) != H5T_STRING) {
        why = "is not a string";
        return std::nullopt;
    }
    const Hid space(H5Aget_space(attr), H5Sclose);
    if (!space || H5Sget_simple_extent_npoints(space.get()) != 1) {
        why = "is not a single string";
        return std::nullopt;
    }
    std::optional<std::string> s;
    if (H5Tis_variable_str(type.get()) > 0) {
        s = variable_text(attr, type.get());
    } else {
        // Read as stored: the file's type says its padding and character set.
        const std::size_t size = H5Tget_size(type.get());
        if (size == 0 || size > kMaxAttributeText) {
            why = "is a string of " + std::to_string(size) + " bytes";
            return std::nullopt;
        }
        std::vector<char> buf(size + 1, '\0');
        if (H5Aread(attr, type.get(), buf.data()) >= 0) s.emplace(buf.data(), strnlen(buf.data(), size));
    }
    if (!s) {
        why = "cannot be read";
        return std::nullopt;
    }
    while (!s->empty() && (s->back() == ' ' || s->back() == '\0')) s->pop_back();
    return s;
}

}  // namespace velmora::polar
