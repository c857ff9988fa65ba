// NEXRAD Level II (Archive II) volumes: the radials of message 1 (the
// format before 2008: reflectivity, velocity, spectrum width) and message 31
// (the generic format: any moment, and the site in its volume block),
// gathered into sweeps by elevation number. Layout: the Archive II/User and
// RDA/RPG interface control documents (2620010, 2620002).
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <string_view>

#include "polar/nexrad_records.h"
#include "polar/polar.h"

namespace velmora::polar {
namespace {

using nexrad::be16;
using nexrad::be16s;
using nexrad::be32;
using nexrad::be_float;
using nexrad::fail;
using nexrad::kHeaderBytes;
using nexrad::Message;

// The WSR-88D's half-power beam width is 0.96° at 2.7 GHz and 0.88° at
// 3.0 GHz (NRC 2002, "Weather Radar Technology Beyond NEXRAD", appendix A);
// the network's sites lie in between.
constexpr double kBeamWidth = 0.95;

struct FieldInfo {
    std::string_view name;   // message 31's moment name, padded to 3 with a space
    std::string_view units;
};
constexpr std::array kFields{FieldInfo{"REF", "dBZ"}, FieldInfo{"VEL", "m/s"}, FieldInfo{"SW ", "m/s"}, FieldInfo{"ZDR", "dB"},
                             FieldInfo{"PHI", "degrees"}, FieldInfo{"RHO", ""}, FieldInfo{"CFP", "dB"}};

// One radial's gates of the field, pointing into the records.
struct Radial {
    int cut = 0;  // elevation number in the volume
    float azimuth = 0, elevation = 0;
    double time = 0;
    const std::uint8_t* data = nullptr;
    int gates = 0;
    int word_bytes = 1;
    float scale = 1, offset = 0;  // value = (raw - offset) / scale
    double range_first = 0, gate_spacing = 0;
    float nyquist = 0;  // m/s, 0 when the radial does not say
    // The clutter filter power removed (message 31's CFP) on the radial's
    // own gates, when it carries the moment: coded as a moment is.
    struct Block {
        const std::uint8_t* data = nullptr;
        int gates = 0, word_bytes = 1;
        float scale = 1, offset = 0;
        double range_first = 0, gate_spacing = 0;
    } cfp;
};

struct Radials {
    std::vector<Radial> radials;
    std::optional<Site> site;  // of the first volume block
    std::string radar;         // message 31's radar name
};

double seconds(std::uint32_t date, std::uint32_t ms) { return (static_cast<double>(date) - 1.0) * 86400.0 + ms / 1000.0; }

// Message 1's angles: 16-bit binary angles, 180/32768 degrees a unit.
float coded_angle(std::uint16_t v) { return static_cast<float>(v * (180.0 / 32768.0)); }

float wrap_azimuth(float a) {
    a = std::fmod(a, 360.0f);
    if (a < 0) a += 360.0f;
    return a >= 360.0f ? 0.0f : a;
}

class Decoder {
public:
    Decoder(const std::string& path, std::string_view field)
        : path_(path), field_(field), label_(field.substr(0, field.find(' '))) {}

