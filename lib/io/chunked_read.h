// NetCDF-4 variables read straight from their HDF5 chunks: the compressed
// chunks are read in order and inflated on every core at once, with
// libdeflate, instead of one after the other through the NetCDF library.
// Radar volumes are stored deflated with the shuffle filter, and inflating
// them is most of the time of reading them.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace velmora {

// Reads the region start .. start + count of the float variable var of the
// NetCDF-4 file at path into out (row-major over the region, the last
// dimension fastest). Returns false, having written nothing that counts,
// when the variable is stored in a way this reader does not take (not
// little-endian 32-bit floats, not chunked, filters other than shuffle and
// deflate, chunks never written, a chunk that does not inflate): the caller
// then reads it through the NetCDF library, which also says what is wrong.
bool read_chunked_floats(const std::string& path, const std::string& var, std::span<const std::size_t> start,
                         std::span<const std::size_t> count, float* out);

}  // namespace velmora
