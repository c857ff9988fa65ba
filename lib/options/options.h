// Every option of every velmora command, once: its name, type, default,
// bounds, units and help. The program's command line (cli/), the Python
// functions and the batch parser (python/) and the library's own defaults
// are built from this table, so a default or bound changed here changes
// everywhere, and the checks and their messages are the same in each.
//
// Adding an option is one entry in kOptions below: the commands that take it
// (separated by spaces), its name as written after "--", its type, default
// ({} for none), bounds (inclusive; infinite ones: any finite number), units,
// the name of its value in the help (metavar) and the help itself. The
// program adds it with add_option(cmd, "name", target) (cli/table_options.h),
// a flag with add_flag(cmd, "name", setting); the Python function takes it as
// a keyword of the same name with "_" for "-" (a flag "no-x": x=True) and its
// default from velmora._options.default(), and the tests over
// the table (tests/options/, python/tests/test_options.py) check its bounds
// and docs/cli.md's table of it (`make docs-options` rewrites that table).
// An option whose meaning differs between commands (--interval of synth and
// of track) has one entry per meaning, with commands that do not overlap.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::options {

enum class Type {
    Text,      // a name, a folder or a file
    Integer,   // a whole number
    Number,    // a finite number
    Numbers,   // finite numbers separated by commas
    Flag,      // given or not; one named "no-..." turns off what is on unless it is given
};

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// The default values of a number or a list of numbers (none: no default).
struct Values {
    std::array<double, 6> v{};
    std::size_t n = 0;
    constexpr Values() = default;
    constexpr Values(std::initializer_list<double> l) {
        for (const double x : l) v[n++] = x;
    }
};

struct Option {
    std::string_view commands;   // the commands that take it, separated by spaces
    std::string_view name;       // as written after "--"
    Type type = Type::Number;
    Values value = {};           // the default of a number, or of each number of a list
    std::string_view text = {};  // the default of a text option ("" none)
    double min = -kUnbounded, max = kUnbounded;   // inclusive; infinite: any finite number
    std::string_view units = {};
    std::string_view metavar = {};
    std::string_view help = {};
    std::size_t count = 1;       // numbers in a list; 0: one or more (of a text: the option repeated)
    std::string_view choices = {};   // of a text option, separated by "|"; empty: any text

    constexpr bool has_default() const { return type == Type::Text ? !text.empty() : value.n > 0; }
    constexpr bool numeric() const { return type == Type::Integer || type == Type::Number || type == Type::Numbers; }
    // A flag "no-picture" is the setting "picture", on unless the flag is given.
    constexpr bool negated() const { return type == Type::Flag && name.starts_with("no-"); }
    constexpr std::string_view setting() const { return negated() ? name.substr(3) : name; }
    constexpr bool bounded() const { return min > -kUnbounded || max < kUnbounded; }
    constexpr bool takes(std::string_view command) const {
        std::size_t at = 0;
        while (at <= commands.size()) {
            const std::size_t end = std::min(commands.find(' ', at), commands.size());
            if (commands.substr(at, end - at) == command) return true;
            at = end + 1;
        }
        return false;
    }
};

// The commands that read volumes, gridded or polar.
#define VELMORA_ANALYSES "analyze track watch view batch"
#define VELMORA_POLAR "analyze grid track watch view batch"
// The commands that make several radars' volumes of one time one mosaic.
#define VELMORA_MOSAIC "analyze grid watch"
#define VELMORA_HAIL "analyze track watch batch"

