// Polar radar volumes as radars record them: sweeps of rays at several
// elevations, each ray a line of range gates. The readers of the formats
// radars and archives publish (ODIM HDF5, NEXRAD Level II, CF/Radial) all
// return a PolarVolume; gridding.h maps one or several onto a Cartesian grid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::polar {

// Where a radar stands: degrees north and east, antenna height in metres
// above mean sea level.
struct Site {
    double latitude = 0.0;
    double longitude = 0.0;
    double height = 0.0;
};

// Gate values: a reading in the field's units, kMissing where the radar
// measured nothing usable (no data, range folded), kNoEcho where it looked and
// found no echo above its threshold (ODIM's undetect). Gridding averages no
// echo in as zero power and leaves missing gates out.
inline constexpr float kMissing = __builtin_nanf("");
inline constexpr float kNoEcho = -__builtin_inff();

// The most gates of the field a volume may hold: 25 sweeps of 720 rays of
// 7,456 gates, five times a WSR-88D's densest volume; their values take
// 512 MB. More is a damaged or forged file.
inline constexpr std::size_t kMaxVolumeGates = std::size_t{1} << 27;

// One sweep: rays at one elevation, all with the same range gates.
struct Sweep {
    std::string name{};            // as messages name it: "dataset3", "sweep 2", "elevation cut 5"
    double fixed_angle = 0.0;      // the elevation the sweep was scheduled at, degrees
    std::vector<float> azimuth;    // of every ray, degrees clockwise from north, [0, 360)
    std::vector<float> elevation;  // of every ray as measured, degrees
    double range_first = 0.0;      // centre of the first gate, m from the radar
    double gate_spacing = 0.0;     // m
    int gates = 0;                 // per ray
    std::vector<float> values;     // rays x gates, ray by ray
    std::optional<double> time;    // start of the sweep, s since 1970-01-01 UTC
    // What the file says of each gate's quality, rays x gates as values, or
    // empty when it says nothing (gate_filters.h filters by them): ODIM's
    // quality index (a quality group of quantity QIND, 0 worst to 1 best),
    // NEXRAD's clutter filter power removed (moment CFP, dB). NaN where a
    // gate has none.
    std::vector<float> quality;
    std::vector<float> clutter_power;
    // Of a radial velocity: the Nyquist velocity (m/s), the largest speed
    // the sweep tells apart from its folds, when the file says; of a
    // dual-PRF sweep, the extended one. nyquist_high and nyquist_low are a
    // dual-PRF sweep's two single-PRF Nyquist velocities (0 when the sweep
    // has one PRF): a gate of one ray may be off by twice either.
    std::optional<double> nyquist;
    double nyquist_high = 0.0, nyquist_low = 0.0;
    // 1 where a gate was range folded (its value kMissing: an echo from
    // beyond the unambiguous range overlaid it), rays x gates as values;
    // empty when the file marks none.
    std::vector<std::uint8_t> folded;

    std::size_t rays() const { return azimuth.size(); }
    float at(std::size_t ray, int gate) const { return values[ray * static_cast<std::size_t>(gates) + gate]; }
};

struct PolarVolume {
    std::string source;            // the file it was read from
    std::string field;             // the quantity read, as the file names it (DBZH, REF, reflectivity)
    std::string units;             // dBZ for reflectivity
    std::optional<Site> site;      // when the file or the caller says
    std::optional<double> time;    // start of the volume, s since 1970-01-01 UTC
    double beam_width = 1.0;       // half-power beam width, degrees, when the file says
    std::vector<Sweep> sweeps;     // sweeps with the field, in the order the file stores them
};

enum class PolarFormat { none, odim, nexrad, cfradial };

// What a file holds, by its content (not its name): an ODIM polar volume, a
// NEXRAD Level II volume (plain or gzip-compressed), a CF/Radial file, or
// none of them (a gridded volume, or anything else). Never throws; a file
// that cannot be opened is none.
PolarFormat polar_format(const std::string& path);

// The readers. field names the quantity; empty takes the format's
// reflectivity (ODIM DBZH, NEXRAD REF, CF/Radial the field with standard name
// equivalent_reflectivity_factor, else DBZH/DBZ/reflectivity). site, when
// given, takes precedence over the file's position. Each throws
// std::runtime_error with a message naming the file and what is wrong.
PolarVolume read_odim(const std::string& path, const std::string& field = {});
PolarVolume read_nexrad(const std::string& path, const std::string& field = {}, std::optional<Site> site = {});
PolarVolume read_cfradial(const std::string& path, const std::string& field = {});
// An ODIM file's root attributes alone: the volume's time and the radar's
// position, no sweeps. std::runtime_error as read_odim.
PolarVolume read_odim_header(const std::string& path);
// By polar_format; std::runtime_error for a file that is not a polar volume.
PolarVolume read_polar(const std::string& path, const std::string& field = {}, std::optional<Site> site = {});

// What telling a network's volumes apart by radar and time needs of a
// file: its radar's position and its volume's time (site, when given, over
// the file's), read without the sweeps where the format allows (ODIM's root
// attributes; NEXRAD's volume header, the radar's position from the table
// of sites), else from the whole volume. std::runtime_error as read_polar.
struct PolarHeader {
    std::optional<Site> site;
    std::optional<double> time;
};
PolarHeader read_polar_header(const std::string& path, std::optional<Site> site = {});

// Throws std::runtime_error "<path>: ..." when gates are more than
// kMaxVolumeGates.
void check_volume_gates(const std::string& path, std::size_t gates);

// The position of a NEXRAD site by its ICAO name (KLIX), from the station
// list; none for a name it does not know.
std::optional<Site> nexrad_site(const std::string& icao);

}  // namespace velmora::polar
