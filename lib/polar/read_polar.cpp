// Telling the polar formats apart by content, and choosing the reader.
#include <hdf5.h>
#include <netcdf.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "io/classic_header.h"
#include "io/file_handles.h"
#include "io/input_file.h"
#include "polar/polar.h"

namespace velmora::polar {
namespace {

constexpr std::string_view kHdf5Signature{"\x89HDF\r\n\x1a\n", 8};

// The first bytes of a file, through gzip when it is compressed (zlib reads
// plain files as they are). Of regular files only: opening a FIFO would wait
// for a writer for ever.
std::string first_bytes(const std::string& path, unsigned count) {
    if (not_a_regular_file(path)) return {};
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return {};
    std::string bytes(count, '\0');
    int got = gzread(f, bytes.data(), count);
    gzclose(f);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

// An ODIM file says what it holds in the attribute object of its root group
// what: PVOL for a polar volume, SCAN for a single sweep.
bool is_odim(hid_t file) {
    if (H5Aexists_by_name(file, "what", "object", H5P_DEFAULT) <= 0) return false;
    const Hid attr(H5Aopen_by_name(file, "what", "object", H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    const Hid type(attr ? H5Aget_type(attr.get()) : -1, H5Tclose);
    if (!type || H5Tget_class(type.get()) != H5T_STRING || H5Tis_variable_str(type.get())) return false;
    const Hid space(H5Aget_space(attr.get()), H5Sclose);
    std::array<char, 16> text{};
    const std::size_t size = H5Tget_size(type.get());
    if (!space || H5Sget_simple_extent_npoints(space.get()) != 1 || size >= text.size() ||
        H5Aread(attr.get(), type.get(), text.data()) < 0)
        return false;
    const std::string_view object(text.data(), strnlen(text.data(), size));
    return object == "PVOL" || object == "SCAN";
}

// An HDF5 file holds ODIM, or NetCDF-4 whose dimensions and variables are
// links of its root group: one opening tells both apart (opening it through
// the NetCDF library as well would cost as much as a small analysis).
PolarFormat hdf5_format(const std::string& path) {
    const QuietHdf5 quiet;   // probing: failures are answers, not messages
    const Hid file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) return PolarFormat::none;
    auto has = [&file](const char* name) { return H5Lexists(file.get(), name, H5P_DEFAULT) > 0; };
    if (is_odim(file.get())) return PolarFormat::odim;
    if (has("range") && has("time") && (has("sweep") || has("sweep_number"))) return PolarFormat::cfradial;
    return PolarFormat::none;
}

// A classic CF/Radial file has its layout: rays along time, each a line of
// gates along range, grouped into sweeps. Its Conventions alone do not tell:
// gridded volumes made from CF/Radial files (Py-ART's grids) keep the
// Conventions of their source.
bool is_cfradial(const std::string& path) {
    // A damaged classic header is not handed to the NetCDF library, which
    // trusts its counts and type codes (classic_header.h).
    if (!classic_header_problem(path).empty()) return false;
    NcFile nc;
    if (nc_open(path.c_str(), NC_NOWRITE, &nc.id) != NC_NOERR) return false;
    const int id = nc.id;
    int var, dim;
    const bool cfradial = nc_inq_dimid(id, "range", &dim) == NC_NOERR && nc_inq_dimid(id, "time", &dim) == NC_NOERR &&
                          (nc_inq_dimid(id, "sweep", &dim) == NC_NOERR || nc_inq_varid(id, "sweep_number", &var) == NC_NOERR);
    return cfradial;
}

}  // namespace

PolarFormat polar_format(const std::string& path) {
    const std::string head = first_bytes(path, 8);
    if (head.starts_with("AR2V") || head.starts_with("ARCHIVE2")) return PolarFormat::nexrad;
    // HDF5 files may hold ODIM or NetCDF-4 (CF/Radial or a gridded volume);
    // classic NetCDF starts with CDF.
    if (head.starts_with(kHdf5Signature)) return hdf5_format(path);
    if (head.starts_with("CDF") && is_cfradial(path)) return PolarFormat::cfradial;
    return PolarFormat::none;
}

PolarVolume read_polar(const std::string& path, const std::string& field, std::optional<Site> site) {
    if (auto problem = not_a_regular_file(path)) throw std::runtime_error(path + ": " + *problem);
    PolarVolume v;
    switch (polar_format(path)) {
    case PolarFormat::odim: v = read_odim(path, field); break;
    case PolarFormat::nexrad: return read_nexrad(path, field, site);
    case PolarFormat::cfradial: v = read_cfradial(path, field); break;
    case PolarFormat::none:
        throw std::runtime_error(path + ": not a polar radar volume (ODIM HDF5, NEXRAD Level II or CF/Radial)");
    }
    if (site) v.site = site;
    return v;
}

}  // namespace velmora::polar