inline constexpr Option kOptions[] = {
    // How a volume is analyzed.
    {.commands = VELMORA_ANALYSES, .name = "var", .type = Type::Text, .text = "DT", .metavar = "NAME",
     .help = "The reflectivity variable of gridded volumes"},
    {.commands = VELMORA_ANALYSES, .name = "level", .value = {40}, .min = -100, .max = 100, .units = "dBZ",
     .metavar = "DBZ", .help = "The reflectivity level of the cells"},
    {.commands = VELMORA_ANALYSES, .name = "min-cells", .type = Type::Integer, .value = {8}, .min = 0,
     .max = 2147483647, .metavar = "N",
     .help = "Areas of at most this many cells of the division modules (triangles of the isosurface, tetrahedra of "
             "the isovolume, four per voxel), not voxels, are dropped; 0 keeps every area"},
    {.commands = VELMORA_ANALYSES, .name = "min-volume", .value = {10}, .min = 0, .max = 1e9, .units = "km³",
     .metavar = "KM3",
     .help = "Cells of less volume than this (the sum of their voxels' volumes) are left out of every result: "
             "ground clutter and specks are a few voxels, a convective cell tens of km³ (TITAN's storms); 0 keeps "
             "every cell"},
    {.commands = "analyze view", .name = "time", .type = Type::Integer, .min = 0, .max = 2147483647,
     .metavar = "INDEX",
     .help = "The time step to analyze in a file of several (0 first); without it, such a file is refused"},
    // The default keeps an analysis within a few GB of memory.
    {.commands = "analyze", .name = "max-voxels", .type = Type::Integer, .value = {100'000'000}, .min = 1,
     .max = 2e9, .metavar = "N",
     .help = "Volumes of more voxels are refused before they are read (an analysis takes about 13 bytes of memory "
             "per voxel)"},
    {.commands = "analyze", .name = "compress", .type = Type::Text, .text = "lz4", .metavar = "none|lz4|zlib",
     .help = "How the data of the VTK XML files is compressed: lz4 (fast), zlib (smaller, slower) or none",
     .choices = "none|lz4|zlib"},
    {.commands = "analyze", .name = "echo-tops", .type = Type::Numbers, .value = {18, 30, 40, 50}, .min = -100,
     .max = 100, .units = "dBZ", .metavar = "DBZ,...",
     .help = "The levels of the echo tops in cell_properties.csv, separated by commas", .count = 0},
    {.commands = "analyze", .name = "split-levels", .type = Type::Numbers, .min = -100, .max = 100, .units = "dBZ",
     .metavar = "DBZ,...",
     .help = "Divide each cell holding two or more separate cores at the first of these levels (rising, above "
             "--level, separated by commas), then the parts at the next",
     .count = 0},
    {.commands = "analyze", .name = "min-core", .type = Type::Integer, .value = {8}, .min = 1, .max = 2e9,
     .metavar = "N", .help = "With --split-levels: the fewest voxels a region at a split level needs to be a core"},
    // Hail.
    {.commands = VELMORA_HAIL, .name = "freezing-level", .min = -1, .max = 20, .units = "km", .metavar = "KM",
     .help = "The height of the 0 °C level above sea level: with --minus20-level, the hail of each cell (SHI, MESH, "
             "POSH, POH) and mesh.nc"},
    {.commands = VELMORA_HAIL, .name = "minus20-level", .min = -1, .max = 25, .units = "km", .metavar = "KM",
     .help = "The height of the -20 °C level above sea level"},
    {.commands = VELMORA_HAIL, .name = "sounding", .type = Type::Text, .metavar = "FILE",
     .help = "A sounding (CSV of height in m above sea level and temperature in °C) the 0 °C and -20 °C levels are "
             "interpolated from, instead of --freezing-level and --minus20-level"},
    // Polar volumes and their grid.
    {.commands = VELMORA_POLAR, .name = "field", .type = Type::Text, .metavar = "NAME",
     .help = "Of polar volumes: the quantity to grid (ODIM what/quantity, NEXRAD moment, CF/Radial variable), "
             "or azshear or divergence (of the dealiased radial velocity, s-1); default the reflectivity"},
    {.commands = VELMORA_POLAR, .name = "site", .type = Type::Numbers, .metavar = "LAT,LON,HEIGHT",
     .help = "Of a polar volume: the radar's latitude, longitude (degrees) and antenna height (m above sea level), "
             "over what the file says; needed for NEXRAD files of stations velmora does not know",
     .count = 3},
    {.commands = VELMORA_POLAR, .name = "spacing", .type = Type::Numbers, .value = {1, 1, 0.5}, .min = 0.01,
     .max = 100, .units = "km", .metavar = "DX,DY,DZ", .help = "Of the grid of polar volumes", .count = 3},
    {.commands = VELMORA_POLAR, .name = "extent", .type = Type::Numbers, .value = {-150, 150, -150, 150},
     .min = -10000, .max = 10000, .units = "km", .metavar = "XMIN,XMAX,YMIN,YMAX",
     .help = "Of the grid of polar volumes: east and north of its origin; of several radars' mosaic, by default "
             "every radar's range", .count = 4},
    {.commands = VELMORA_POLAR, .name = "levels", .type = Type::Numbers, .value = {0.5, 15}, .min = -1, .max = 100,
     .units = "km", .metavar = "BOTTOM,TOP",
     .help = "Of the grid of polar volumes: the lowest and highest level above the radar (of several radars' "
             "mosaic, above sea level)", .count = 2},
    {.commands = VELMORA_POLAR, .name = "origin", .type = Type::Numbers, .metavar = "LAT,LON",
     .help = "Of the grid of polar volumes: its centre; default the radar (of several, the network's centre)",
     .count = 2},
    {.commands = VELMORA_POLAR, .name = "roi-min", .value = {0.5}, .min = 0.01, .max = 1000, .units = "km",
     .metavar = "KM", .help = "The smallest radius of influence of a grid point"},
    {.commands = VELMORA_POLAR, .name = "roi-angle", .value = {1.5}, .min = 0, .max = 3, .units = "degrees",
     .metavar = "DEG", .help = "The angle by which the radius of influence widens with range"},
    // Several radars' mosaic (polar/mosaic.h).
    {.commands = VELMORA_MOSAIC, .name = "combine", .type = Type::Text, .text = "weighted",
     .metavar = "weighted|nearest|max",
     .help = "Of several radars: how their values at a point make one: weighted (by distance from the radar and "
             "the beam's height, among the radars within 2 dB of the strongest echo there), nearest (the radar of the "
             "greatest weight) or max",
     .choices = "weighted|nearest|max"},
    {.commands = VELMORA_MOSAIC, .name = "max-age", .value = {300}, .min = 0, .max = 1e9, .units = "s",
     .metavar = "S", .help = "Of several radars: the most seconds between their volumes' times; further apart, refused"},
    {.commands = VELMORA_MOSAIC, .name = "calibrate", .type = Type::Text, .metavar = "REFERENCE",
     .help = "Of several radars: bring every radar to the level of this one (its file or name) by the median "
             "differences where they overlap, before combining"},
    {.commands = VELMORA_POLAR, .name = "min-quality", .min = 0, .max = 1, .metavar = "Q",
     .help = "Of ODIM volumes with a quality index (quality group QIND): gates of a lower index are left out as "
             "missing; off unless given"},
    {.commands = VELMORA_POLAR, .name = "max-clutter-power", .min = -1000, .max = 1000, .units = "dB",
     .metavar = "DB",
     .help = "Of NEXRAD volumes with the clutter filter power removed (moment CFP): gates from which the filter "
             "removed more are left out as missing; off unless given"},
    // Tracks and forecasts.
    {.commands = "track watch verify", .name = "max-speed", .value = {45}, .min = 0.1, .max = 500, .units = "m/s",
     .metavar = "M/S",
     .help = "No link moves faster, but for a cell covering most of the footprint predicted for it (the same storm, "
             "however fast); no forecast moves faster"},
    {.commands = "track watch", .name = "max-gap", .value = {0}, .min = 0, .max = 1e9, .units = "s",
     .metavar = "S", .help = "Volumes further apart end the tracks; 0: twice the usual interval of the series"},
    {.commands = "track verify", .name = "interval", .value = {300}, .min = 1, .max = 1e9, .units = "s",
     .metavar = "S", .help = "The time between volumes that have no time of their own"},
    {.commands = "watch verify", .name = "leads", .type = Type::Numbers, .value = {10, 20, 30, 45, 60}, .min = 0.5,
     .max = 360, .units = "min", .metavar = "MIN,...", .help = "The lead times of the forecasts", .count = 0},
    // The watcher.
    {.commands = "watch", .name = "settle", .value = {2}, .min = 0, .max = 3600, .units = "s", .metavar = "S",
     .help = "Seconds a file must stay unchanged before it is read"},
    {.commands = "watch", .name = "reorder-window", .type = Type::Integer, .value = {2}, .min = 0, .max = 50,
     .units = "volumes", .metavar = "N",
     .help = "Volumes a late volume may be older than the newest and still be put in its place"},
    {.commands = "watch", .name = "poll", .value = {1}, .min = 0.05, .max = 3600, .units = "s", .metavar = "S",
     .help = "Seconds between looks at the folder when nothing else wakes the watcher"},
    {.commands = "watch", .name = "once", .type = Type::Flag,
     .help = "Process what is there (waiting for files still settling) and exit"},
    {.commands = "watch", .name = "no-inotify", .type = Type::Flag,
     .help = "Look at the folder every --poll seconds only (network file systems)"},
    // The defaults: MESH of 25 mm, hail of an inch, the size the US National
    // Weather Service calls severe; POSH of 50 %, where the Severe Hail Index
    // reaches the warning threshold of the WSR-88D hail detection algorithm
    // (Witt et al. 1998, Wea. Forecasting 13, 286-303).
    {.commands = "watch", .name = "alert", .type = Type::Text, .text = "mesh_mm=25 posh_pct=50",
     .metavar = "PROPERTY=VALUE",
     .help = "A cell property and the threshold at which its track is alerted, once (repeat for several); the "
             "defaults are measured only with the hail levels; --alert none records no alert",
     .count = 0},
    {.commands = "watch", .name = "view", .type = Type::Flag,
     .help = "Serve the folder's console (velmora view OUT) while watching"},
    {.commands = "watch", .name = "no-browser", .type = Type::Flag,
     .help = "With --view: print the console's URL only; start no browser"},
    {.commands = "watch", .name = "chunk-timeout", .value = {600}, .min = 1, .max = 1e6, .units = "s",
     .metavar = "S",
     .help = "Seconds after its newest chunk that a NEXRAD chunked volume still not complete is recorded as failed"},
    // A network's radars scan within seconds of one another (their volumes
    // arrive within about 20 s of each other in a national feed): a minute
    // leaves room for a slow link without holding the mosaic for long.
    {.commands = "watch", .name = "deadline", .value = {60}, .min = 0, .max = 86400, .units = "s", .metavar = "S",
     .help = "Of a network (one folder per radar): seconds after a time step's first volume came that its mosaic is "
             "made with the radars whose volumes came, the others named"},
    // Flags: what is drawn and said.
    {.commands = "analyze", .name = "no-picture", .type = Type::Flag, .help = "Do not render cells.png and plan.png"},
    {.commands = "analyze", .name = "seams", .type = Type::Flag,
     .help = "Of several radars' mosaic: draw on plan.png the seams, where the radar whose view was kept at the "
             "column's highest value changes"},
    {.commands = "analyze", .name = "report", .type = Type::Flag,
     .help = "Also write report.html: the 3-D scene, the plan view and the cells in one file that opens from disk "
             "with no server and no network"},
    {.commands = "analyze", .name = "timings", .type = Type::Flag,
     .help = "Print the time each step takes and the memory of the process after it (to standard error)"},
    {.commands = "grid", .name = "timings", .type = Type::Flag,
     .help = "Print the time of reading, gridding and writing (to standard error)"},
    {.commands = "track", .name = "timings", .type = Type::Flag,
     .help = "Print the time of the analyses and of tracking (to standard error)"},
    {.commands = "track", .name = "pictures", .type = Type::Flag,
     .help = "Draw each volume's pictures too (cells.png, plan.png, mesh.png)"},
    {.commands = "batch", .name = "pictures", .type = Type::Flag,
     .help = "Draw each volume's pictures (cells.png, plan.png) in its folder under DIR"},
    {.commands = "track", .name = "no-picture", .type = Type::Flag,
     .help = "Draw no picture at all, not even tracks.png, hail_swath.png and rotation_tracks.png"},
    {.commands = "watch", .name = "no-picture", .type = Type::Flag,
     .help = "Do not render each volume's cells.png and plan.png"},
    {.commands = "batch", .name = "no-picture", .type = Type::Flag, .help = "No pictures (the default; kept for scripts)"},
    {.commands = "batch", .name = "no-progress", .type = Type::Flag, .help = "No progress bar"},
    {.commands = "synth", .name = "winds", .type = Type::Flag,
     .help = "Also write wind components u, v, w (m/s) as wind retrievals do, for velmora view's arrows"},
    {.commands = VELMORA_POLAR, .name = "no-despeckle", .type = Type::Flag,
     .help = "Of polar volumes: keep isolated gates with echo (by default a gate with echo none of whose eight "
             "neighbours in range and azimuth has any becomes no echo before gridding)"},
    {.commands = VELMORA_POLAR, .name = "dealias", .type = Type::Flag,
     .help = "Of a radial velocity (--field VRADH, VEL): unfold it past the Nyquist velocity before gridding "
             "(region-based, each sweep against the one below); a sweep without a Nyquist velocity in the file is "
             "gridded as measured, with a note"},
    // Where results go.
    {.commands = "analyze", .name = "out", .type = Type::Text, .text = "velmora-analysis", .metavar = "DIR",
     .help = "The folder the results are written to"},
    {.commands = "track", .name = "out", .type = Type::Text, .text = "velmora-tracks", .metavar = "DIR",
     .help = "The folder of the results"},
    {.commands = "watch", .name = "out", .type = Type::Text, .text = "velmora-watch", .metavar = "DIR",
     .help = "The folder of the results and of the watcher's state"},
    {.commands = "view", .name = "out", .type = Type::Text, .text = "velmora-view", .metavar = "DIR",
     .help = "The only folder the modules write in (views saved by WriteXform)"},
    {.commands = "verify", .name = "out", .type = Type::Text, .metavar = "FILE",
     .help = "Also write the table as CSV (the columns of velmora watch's verify.csv)"},
    {.commands = "grid", .name = "out", .type = Type::Text, .metavar = "GRID.nc", .help = "The NetCDF file to write"},
    {.commands = "report", .name = "out", .type = Type::Text, .metavar = "FILE", .help = "The HTML file (DIR/report.html)"},
    {.commands = "report", .name = "volumes", .type = Type::Integer, .value = {24}, .min = 1, .max = 1000,
     .metavar = "N", .help = "The newest volumes whose plan views the report holds"},
    {.commands = "batch", .name = "out", .type = Type::Text, .metavar = "DIR",
     .help = "Write each volume's results to DIR/<file stem>/ and the combined table to DIR/cells.csv"},
    // The batch's Dask cluster.
    {.commands = "batch", .name = "scheduler", .type = Type::Text, .metavar = "ADDRESS",
     .help = "The Dask scheduler of a running cluster (tcp://HOST:PORT); the workers must see the files and DIR at "
             "the same paths"},
    {.commands = "batch", .name = "workers", .type = Type::Integer, .min = 1, .max = 10000, .metavar = "N",
     .help = "Worker processes of the cluster started on this machine (default: one per core)"},
    {.commands = "batch", .name = "retries", .type = Type::Integer, .value = {1}, .min = 0, .max = 100,
     .metavar = "N", .help = "Times a failed volume is tried again"},
    // The browser view.
    {.commands = "view", .name = "no-browser", .type = Type::Flag, .help = "Print the URL only; start no browser"},
    {.commands = "view", .name = "port", .type = Type::Integer, .value = {0}, .min = 0, .max = 65535,
     .metavar = "PORT", .help = "The port on 127.0.0.1; 0 takes a free one"},
    {.commands = "view", .name = "xform", .type = Type::Text, .metavar = "FILE.v",
     .help = "Open with the view of the last record of a WriteXform file"},
    // The synthetic volumes.
    {.commands = "synth", .name = "nx", .type = Type::Integer, .value = {80}, .min = 2, .max = 100000,
     .metavar = "N", .help = "Grid points west to east, 1 km apart"},
    {.commands = "synth", .name = "ny", .type = Type::Integer, .value = {60}, .min = 2, .max = 100000,
     .metavar = "N", .help = "Grid points south to north, 1 km apart"},
    {.commands = "synth", .name = "nz", .type = Type::Integer, .value = {20}, .min = 2, .max = 10000,
     .metavar = "N", .help = "Levels: 0.5 km apart from 0.5 km; more than 30 share the lowest 15 km"},
    // Each scattered cell looks for room among the others: the work grows
    // with the square of their number.
    {.commands = "synth", .name = "cells", .type = Type::Integer, .value = {0}, .min = 0, .max = 10000,
     .metavar = "N",
     .help = "Convective cells scattered over the grid from --seed; 0 places the five cells of the built-in scene"},
    {.commands = "synth", .name = "seed", .type = Type::Integer, .value = {1}, .min = 0, .max = 4294967295.0,
     .metavar = "N", .help = "The seed of the scattered cells"},
    {.commands = "synth", .name = "series", .type = Type::Integer, .min = 2, .max = 1000, .metavar = "N",
     .help = "Write a series of this many volumes of moving cells (one fast, one that splits, two that merge, one "
             "that grows, one that decays) into the folder OUT, with the true tracks in truth.csv"},
    {.commands = "synth", .name = "interval", .value = {300}, .min = 1, .max = 86400, .units = "s",
     .metavar = "S", .help = "The time between the volumes of a series"},
    // Networks.
    {.commands = "run", .name = "dump", .type = Type::Text, .metavar = "FILE",
     .help = "After the run, write the whole object tree to FILE as JSON: every field, every instance's parameters "
             "and outputs, the reported texts in order. A dump reads back as a network file."},
    {.commands = "run", .name = "set", .type = Type::Text, .metavar = "INSTANCE.PARAM=VALUE",
     .help = "Override a parameter after the file's values; VALUE is JSON (a number, a list, an object) or, for a "
             "string parameter, plain text. Repeatable.",
     .count = 0},
    {.commands = "run", .name = "verbose", .type = Type::Flag,
     .help = "Note each call, its result and the dump on standard error"},
    {.commands = "run", .name = "allow-writes-anywhere", .type = Type::Flag,
     .help = "Let the writer modules write files outside the folder the run runs in"},
    {.commands = "run", .name = "dump-limit", .type = Type::Integer, .value = {20'000'000}, .min = 1, .max = 1e18,
     .metavar = "N",
     .help = "The most values (array elements and strings) a dump may hold; a larger tree is not dumped and the run "
             "ends with status 1"},
};

