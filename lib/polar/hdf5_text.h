// String attributes of HDF5 files in every form HDF5 lets a writer choose:
// fixed length (null-terminated, null-padded or space-padded) or variable
// length, ASCII or UTF-8, a scalar or an array of one.
#pragma once

#include <hdf5.h>

#include <optional>
#include <string>

namespace velmora::polar {

// Strings of attributes longer than this are not ODIM's.
inline constexpr std::size_t kMaxAttributeText = 1 << 16;

// The text of attribute attr without trailing padding, or none, with why
// saying what keeps it from being one ("is not a string", "is not a single
// string", "is a string of N bytes", "cannot be read").
std::optional<std::string> hdf5_text(hid_t attr, std::string& why);

// Whether attr is a string of variable length, kept in a global heap.
bool variable_length_text(hid_t attr);

// What is wrong with the global heap collections of the HDF5 file at path
// (where variable-length strings are kept), or "". HDF5 1.10 trusts the
// sizes of a collection's objects: a forged size makes H5Aread copy from
// past the collection and crash. Files of more than 256 MB are not looked
// at (no ODIM volume is so large).
std::string global_heap_problem(const std::string& path);

}  // namespace velmora::polar