    // Message 1: a 100-byte header after the message header; the data
    // pointers count bytes from the start of that header.
    void message1(const Message& m, Radials& out) const {
        const std::uint8_t* b = m.data + kHeaderBytes;
        const std::size_t size = m.size - kHeaderBytes;
        if (size < 100) fail(path_, "message 1 of " + std::to_string(size) + " bytes, shorter than its 100-byte header");
        if (field_ != "REF" && field_ != "VEL" && field_ != "SW ") return;  // not in the older format
        const bool surveillance = field_ == "REF";
        const int gates = be16(b + (surveillance ? 26 : 28));
        const std::size_t pointer = be16(b + (surveillance ? 36 : field_ == "VEL" ? 38 : 40));
        if (gates == 0 || pointer == 0) return;  // not in this radial (the other half of a split cut)
        if (pointer < 100 || pointer > size)
            fail(path_, "message 1: " + label_ + " data pointer " + std::to_string(pointer) + " outside its " +
                            std::to_string(size) + "-byte message");
        if (static_cast<std::size_t>(gates) > size - pointer)
            fail(path_, "message 1: " + std::to_string(gates) + " " + label_ + " gates run past the end of the message");
        Radial r;
        r.cut = be16(b + 16);
        r.azimuth = wrap_azimuth(coded_angle(be16(b + 8)));
        const float elevation = coded_angle(be16(b + 14));
        r.elevation = elevation > 180.0f ? elevation - 360.0f : elevation;
        r.time = seconds(be16(b + 4), be32(b));
        r.data = b + pointer;
        r.gates = gates;
        // The centre of the first gate, as in message 31: four 250 m Doppler
        // gates from -375 m centre on the 1 km surveillance gate at 0 m.
        r.range_first = be16s(b + (surveillance ? 18 : 20));
        r.gate_spacing = be16(b + (surveillance ? 22 : 24));
        // Reflectivity in 0.5 dB from -33 dBZ; velocity in 0.5 or 1 m/s
        // (resolution code 2 or 4), width in 0.5 m/s, around 129.
        r.offset = surveillance ? 66.0f : 129.0f;
        r.scale = field_ == "VEL" && be16(b + 42) == 4 ? 1.0f : 2.0f;
        r.nyquist = static_cast<float>(be16(b + 60) / 100.0);  // 0.01 m/s
        out.radials.push_back(r);
    }

    // Message 31: a radial header, then data blocks its pointers find
    // (counted from the start of the radial header): volume, elevation and
    // radial constants, and one block per moment.
    void message31(const Message& m, Radials& out) const {
        const std::uint8_t* b = m.data + kHeaderBytes;
        const std::size_t size = m.size - kHeaderBytes;
        if (size < 32) fail(path_, "message 31 of " + std::to_string(size) + " bytes, shorter than its 32-byte header");
        const std::size_t blocks = be16(b + 30);
        if (blocks > 10) fail(path_, "message 31 with " + std::to_string(blocks) + " data blocks (at most 10)");
        const std::size_t header = 32 + 4 * blocks;
        if (header > size) fail(path_, "message 31: its block pointers run past the end of the message");
        if (out.radar.empty()) out.radar.assign(reinterpret_cast<const char*>(b), 4);
        const std::size_t before = out.radials.size();
        Radial cfp;
        float nyquist = 0;
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::size_t p = be32(b + 32 + 4 * i);
            if (p == 0) continue;
            if (p < header || p > size - 4)
                fail(path_, "message 31: data block pointer " + std::to_string(p) + " outside its " + std::to_string(size) +
                                "-byte message");
            const std::string_view name(reinterpret_cast<const char*>(b + p), 4);
            if (name == "RVOL" && !out.site) {
                if (p + 20 > size) fail(path_, "message 31: volume block runs past the end of the message");
                const float lat = be_float(b + p + 8), lon = be_float(b + p + 12);
                // Site height above sea level plus the feedhorn's above the ground.
                const double height = be16s(b + p + 16) + be16(b + p + 18);
                if (std::isfinite(lat) && std::isfinite(lon) && std::abs(lat) <= 90 && std::abs(lon) <= 360 && (lat != 0 || lon != 0))
                    out.site = Site{lat, lon, height};
            } else if (name[0] == 'D' && name.substr(1) == field_) {
                Radial r = moment(b, size, p, label_);
                if (r.gates > 0) out.radials.push_back(r);
            } else if (name == "DCFP") {
                cfp = moment(b, size, p, "CFP");
            } else if (name == "RRAD" && p + 18 <= size) {
                nyquist = static_cast<float>(be16(b + p + 16) / 100.0);  // 0.01 m/s
            }
        }
        if (out.radials.size() > before) out.radials.back().nyquist = nyquist;
        if (cfp.gates > 0 && out.radials.size() > before)
            out.radials.back().cfp = {cfp.data, cfp.gates, cfp.word_bytes, cfp.scale, cfp.offset, cfp.range_first,
                                      cfp.gate_spacing};
    }

private:
    // The moment block at p of a radial (no gates: an empty one).
    Radial moment(const std::uint8_t* b, std::size_t size, std::size_t p, const std::string& label) const {
        const std::string what = "message 31: moment " + label;
        if (p + 28 > size) fail(path_, what + ": its header runs past the end of the message");
        const std::uint8_t* d = b + p;
        Radial r;
        r.gates = be16(d + 8);
        if (r.gates == 0) return r;
        const int bits = d[19];
        if (bits != 8 && bits != 16) fail(path_, what + ": data words of " + std::to_string(bits) + " bits (8 or 16)");
        r.word_bytes = bits / 8;
        r.scale = be_float(d + 20);
        r.offset = be_float(d + 24);
        if (!std::isfinite(r.scale) || r.scale == 0 || !std::isfinite(r.offset))
            fail(path_, what + ": scale " + std::to_string(r.scale) + ", offset " + std::to_string(r.offset));
        if (static_cast<std::size_t>(r.gates) * r.word_bytes > size - p - 28)
            fail(path_, what + ": " + std::to_string(r.gates) + " gates run past the end of the message");
        r.data = d + 28;
        r.range_first = be16s(d + 10);  // to the centre of the first gate
        r.gate_spacing = be16s(d + 12);
        r.cut = b[22];
        const float azimuth = be_float(b + 12), elevation = be_float(b + 24);
        if (!std::isfinite(azimuth) || !std::isfinite(elevation) || std::abs(elevation) > 90)
            fail(path_, "message 31: azimuth " + std::to_string(azimuth) + ", elevation " + std::to_string(elevation));
        r.azimuth = wrap_azimuth(azimuth);
        r.elevation = elevation;
        r.time = seconds(be16(b + 8), be32(b + 4));
        return r;
    }

