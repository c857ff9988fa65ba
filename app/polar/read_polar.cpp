// Telling the polar formats apart by content, and choosing the reader.
#include <hdf5.h>
#include <netcdf.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "classic_header.h"
#include "polar.h"

namespace velmora::app::polar {
namespace {

constexpr std::string_view kHdf5Signature{"\x89HDF\r\n\x1a\n", 8};

// The first bytes of a file, through gzip when it is compressed (zlib reads
// plain files as they are).
std::string first_bytes(const std::string& path, unsigned count) {
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
    bool odim = false;
    hid_t attr = H5Aopen_by_name(file, "what", "object", H5P_DEFAULT, H5P_DEFAULT);
    hid_t type = attr >= 0 ? H5Aget_type(attr) : -1;
    if (type >= 0 && H5Tget_class(type) == H5T_STRING && !H5Tis_variable_str(type)) {
        std::array<char, 16> text{};
        std::size_t size = H5Tget_size(type);
        hid_t space = H5Aget_space(attr);
        if (space >= 0 && H5Sget_simple_extent_npoints(space) == 1 && size < text.size() &&
            H5Aread(attr, type, text.data()) >= 0) {
            std::string_view object(text.data(), strnlen(text.data(), size));
            odim = object == "PVOL" || object == "SCAN";
        }
        if (space >= 0) H5Sclose(space);
    }
    if (type >= 0) H5Tclose(type);
    if (attr >= 0) H5Aclose(attr);
    return odim;
}

// An HDF5 file holds ODIM, or NetCDF-4 whose dimensions and variables are
// links of its root group: one opening tells both apart (opening it through
// the NetCDF library as well would cost as much as a small analysis).
PolarFormat hdf5_format(const std::string& path) {
    H5E_auto2_t handler;
    void* data;
    H5Eget_auto2(H5E_DEFAULT, &handler, &data);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // probing: failures are answers, not messages
    PolarFormat format = PolarFormat::none;
    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file >= 0) {
        auto has = [file](const char* name) { return H5Lexists(file, name, H5P_DEFAULT) > 0; };
        if (is_odim(file)) format = PolarFormat::odim;
        else if (has("range") && has("time") && (has("sweep") || has("sweep_number"))) format = PolarFormat::cfradial;
        H5Fclose(file);
    }
    H5Eset_auto2(H5E_DEFAULT, handler, data);
    return format;
}

// A classic CF/Radial file has its layout: rays along time, each a line of
// gates along range, grouped into sweeps. Its Conventions alone do not tell:
// gridded volumes made from CF/Radial files (Py-ART's grids) keep the
// Conventions of their source.
bool is_cfradial(const std::string& path) {
    // A damaged classic header is not handed to the NetCDF library, which
    // trusts its counts and type codes (classic_header.h).
    if (!classic_header_problem(path).empty()) return false;
    int id;
    if (nc_open(path.c_str(), NC_NOWRITE, &id) != NC_NOERR) return false;
    int var, dim;
    const bool cfradial = nc_inq_dimid(id, "range", &dim) == NC_NOERR && nc_inq_dimid(id, "time", &dim) == NC_NOERR &&
                          (nc_inq_dimid(id, "sweep", &dim) == NC_NOERR || nc_inq_varid(id, "sweep_number", &var) == NC_NOERR);
    nc_close(id);
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

}  // namespace velmora::app::polar