#undef VELMORA_ANALYSES
#undef VELMORA_POLAR
#undef VELMORA_MOSAIC
#undef VELMORA_HAIL

// Every command the table knows, in the order the program's help lists them.
inline constexpr std::string_view kCommands[] = {"run",   "analyze", "synth",  "track", "grid",
                                                 "view",  "watch",   "verify", "report", "batch"};

// The option name of command; a name not in the table does not compile
// where it is asked for in a constant expression, and throws otherwise.
constexpr const Option& option(std::string_view command, std::string_view name) {
    for (const Option& o : kOptions)
        if (o.name == name && o.takes(command)) return o;
    throw std::out_of_range("velmora " + std::string(command) + " has no option --" + std::string(name));
}

// The default of a number option (its first number for a list).
constexpr double number(std::string_view command, std::string_view name) {
    const Option& o = option(command, name);
    if (o.value.n == 0) throw std::logic_error("--" + std::string(name) + " has no default");
    return o.value.v[0];
}

constexpr std::string_view text(std::string_view command, std::string_view name) {
    return option(command, name).text;
}

// The default numbers of a list option.
std::vector<double> numbers(std::string_view command, std::string_view name);
// The default texts of a repeated text option (separated by spaces in the table).
std::vector<std::string> texts(const Option& o);

// The options of command, in the table's order.
std::vector<const Option*> of(std::string_view command);

// Why text is not a value of o, as one line that gives its bounds and units
// ("200 is not from -100 to 100 dBZ", "not a finite number from 1 to 300 s:
// \"nan\""); empty when it is one. The front ends put the option's name
// before it.
std::string problem(const Option& o, std::string_view text);
// The same of a number already read.
std::string problem(const Option& o, double value);

// The bounds as one writes them: "from -100 to 100 dBZ", "any finite number".
std::string bounds(const Option& o);
// The default as one writes it: "40", "10,20,30,45,60", "DT"; empty for none.
std::string default_text(const Option& o);
// The options of command as a Markdown table (option, default, bounds,
// meaning): what docs/cli.md shows of them.
std::string markdown(std::string_view command);
// v as one writes it: whole numbers in full, others in %g.
std::string plain_number(double v);

}  // namespace velmora::options