    const std::string& path_;
    std::string_view field_;  // as message 31 names it
    std::string label_;       // as errors name it
};

// Gate values of one radial into its row: raw 0 is below the threshold (no
// echo), 1 range folded (missing); the row beyond the radial's own gates is
// missing.
void fill_row(const Radial& r, float* row, int gates, std::array<float, 256>& table, float& table_scale, float& table_offset) {
    const int n = std::min(gates, r.gates);
    if (r.word_bytes == 1) {
        if (r.scale != table_scale || r.offset != table_offset) {
            table[0] = kNoEcho;
            table[1] = kMissing;
            for (int v = 2; v < 256; ++v) table[v] = (static_cast<float>(v) - r.offset) / r.scale;
            table_scale = r.scale;
            table_offset = r.offset;
        }
        for (int g = 0; g < n; ++g) row[g] = table[r.data[g]];
    } else {
        for (int g = 0; g < n; ++g) {
            const std::uint16_t v = be16(r.data + 2 * g);
            row[g] = v == 0 ? kNoEcho : v == 1 ? kMissing : (static_cast<float>(v) - r.offset) / r.scale;
        }
    }
    std::fill(row + n, row + gates, kMissing);
}

// The clutter filter power of a radial on the row of its cut's gates (the
// cut's first gate and spacing): each gate takes the CFP gate at its range;
// raw 0 and 1 (below threshold, range folded) and gates beyond the moment's
// are NaN.
void fill_clutter_row(const Radial& r, float* row, int gates, double range_first, double spacing) {
    const Radial::Block& c = r.cfp;
    for (int g = 0; g < gates; ++g) {
        row[g] = kMissing;
        if (c.gate_spacing <= 0) continue;
        const double k = std::round((range_first + g * spacing - c.range_first) / c.gate_spacing);
        if (k < 0 || k >= c.gates) continue;
        const std::size_t at = static_cast<std::size_t>(k);
        const unsigned raw = c.word_bytes == 1 ? c.data[at] : be16(c.data + 2 * at);
        if (raw > 1) row[g] = (static_cast<float>(raw) - c.offset) / c.scale;
    }
}

// Where a radial's gates were range folded (raw 1), on its row; whether any.
bool fill_folded_row(const Radial& r, std::uint8_t* row, int gates) {
    const int n = std::min(gates, r.gates);
    bool any = false;
    for (int g = 0; g < n; ++g) {
        const unsigned raw = r.word_bytes == 1 ? r.data[g] : be16(r.data + 2 * g);
        row[g] = raw == 1;
        any |= raw == 1;
    }
    return any;
}

// The Nyquist velocity of a cut: the median of its radials' (they share
// it, but for a radial that says none), none when none says.
std::optional<double> cut_nyquist(const std::vector<const Radial*>& cut) {
    std::vector<float> v;
    for (const Radial* r : cut)
        if (r->nyquist > 0) v.push_back(r->nyquist);
    if (v.empty()) return std::nullopt;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// The radials grouped by elevation number, in the order the cuts begin.
std::vector<std::vector<const Radial*>> cuts_of(const std::vector<Radial>& radials) {
    std::map<int, std::size_t> index;
    std::vector<std::vector<const Radial*>> cuts;
    for (const Radial& r : radials) {
        auto [it, added] = index.try_emplace(r.cut, cuts.size());
        if (added) cuts.emplace_back();
        cuts[it->second].push_back(&r);
    }
    return cuts;
}

// The gates of a cut: as many as its longest radial has, all on the same
// range. A radial on other gates would have its values placed wrong.
int cut_gates(const std::vector<const Radial*>& cut, const std::string& path) {
    const Radial& first = *cut.front();
    int gates = 0;
    for (std::size_t i = 0; i < cut.size(); ++i) {
        const Radial& r = *cut[i];
        if (r.range_first != first.range_first || r.gate_spacing != first.gate_spacing)
            fail(path, "elevation cut " + std::to_string(first.cut) + ": radial " + std::to_string(i) + " has gates from " +
                           std::to_string(static_cast<int>(r.range_first)) + " m every " +
                           std::to_string(static_cast<int>(r.gate_spacing)) + " m, the cut's first radial from " +
                           std::to_string(static_cast<int>(first.range_first)) + " m every " +
                           std::to_string(static_cast<int>(first.gate_spacing)) + " m");
        gates = std::max(gates, r.gates);
    }
    return gates;
}

// The median of a sweep's measured elevations, to 0.01 degrees: the first
// radials of a cut are often taken while the antenna still settles.
double median_elevation(std::vector<float> elevations) {
    auto mid = elevations.begin() + static_cast<std::ptrdiff_t>(elevations.size() / 2);
    std::nth_element(elevations.begin(), mid, elevations.end());
    double median = *mid;
    if (elevations.size() % 2 == 0) median = (median + *std::max_element(elevations.begin(), mid)) / 2;
    return std::round(median * 100.0) / 100.0;
}

// The radials grouped into sweeps by elevation number, in the order the
// cuts begin. Each radial keeps its own gates: rows are as long as the
// cut's longest radial, the shorter ones padded with missing gates, as long
// as that padding does not grow the volume far past the gates it holds.
std::vector<Sweep> make_sweeps(const std::vector<Radial>& radials, const std::string& path) {
    const std::vector<std::vector<const Radial*>> cuts = cuts_of(radials);
    std::vector<int> gates(cuts.size());
    std::size_t present = 0, cells = 0;
    for (const Radial& r : radials) present += static_cast<std::size_t>(r.gates);
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        gates[c] = cut_gates(cuts[c], path);
        cells += cuts[c].size() * static_cast<std::size_t>(gates[c]);
    }
    if (cells > std::max<std::size_t>(4 * present, std::size_t{1} << 16))
        fail(path, "the radials of a cut differ too much in length (" + std::to_string(cells) + " gates for " +
                       std::to_string(present) + " in the file)");
    check_volume_gates(path, cells);

    std::vector<Sweep> sweeps;
    std::array<float, 256> table{};
    float table_scale = 0, table_offset = 0;
    for (std::size_t c = 0; c < cuts.size(); ++c) {
        const auto& cut = cuts[c];
        const Radial& first = *cut.front();
        Sweep s;
        s.name = "elevation cut " + std::to_string(first.cut);
        s.gates = gates[c];
        s.range_first = first.range_first;
        s.gate_spacing = first.gate_spacing;
        s.time = first.time;
        s.azimuth.reserve(cut.size());
        s.elevation.reserve(cut.size());
        s.values.resize(cut.size() * static_cast<std::size_t>(s.gates));
        const bool cfp = std::any_of(cut.begin(), cut.end(), [](const Radial* r) { return r->cfp.gates > 0; });
        if (cfp) s.clutter_power.resize(s.values.size());
        s.folded.assign(s.values.size(), 0);
        bool folded = false;
        for (std::size_t i = 0; i < cut.size(); ++i) {
            s.azimuth.push_back(cut[i]->azimuth);
            s.elevation.push_back(cut[i]->elevation);
            const std::size_t row = i * static_cast<std::size_t>(s.gates);
            fill_row(*cut[i], s.values.data() + row, s.gates, table, table_scale, table_offset);
            folded |= fill_folded_row(*cut[i], s.folded.data() + row, s.gates);
            if (cfp) fill_clutter_row(*cut[i], s.clutter_power.data() + row, s.gates, s.range_first, s.gate_spacing);
        }
        if (!folded) s.folded = {};
        s.nyquist = cut_nyquist(cut);
        s.fixed_angle = median_elevation(s.elevation);
        sweeps.push_back(std::move(s));
    }
    return sweeps;
}

// Where the sites of the network stand, from NOAA's station list (the
// Historical Observing Metadata Repository's NEXRAD list): latitude and
// longitude in degrees, ground elevation in feet as the list gives it.
struct Station {
    std::string_view icao;
    double latitude, longitude, elevation_ft;
};
constexpr std::array kStations{
    Station{"KABR", 45.45583, -98.41306, 1302}, Station{"KAKQ", 36.98389, -77.0075, 112},
    Station{"KAMA", 35.23333, -101.70889, 3587}, Station{"KAMX", 25.61056, -80.41306, 14},
    Station{"KBMX", 33.17194, -86.76972, 645},  Station{"KBOX", 41.95583, -71.1375, 118},
    Station{"KBRO", 25.91556, -97.41861, 23},   Station{"KBYX", 24.59694, -81.70333, 8},
    Station{"KCLX", 32.65556, -81.04222, 97},   Station{"KCRP", 27.78389, -97.51083, 45},
    Station{"KDDC", 37.76083, -99.96833, 2590}, Station{"KDIX", 39.94694, -74.41111, 149},
    Station{"KDMX", 41.73111, -93.72278, 981},  Station{"KDVN", 41.61167, -90.58083, 754},
    Station{"KEVX", 30.56417, -85.92139, 140},  Station{"KEWX", 29.70361, -98.02806, 633},
    Station{"KFFC", 33.36333, -84.56583, 858},  Station{"KFTG", 39.78667, -104.54528, 5497},
    Station{"KFWS", 32.57278, -97.30278, 683},  Station{"KGRK", 30.72167, -97.38278, 538},
    Station{"KGWX", 33.89667, -88.32889, 476},  Station{"KHGX", 29.47194, -95.07889, 18},
    Station{"KICT", 37.65444, -97.4425, 1335},  Station{"KILX", 40.15056, -89.33667, 582},
    Station{"KIND", 39.7075, -86.28028, 790},   Station{"KINX", 36.175, -95.56444, 668},
    Station{"KJAX", 30.48444, -81.70194, 33},   Station{"KLCH", 30.125, -93.21583, 13},
    Station{"KLIX", 30.33667, -89.82528, 24},   Station{"KLOT", 41.60444, -88.08472, 663},
    Station{"KLSX", 38.69889, -90.68278, 608},  Station{"KLZK", 34.83639, -92.26194, 568},
    Station{"KMKX", 42.96778, -88.55056, 958},  Station{"KMLB", 28.11306, -80.65444, 99},
    Station{"KMOB", 30.67944, -88.23972, 208},  Station{"KMPX", 44.84889, -93.56528, 946},
    Station{"KOKX", 40.86556, -72.86444, 85},   Station{"KPOE", 31.15528, -92.97583, 408},
    Station{"KSHV", 32.45056, -93.84111, 273},  Station{"KTBW", 27.70528, -82.40194, 41},
    Station{"KTLH", 30.3975, -84.32889, 63},    Station{"KTLX", 35.33306, -97.2775, 1213},
    Station{"KVNX", 36.74083, -98.1275, 1210},
};

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The moment a field names (REF unless told), and its name.
const FieldInfo& field_info(const std::string& path, const std::string& field, std::string& name) {
    name = upper(field);
    if (name.empty() || name == "DBZH") name = "REF";
    const auto info = std::find_if(kFields.begin(), kFields.end(), [&](const FieldInfo& f) {
        return f.name.substr(0, f.name.find(' ')) == name;
    });
    if (info == kFields.end())
        fail(path, "no field '" + field + "' in NEXRAD Level II volumes (REF, VEL, SW, ZDR, PHI, RHO, CFP)");
    return *info;
}

}  // namespace

