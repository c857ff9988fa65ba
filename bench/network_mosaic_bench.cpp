// The mosaic of a network of 12 radars against one radar alone.
//
// The radars scan as a WSR-88D does in precipitation mode (VCP 212: 14
// sweeps from 0.5 to 19.5 degrees, a ray every degree, 250 m gates to
// 230 km), and stand on a 4 x 3 lattice whose neighbours are 150 to 250 km
// apart, as an operational network's are. They all see one field of
// convective cells scattered over the network. Printed, as medians of
// --repeat runs:
//  - the time of the 12 radars' mosaic at 2 km x 2 km x 0.5 km over the
//    union of their ranges, against one radar gridded alone at its defaults
//    (1 km x 1 km x 0.5 km, 300 km square): the ratio should stay within 4;
//  - the memory the mosaic takes beyond the volumes (peak resident size,
//    each run in a child of its own) for 3, 6 and 12 radars on the same
//    grid, against the grid's own size: it should grow with the grid, not
//    with the number of radars times the grid.
//
//   build/bench/network_mosaic_bench [--repeat N]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "io/geo.h"
#include "polar/mosaic.h"

namespace {

using namespace velmora;
using namespace velmora::polar;

constexpr double kDeg = std::numbers::pi / 180.0;
const GeoOrigin kCentre{36.0, -97.5};
const std::vector<double> kVcp212{0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5};

// Radar k of 12 on the lattice, km east and north of kCentre: columns 200 km
// apart and rows 180 km, each moved up to 25 km so that neighbours stand
// 150 to 250 km apart.
std::pair<double, double> place(int k) {
    const int col = k % 4, row = k / 4;
    const double jx = 25.0 * std::sin(1.7 * k + 0.3), jy = 25.0 * std::cos(2.3 * k + 0.5);
    return {(col - 1.5) * 200.0 + jx, (row - 1.0) * 180.0 + jy};
}

// Convective cells scattered over the network: 45 to 58 dBZ cores 8 to 14 km
// across, their echo reaching 8 to 13 km; stratiform rain of 20 dBZ between
// them below 4 km, none above.
struct Storms {
    struct Cell {
        double x, y, r, core;
    };
    std::vector<Cell> cells;

    Storms() {
        for (int i = 0; i < 40; ++i)
            cells.push_back({450.0 * std::sin(3.1 * i + 1.0), 380.0 * std::cos(2.7 * i + 0.4),
                             4.0 + 3.0 * (0.5 + 0.5 * std::sin(1.3 * i)), 45.0 + 13.0 * (0.5 + 0.5 * std::cos(0.9 * i))});
    }

    float operator()(double x, double y, double z) const {
        double best = z < 4.0 ? 20.0 - 2.0 * z : -100.0;
        for (const Cell& c : cells) {
            const double dx = x - c.x, dy = y - c.y;
            if (std::fabs(dx) > 3 * c.r || std::fabs(dy) > 3 * c.r) continue;
            const double d2 = (dx * dx + dy * dy) / (c.r * c.r);
            best = std::max(best, c.core - 12.0 * d2 - 2.5 * std::max(0.0, z - 5.0));
        }
        return best < 5.0 ? kNoEcho : static_cast<float>(best);
    }
};

// Radar k's volume of the field (positions on a flat earth about the radar:
// the field is made up, only its sampling counts).
PolarVolume scan(int k, const Storms& field) {
    const auto [px, py] = place(k);
    std::vector<double> x{px}, y{py}, lat(1), lon(1);
    geographic(kCentre, x, y, lat, lon);
    PolarVolume v{.source = "radar" + std::to_string(k) + ".h5", .field = "DBZH", .units = "dBZ",
                  .site = Site{lat[0], lon[0], 300.0}, .time = 1.7e9, .sweeps = {}};
    constexpr int kGates = 920;
    for (double e : kVcp212) {
        Sweep s;
        s.fixed_angle = e, s.range_first = 125.0, s.gate_spacing = 250.0, s.gates = kGates;
        s.values.reserve(360 * kGates);
        for (int ray = 0; ray < 360; ++ray) {
            const double az = ray + 0.5, sa = std::sin(az * kDeg), ca = std::cos(az * kDeg);
            s.azimuth.push_back(static_cast<float>(az));
            s.elevation.push_back(static_cast<float>(e));
            for (int g = 0; g < kGates; ++g) {
                const double r = (125.0 + 250.0 * g) / 1000.0, d = ground_distance(r, e);
                s.values.push_back(field(px + d * sa, py + d * ca, beam_height(r, e) + 0.3));
            }
        }
        v.sweeps.push_back(std::move(s));
    }
    return v;
}

long kib_of(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    return 0;
}

struct Run {
    double seconds = 0;
    double extra_mb = 0;   // peak resident beyond the volumes
    double grid_mb = 0;    // the grid's values alone
    double xmin = 0, xmax = 0, ymin = 0, ymax = 0;   // the grid's extent
};

// One grid of the first n of the radars in a child process (which starts
// with the parent's memory: its peak is counted from there), its time and
// memory: one radar at its defaults, or the mosaic at 2 km over the union of
// the radars' ranges or over the extent of on.
Run run_in_child(const std::vector<PolarVolume>& all, std::size_t n, bool alone_at_defaults, const Run* on = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        const std::span<const PolarVolume> radars(all.data(), n);
        const long before = kib_of("VmRSS:");
        const auto t0 = std::chrono::steady_clock::now();
        Run r;
        if (alone_at_defaults) {
            const Volume g = grid_volumes(radars, GridOptions{});
            r.grid_mb = g.values.size() * 4.0 / 1e6;
        } else {
            GridOptions o{.dx = 2, .dy = 2, .dz = 0.5, .origin = kCentre};
            MosaicOptions mo;
            if (on) {
                o.xmin = on->xmin, o.xmax = on->xmax, o.ymin = on->ymin, o.ymax = on->ymax;
                mo.extent_given = true;
            }
            const Mosaic m = mosaic_volumes(radars, o, mo);
            r.grid_mb = m.grid.values.size() * 4.0 / 1e6;
            r.xmin = m.grid.x.front(), r.xmax = m.grid.x.back(), r.ymin = m.grid.y.front(), r.ymax = m.grid.y.back();
        }
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        r.extra_mb = (kib_of("VmHWM:") - before) / 1024.0;
        if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Run r;
    if (read(fds[0], &r, sizeof r) != sizeof r) std::fprintf(stderr, "a run failed\n");
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
    const Storms storms;
    std::vector<PolarVolume> radars;
    for (int k = 0; k < 12; ++k) radars.push_back(scan(k, storms));
    std::vector<double> one, twelve;
    Run last12;
    for (int i = 0; i < repeat; ++i) {
        one.push_back(run_in_child(radars, 1, true).seconds);
        last12 = run_in_child(radars, 12, false);
        twelve.push_back(last12.seconds);
    }
    const double a = median(one), b = median(twelve);
    std::printf("one radar alone, 1 x 1 x 0.5 km, its default grid:   %7.2f s\n", a);
    std::printf("12 radars' mosaic, 2 x 2 x 0.5 km, over their union: %7.2f s   ratio %.2f (at most 4)\n", b, b / a);
    std::printf("\nmemory beyond the volumes, same 2 km grid (%.0f MB of values):\n", last12.grid_mb);
    for (std::size_t n : {3, 6, 12}) {
        const Run r = n == 12 ? last12 : run_in_child(radars, n, false, &last12);
        std::printf("  %2zu radars: %7.0f MB   %.2f x the grid's values\n", n, r.extra_mb, r.extra_mb / r.grid_mb);
    }
    return 0;
}
