// ODIM HDF5 polar volumes (PVOL, or SCAN for a single sweep): /what, /where
// and /how of the radar, then datasetN groups, one per sweep, each with
// dataM groups, one per quantity, holding a rays x bins array of raw values.
#include <hdf5.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/cf_time.h"
#include "io/file_handles.h"
#include "io/geo.h"
#include "io/input_file.h"
#include "polar/hdf5_text.h"
#include "polar/polar.h"

namespace velmora::polar {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) { throw std::runtime_error(path + ": " + what); }

std::string num(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", x);
    return text;
}

constexpr long kMaxRays = 10000;
constexpr long kMaxBins = 100000;

// One of ODIM's attribute groups (what, where, how) at its levels, the most
// specific first: a data group's attribute overrides its dataset's, which
// overrides the root's.
// Whether the file's global heaps, where variable-length strings are kept,
// may be read (hdf5_text.h): looked at once, before the first such string.
struct HeapCheck {
    const std::string& path;
    std::optional<std::string> problem{};
    void require() {
        if (!problem) problem = global_heap_problem(path);
        if (!problem->empty()) fail(path, "a damaged HDF5 file: " + *problem);
    }
};

struct Attributes {
    const std::string& path;  // of the file, for messages
    hid_t file;
    HeapCheck& heap;
    std::vector<std::string> levels;  // "dataset1/data2/what", "dataset1/what", "what"

    // The level holding name, or none.
    const std::string* find(const char* name) const {
        for (const std::string& level : levels)
            if (H5Lexists(file, level.c_str(), H5P_DEFAULT) > 0 && H5Aexists_by_name(file, level.c_str(), name, H5P_DEFAULT) > 0)
                return &level;
        return nullptr;
    }