PolarVolume read_nexrad(const std::string& path, const std::string& field, std::optional<Site> site) {
    std::string name;
    field_info(path, field, name);   // an unknown field is said before the file is read
    return nexrad::decode_archive(nexrad::read_archive(path), path, field, site);
}

namespace nexrad {

PolarVolume decode_archive(const Archive& archive, const std::string& path, const std::string& field, std::optional<Site> site) {
    std::string name;
    const auto info = &field_info(path, field, name);
    const std::vector<Message> messages = nexrad::split_messages(archive.records, path);
    Radials radials;
    radials.radials.reserve(messages.size());
    const Decoder decoder(path, info->name);
    for (const Message& m : messages) {
        if (m.type == 1) decoder.message1(m, radials);
        else if (m.type == 31) decoder.message31(m, radials);
    }
    if (radials.radials.empty()) fail(path, "no " + name + " gates in the volume");

    PolarVolume v;
    v.source = path;
    v.field = name;
    v.units = std::string(info->units);
    v.beam_width = kBeamWidth;
    v.sweeps = make_sweeps(radials.radials, path);
    if (name != "VEL")
        for (Sweep& s : v.sweeps) s.nyquist.reset();
    // The volume header's date is 32 bits, the messages' 16: a date past
    // the messages' last (2149-06-05) is none, and the first radial's counts.
    const bool dated = archive.date > 0 && archive.date <= 0xFFFF && archive.ms < 86400000;
    v.time = dated ? seconds(archive.date, archive.ms) : radials.radials.front().time;
    if (site) v.site = site;
    else if (radials.site) v.site = radials.site;
    else if (auto s = nexrad_site(archive.icao)) v.site = s;
    else v.site = nexrad_site(radials.radar);
    return v;
}

}  // namespace nexrad

std::optional<Site> nexrad_site(const std::string& icao) {
    const std::string name = upper(icao);
    for (const Station& s : kStations)
        if (s.icao == name) return Site{s.latitude, s.longitude, s.elevation_ft * 0.3048};
    return std::nullopt;
}

}  // namespace velmora::polar
