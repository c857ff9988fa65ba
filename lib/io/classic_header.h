// A look at the header of a classic NetCDF file (CDF-1, CDF-2, CDF-5)
// before the NetCDF library parses it. The library sizes its tables from
// the counts in a header before it reads what they count, and trusts the
// type codes: a damaged header makes it allocate gigabytes, seek for
// minutes, or divide by zero. Every dimension, attribute, variable, name
// and attribute value of such a header takes at least one byte of the
// file, so no count can exceed the file's size.
#pragma once

#include <string>

namespace velmora {

// What is wrong with the classic header of the file at path, or "" when
// nothing is (or the file is not a classic NetCDF file: NetCDF-4 files are
// HDF5 files, checked by HDF5 itself).
std::string classic_header_problem(const std::string& path);

}  // namespace velmora
