#include "polar/hdf5_text.h"

#include <cstring>
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

}  // namespace

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
