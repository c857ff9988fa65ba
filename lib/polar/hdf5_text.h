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

}  // namespace velmora::polar
