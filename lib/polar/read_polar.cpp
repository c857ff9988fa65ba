// Telling the polar formats apart by content, and choosing the reader.
#include <hdf5.h>
#include <netcdf.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <string_view>

#include "io/classic_header.h"
#include "io/file_handles.h"
#include "io/input_file.h"
#include "polar/hdf5_text.h"
#include "polar/nexrad_records.h"
#include "polar/polar.h"

namespace velmora::polar {
namespace {

constexpr std::string_view kHdf5Signature{"\x89HDF\r\n\x1a\n", 8};

// The first bytes of a file, through gzip when it is compressed (zlib reads
// plain files as they are). Of regular files only: opening a FIFO would wait
// for a writer for ever.
std::string first_bytes(const std::string& path, unsigned count) {
    if (!input_file_problem(path).empty()) return {};
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
// Of variable length, it is read only when the file's global heaps are
// sound (hdf5_text.h); why says when they are not.
bool is_odim(hid_t file, const std::string& path, std::string& why) {
    if (H5Lexists(file, "what", H5P_DEFAULT) <= 0 || H5Aexists_by_name(file, "what", "object", H5P_DEFAULT) <= 0) return false;
    const Hid attr(H5Aopen_by_name(file, "what", "object", H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    if (!attr) return false;
    if (variable_length_text(attr.get())) {
        if (std::string problem = global_heap_problem(path); !problem.empty()) {
            why = "a damaged HDF5 file: " + problem;
            return false;
        }
    }
    std::string not_text;
    const auto object = hdf5_text(attr.get(), not_text);
    return object == "PVOL" || object == "SCAN";
}

// What a file turned out to be, and when it is none of the formats, why,
// where there is more to say than that.
struct Detected {
    PolarFormat format = PolarFormat::none;
    std::string why;
};

// The innermost of the errors HDF5 recorded for its last call: the one that
// says what is wrong with the file ("truncated file: eof = ...").
std::string hdf5_error() {
    std::string text;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD,
             [](unsigned n, const H5E_error2_t* e, void* out) -> herr_t {
                 if (n == 0 && e->desc) *static_cast<std::string*>(out) = e->desc;
                 return 0;
             },
             &text);
    return text;
}

// An HDF5 file holds ODIM, or NetCDF-4 whose dimensions and variables are
// links of its root group: one opening tells both apart (opening it through
// the NetCDF library as well would cost as much as a small analysis).
Detected hdf5_format(const std::string& path) {
    const QuietHdf5 quiet;   // probing: failures are answers, not messages
    const Hid file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) {
        const std::string error = hdf5_error();
        return {PolarFormat::none, "an HDF5 file HDF5 cannot open (" + (error.empty() ? "damaged" : error) + ")"};
    }
    auto has = [&file](const char* name) { return H5Lexists(file.get(), name, H5P_DEFAULT) > 0; };
    std::string why;
    if (is_odim(file.get(), path, why)) return {PolarFormat::odim, {}};
    if (!why.empty()) return {PolarFormat::none, why};
    if (has("range") && has("time") && (has("sweep") || has("sweep_number"))) return {PolarFormat::cfradial, {}};
    return {};
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

namespace {

Detected detect(const std::string& path) {
    // Regular files only: reading a pipe's first bytes would wait for ever.
    if (std::string problem = input_file_problem(path); !problem.empty()) return {PolarFormat::none, problem};
    const std::string head = first_bytes(path, 8);
    if (head.starts_with("AR2V") || head.starts_with("ARCHIVE2")) return {PolarFormat::nexrad, {}};
    // HDF5 files may hold ODIM or NetCDF-4 (CF/Radial or a gridded volume);
    // classic NetCDF starts with CDF.
    if (head.starts_with(kHdf5Signature)) return hdf5_format(path);
    if (head.starts_with("CDF") && is_cfradial(path)) return {PolarFormat::cfradial, {}};
    return {};
}

}  // namespace

PolarFormat polar_format(const std::string& path) { return detect(path).format; }

PolarVolume read_polar(const std::string& path, const std::string& field, std::optional<Site> site) {
    PolarVolume v;
    const Detected d = detect(path);
    switch (d.format) {
    case PolarFormat::odim: v = read_odim(path, field); break;
    case PolarFormat::nexrad: return read_nexrad(path, field, site);
    case PolarFormat::cfradial: v = read_cfradial(path, field); break;
    case PolarFormat::none:
        throw std::runtime_error(path + ": " +
                                 (d.why.empty() ? "not a polar radar volume (ODIM HDF5, NEXRAD Level II or CF/Radial)" : d.why));
    }
    if (site) v.site = site;
    return v;
}

namespace {

// A NEXRAD volume header's time and its radar's position from the table of
// sites; none where the header has no date or the table no such radar
// (the messages' own then count, as the reader takes them).
std::optional<PolarHeader> nexrad_header(const std::string& path) {
    const std::string head = first_bytes(path, 24);
    if (head.size() < 24) return std::nullopt;
    const auto* p = reinterpret_cast<const std::uint8_t*>(head.data());
    const std::uint32_t date = nexrad::be32(p + 12), ms = nexrad::be32(p + 16);
    if (date == 0 || date > 0xFFFF || ms >= 86400000) return std::nullopt;
    const std::optional<Site> site = nexrad_site(head.substr(20, 4));
    if (!site) return std::nullopt;
    return PolarHeader{site, (date - 1.0) * 86400.0 + ms / 1000.0};
}

}  // namespace

PolarHeader read_polar_header(const std::string& path, std::optional<Site> site) {
    PolarHeader h;
    const Detected d = detect(path);
    if (d.format == PolarFormat::odim) {
        const PolarVolume v = read_odim_header(path);
        h = {v.site, v.time};
    } else if (auto n = d.format == PolarFormat::nexrad ? nexrad_header(path) : std::nullopt) {
        h = *n;
    } else {
        // CF/Radial gives its position and time beside its sweeps; a NEXRAD
        // volume without them in its header, in its messages.
        const PolarVolume v = read_polar(path, {}, site);
        h = {v.site, v.time};
    }
    if (site) h.site = site;
    return h;
}

void check_volume_gates(const std::string& path, std::size_t gates) {
    if (gates > kMaxVolumeGates)
        throw std::runtime_error(path + ": " + std::to_string(gates) + " gates, more than the " +
                                 std::to_string(kMaxVolumeGates) + " a radar volume holds");
}

}  // namespace velmora::polar