    Hid open(const std::string& level, const char* name) const {
        Hid attr(H5Aopen_by_name(file, level.c_str(), name, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
        if (!attr) fail(path, "cannot read attribute " + level + "/" + name);
        return attr;
    }

    // The number of values of an attribute (1 for a scalar).
    static hssize_t points(hid_t attr) {
        Hid space(H5Aget_space(attr), H5Sclose);
        return space ? H5Sget_simple_extent_npoints(space.get()) : -1;
    }

    // Numbers: integers or floats of any width, scalars or arrays.
    std::vector<double> numbers(const std::string& level, const char* name) const {
        Hid attr = open(level, name);
        Hid type(H5Aget_type(attr.get()), H5Tclose);
        const H5T_class_t cls = type ? H5Tget_class(type.get()) : H5T_NO_CLASS;
        if (cls != H5T_INTEGER && cls != H5T_FLOAT) fail(path, "attribute " + level + "/" + name + " is not a number");
        const hssize_t n = points(attr.get());
        if (n < 1 || n > kMaxRays) fail(path, "attribute " + level + "/" + name + " has " + std::to_string(n) + " values");
        std::vector<double> v(static_cast<std::size_t>(n));
        if (H5Aread(attr.get(), H5T_NATIVE_DOUBLE, v.data()) < 0) fail(path, "cannot read attribute " + level + "/" + name);
        return v;
    }

    // One number, a scalar or an array of one.
    std::optional<double> number(const char* name) const {
        const std::string* level = find(name);
        if (!level) return std::nullopt;
        std::vector<double> v = numbers(*level, name);
        if (v.size() != 1) fail(path, "attribute " + *level + "/" + name + " has " + std::to_string(v.size()) + " values, not one");
        if (!std::isfinite(v[0])) fail(path, "attribute " + *level + "/" + name + " is not finite");
        return v[0];
    }

    double required_number(const char* name) const {
        if (auto v = number(name)) return *v;
        fail(path, "missing attribute " + levels.front() + "/" + name);
    }

    // A string of fixed or variable length, a scalar or an array of one
    // (hdf5_text.h).
    std::optional<std::string> text(const char* name) const {
        const std::string* level = find(name);
        if (!level) return std::nullopt;
        Hid attr = open(*level, name);
        if (variable_length_text(attr.get())) heap.require();
        std::string why;
        std::optional<std::string> s = hdf5_text(attr.get(), why);
        if (!s) fail(path, "attribute " + *level + "/" + name + " " + why);
        return s;
    }

    std::string required_text(const char* name) const {
        if (auto v = text(name)) return *v;
        fail(path, "missing attribute " + levels.front() + "/" + name);
    }
};

// Levels of group kind ("what") from the most specific object up to the root.
Attributes levels(const std::string& path, hid_t file, HeapCheck& heap, std::initializer_list<std::string> objects,
                  const std::string& kind) {
    Attributes a{path, file, heap, {}};
    for (const std::string& o : objects) a.levels.push_back(o.empty() ? kind : o + "/" + kind);
    return a;
}

int digits(std::string_view s, std::size_t at, std::size_t n) {
    int v = 0;
    std::from_chars(s.data() + at, s.data() + at + n, v);
    return v;
}

// ODIM's date YYYYMMDD and time HHMMSS, UTC, as seconds since 1970.
double odim_time(const std::string& path, const std::string& what, const std::string& date, const std::string& time) {
    auto all_digits = [](const std::string& s, std::size_t n) {
        return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!all_digits(date, 8) || !all_digits(time, 6)) fail(path, what + ": date " + date + " time " + time + " is not YYYYMMDD HHMMSS");
    const int y = digits(date, 0, 4), mo = digits(date, 4, 2), d = digits(date, 6, 2);
    const int h = digits(time, 0, 2), mi = digits(time, 2, 2), s = digits(time, 4, 2);
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        fail(path, what + ": date " + date + " time " + time + " is not a date");
    return static_cast<double>(days_from_civil(y, mo, d)) * 86400.0 + h * 3600.0 + mi * 60.0 + s;
}

// The groups named prefix followed by a number (dataset1, data12) directly in
// group, by their number.
std::map<long, std::string> numbered_groups(const std::string& path, hid_t file, const std::string& group, std::string_view prefix) {
    Hid g(H5Gopen2(file, group.c_str(), H5P_DEFAULT), H5Gclose);
    if (!g) fail(path, "cannot open group " + group);
    H5G_info_t info;
    if (H5Gget_info(g.get(), &info) < 0) fail(path, "cannot list group " + group);
    std::map<long, std::string> found;
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        const ssize_t len = H5Lget_name_by_idx(g.get(), ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT);
        if (len <= 0 || static_cast<std::size_t>(len) > prefix.size() + 18) continue;
        std::string name(static_cast<std::size_t>(len) + 1, '\0');
        if (H5Lget_name_by_idx(g.get(), ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(), name.size(), H5P_DEFAULT) < 0) continue;
        name.resize(static_cast<std::size_t>(len));
        if (!name.starts_with(prefix)) continue;
        long n = 0;
        const char* first = name.data() + prefix.size();
        const char* last = name.data() + name.size();
        auto [p, ec] = std::from_chars(first, last, n);
        if (ec != std::errc{} || p != last || first == last || n < 0) continue;
        // Only hard links to groups: soft and external links could lead anywhere.
        H5L_info_t link;
        if (H5Lget_info(g.get(), name.c_str(), &link, H5P_DEFAULT) < 0 || link.type != H5L_TYPE_HARD) continue;
        H5O_info_t object;
        if (H5Oget_info_by_name(g.get(), name.c_str(), &object, H5P_DEFAULT) < 0 || object.type != H5O_TYPE_GROUP) continue;
        found.emplace(n, group == "/" ? name : group + "/" + name);
    }
    return found;
}

std::string units_of(const std::string& quantity) {
    if (quantity.starts_with("DBZ") || quantity == "TH" || quantity == "TV") return "dBZ";
    if (quantity.starts_with("VRAD") || quantity.starts_with("WRAD")) return "m/s";
    if (quantity == "ZDR" || quantity == "LDR") return "dB";
    if (quantity == "PHIDP") return "degrees";
    if (quantity == "KDP") return "degrees/km";
    return "";
}

float azimuth_between(double start, double stop) {
    constexpr double rad = std::numbers::pi / 180.0;
    double a = std::atan2(std::sin(start * rad) + std::sin(stop * rad), std::cos(start * rad) + std::cos(stop * rad)) / rad;
    if (a < 0) a += 360.0;
    const float f = static_cast<float>(a);
    return f < 360.0f ? f : 0.0f;
}

// How raw values become gate values: nodata is missing, undetect no echo,
// the rest gain x raw + offset.
struct Coding {
    double gain = 1, offset = 0, nodata = 0, undetect = 0;
    float operator()(double raw) const {
        return raw == nodata ? kMissing : raw == undetect ? kNoEcho : static_cast<float>(raw * gain + offset);
    }
};

// The gates of a data group, decoded, after checking its shape against the
// sweep's and its size against the bytes stored. Read a block of rays at a
// time: only the gate values are held whole.
std::vector<float> gate_values(const std::string& path, hid_t file, const std::string& group, long rays, long bins,
                               Coding coding) {
    const std::string name = group + "/data";
    Hid set(H5Dopen2(file, name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!set) fail(path, "missing data array " + name);
    Hid type(H5Dget_type(set.get()), H5Tclose);
    const H5T_class_t cls = type ? H5Tget_class(type.get()) : H5T_NO_CLASS;
    if (cls != H5T_INTEGER && cls != H5T_FLOAT) fail(path, name + " does not hold numbers");
    if (cls == H5T_FLOAT && H5Tget_size(type.get()) <= sizeof(float)) {
        // float32 data: nodata and undetect as the data hold them (0.1 is
        // not the same number in float and double).
        coding.nodata = static_cast<float>(coding.nodata);
        coding.undetect = static_cast<float>(coding.undetect);
    }
    Hid space(H5Dget_space(set.get()), H5Sclose);
    hsize_t dims[2] = {0, 0};
    if (!space || H5Sget_simple_extent_ndims(space.get()) != 2 || H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 2 ||
        dims[0] != static_cast<hsize_t>(rays) || dims[1] != static_cast<hsize_t>(bins))
        fail(path, name + " is not " + std::to_string(rays) + " rays x " + std::to_string(bins) + " bins (nrays x nbins)");
    const double wanted = static_cast<double>(rays) * static_cast<double>(bins) * static_cast<double>(H5Tget_size(type.get()));
    const double stored = static_cast<double>(H5Dget_storage_size(set.get()));
    if (wanted > stored * kMaxDeflateRatio) fail(path, name + " holds fewer bytes than its " + std::to_string(rays * bins) + " values need");
    std::vector<float> values(static_cast<std::size_t>(rays) * static_cast<std::size_t>(bins));
    const hsize_t block = std::max<hsize_t>(1, (hsize_t{1} << 16) / static_cast<hsize_t>(bins));
    std::vector<double> raw;
    for (hsize_t first = 0; first < dims[0]; first += block) {
        const hsize_t start[2] = {first, 0}, count[2] = {std::min(block, dims[0] - first), dims[1]};
        raw.resize(static_cast<std::size_t>(count[0] * count[1]));
        Hid memory(H5Screate_simple(2, count, nullptr), H5Sclose);
        if (!memory || H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) < 0 ||
            H5Dread(set.get(), H5T_NATIVE_DOUBLE, memory.get(), space.get(), H5P_DEFAULT, raw.data()) < 0)
            fail(path, "cannot read " + name);
        std::transform(raw.begin(), raw.end(), values.begin() + static_cast<std::ptrdiff_t>(first * dims[1]), coding);
    }
    return values;
}

// Per-ray angles from how/<name> of a sweep, when present: as many as rays.
std::optional<std::vector<double>> ray_angles(const Attributes& how, const char* name, long rays) {
    const std::string* level = how.find(name);
    if (!level) return std::nullopt;
    std::vector<double> v = how.numbers(*level, name);
    if (v.size() != static_cast<std::size_t>(rays))
        fail(how.path, "attribute " + *level + "/" + name + " has " + std::to_string(v.size()) + " values for " + std::to_string(rays) + " rays");
    for (double a : v)
        if (!std::isfinite(a)) fail(how.path, "attribute " + *level + "/" + name + " is not finite");
    return v;
}

// The quality index (QIND) of a sweep's gates: the first quality group of
// quantity QIND of the data group, else of its dataset; empty when neither
// has one. Gates of nodata or undetect have none (NaN).
std::vector<float> quality_index(const std::string& path, hid_t file, HeapCheck& heap, const std::string& dataset,
                                 const std::string& data, long rays, long bins, std::size_t& gates) {
    for (const std::string& holder : {data, dataset})
        for (const auto& [n, group] : numbered_groups(path, file, holder, "quality")) {
            const Attributes what = levels(path, file, heap, {group}, "what");
            if (what.text("quantity") != "QIND") continue;
            gates += static_cast<std::size_t>(rays) * static_cast<std::size_t>(bins);
            check_volume_gates(path, gates);
            Coding coding{what.required_number("gain"), what.required_number("offset"),
                          what.number("nodata").value_or(NAN), what.number("undetect").value_or(NAN)};
            if (coding.gain == 0) fail(path, group + ": gain is 0");
            std::vector<float> q = gate_values(path, file, group, rays, bins, coding);
            for (float& x : q)
                if (!std::isfinite(x)) x = kMissing;
            return q;
        }
    return {};
}

// A number of how that a velocity only may use: none when it is absent,
// not one finite number, or not positive (a sweep without it is only not
// dealiased, and its other quantities read as ever).
std::optional<double> positive(const Attributes& how, const char* name) {
    try {
        if (auto v = how.number(name); v && *v > 0) return v;
    } catch (const std::runtime_error&) {
    }
    return std::nullopt;
}

// The Nyquist velocities of a sweep of radial velocity: how/NI, else from
// the PRFs (highprf, lowprf, Hz) and the wavelength (cm), va = wavelength x
// PRF / 4 for each, and of two PRFs the extended va_h va_l / (va_h - va_l).
void read_nyquist(const Attributes& how, Sweep& s) {
    const auto high = positive(how, "highprf"), low = positive(how, "lowprf");
    const auto wavelength = positive(how, "wavelength");
    const bool dual = high && low && *low < *high;
    if (dual && wavelength) {
        s.nyquist_high = *wavelength / 100.0 * *high / 4.0;
        s.nyquist_low = *wavelength / 100.0 * *low / 4.0;
    }
    if (auto ni = positive(how, "NI")) s.nyquist = ni;
    else if (dual && wavelength) s.nyquist = s.nyquist_high * s.nyquist_low / (s.nyquist_high - s.nyquist_low);
    else if (high && wavelength) s.nyquist = *wavelength / 100.0 * *high / 4.0;
}

Sweep read_sweep(const std::string& path, hid_t file, HeapCheck& heap, const std::string& dataset, const std::string& data,
                 std::size_t& gates) {
    const Attributes where = levels(path, file, heap, {dataset, ""}, "where");
    const Attributes what = levels(path, file, heap, {data, dataset, ""}, "what");
    const Attributes how = levels(path, file, heap, {data, dataset}, "how");

    Sweep s;
    s.fixed_angle = where.required_number("elangle");
    const double nrays = where.required_number("nrays");
    const double nbins = where.required_number("nbins");
    if (nrays < 1 || nrays > kMaxRays || nrays != std::floor(nrays))
        fail(path, dataset + ": nrays " + num(nrays) + " is not a count of rays (1 to " + std::to_string(kMaxRays) + ")");
    if (nbins < 1 || nbins > kMaxBins || nbins != std::floor(nbins))
        fail(path, dataset + ": nbins " + num(nbins) + " is not a count of bins (1 to " + std::to_string(kMaxBins) + ")");
    const long rays = static_cast<long>(nrays), bins = static_cast<long>(nbins);
    gates += static_cast<std::size_t>(rays) * static_cast<std::size_t>(bins);
    check_volume_gates(path, gates);
    s.name = dataset;
    const double rstart = where.required_number("rstart");  // km
    const double rscale = where.required_number("rscale");  // m
    if (rscale <= 0) fail(path, dataset + ": rscale " + num(rscale) + " is not a gate spacing");
    s.gates = static_cast<int>(bins);
    s.gate_spacing = rscale;
    s.range_first = rstart * 1000.0 + rscale / 2.0;

    const Coding coding{what.required_number("gain"), what.required_number("offset"), what.required_number("nodata"),
                        what.required_number("undetect")};
    if (coding.gain == 0) fail(path, data + ": gain is 0");
    auto startdate = what.text("startdate"), starttime = what.text("starttime");
    if (startdate && starttime) s.time = odim_time(path, dataset, *startdate, *starttime);

    // Rays are equally spaced from north unless the radar says where each
    // one started and stopped.
    auto start = ray_angles(how, "startazA", rays), stop = ray_angles(how, "stopazA", rays);
    s.azimuth.resize(static_cast<std::size_t>(rays));
    for (long i = 0; i < rays; ++i)
        s.azimuth[i] = start && stop ? azimuth_between((*start)[i], (*stop)[i]) : static_cast<float>((i + 0.5) * 360.0 / rays);
    if (auto elangles = ray_angles(how, "elangles", rays))
        s.elevation.assign(elangles->begin(), elangles->end());
    else
        s.elevation.assign(static_cast<std::size_t>(rays), static_cast<float>(s.fixed_angle));

    s.values = gate_values(path, file, data, rays, bins, coding);
    if (what.required_text("quantity").starts_with("VRAD")) read_nyquist(levels(path, file, heap, {data, dataset, ""}, "how"), s);
    s.quality = quality_index(path, file, heap, dataset, data, rays, bins, gates);
    return s;
}


// The file opened as an ODIM polar volume.
Hid open_odim(const std::string& path) {
    require_input_file(path);
    if (H5Fis_hdf5(path.c_str()) <= 0) fail(path, "not an HDF5 file");
    Hid file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!file) fail(path, "cannot open the HDF5 file");
    return file;
}

// The root's what and where: the object, the volume's time, the radar's position.
void read_root(const std::string& path, hid_t f, HeapCheck& heap, PolarVolume& v) {
    const Attributes root_what = levels(path, f, heap, {""}, "what");
    const auto object = root_what.text("object");
    if (!object) fail(path, "not an ODIM file (no what/object)");
    if (*object != "PVOL" && *object != "SCAN") fail(path, "ODIM object " + *object + ", not a polar volume (PVOL or SCAN)");
    v.source = path;
    v.time = odim_time(path, "what", root_what.required_text("date"), root_what.required_text("time"));
    const Attributes root_where = levels(path, f, heap, {""}, "where");
    v.site = Site{root_where.required_number("lat"), root_where.required_number("lon"), root_where.required_number("height")};
    if (std::string problem = position_problem(v.site->latitude, v.site->longitude); !problem.empty())
        fail(path, "where/lat and where/lon: the radar's " + problem);
}

}  // namespace

PolarVolume read_odim_header(const std::string& path) {
    const QuietHdf5 quiet;
    Hid file = open_odim(path);
    HeapCheck heap{path};
    PolarVolume v;
    read_root(path, file.get(), heap, v);
    return v;
}

PolarVolume read_odim(const std::string& path, const std::string& field) {
    const QuietHdf5 quiet;
    Hid file = open_odim(path);
    const hid_t f = file.get();
    HeapCheck heap{path};

    PolarVolume v;
    read_root(path, f, heap, v);
    v.field = field.empty() ? "DBZH" : field;
    v.units = units_of(v.field);
    const Attributes root_how = levels(path, f, heap, {""}, "how");
    if (auto bw = root_how.number("beamwidth"))
        v.beam_width = *bw;
    else if (auto bwh = root_how.number("beamwH"))
        v.beam_width = *bwh;

    std::vector<std::string> quantities;  // what the file holds, for the message when the field is not there
    std::size_t gates = 0;
    for (const auto& [n, dataset] : numbered_groups(path, f, "/", "dataset")) {
        std::string chosen;
        for (const auto& [m, data] : numbered_groups(path, f, dataset, "data")) {
            const std::string quantity = levels(path, f, heap, {data, dataset, ""}, "what").required_text("quantity");
            if (quantity == v.field && chosen.empty()) chosen = data;
            if (std::find(quantities.begin(), quantities.end(), quantity) == quantities.end()) quantities.push_back(quantity);
        }
        if (!chosen.empty()) v.sweeps.push_back(read_sweep(path, f, heap, dataset, chosen, gates));
    }
    if (v.sweeps.empty()) {
        if (quantities.empty()) fail(path, "no sweeps (datasetN/dataM groups) in the ODIM file");
        std::string list;
        for (const std::string& q : quantities) list += (list.empty() ? "" : ", ") + q;
        fail(path, "no sweep holds " + v.field + " (the file holds " + list + ")");
    }
    return v;
}

}  // namespace velmora::polar
