// A radar volume gridded sweep by sweep (sweep_gridding.h). The grid's
// geometry and the sums' arithmetic are grid_volumes()'s own: the columns
// placed from the radar as it places them, each sweep added by its step
// (add_sweep_sums, in gridding.cpp), and the sums turned into values as it
// turns them.
#include "polar/sweep_gridding.h"

#include <cmath>
#include <stdexcept>

#include "io/geo.h"
#include "polar/sweep_sums.h"

namespace velmora::polar {

namespace {

constexpr float kNull = -9999.0f;

// The points of an axis as grid_volumes() makes them: lo, lo + step, ...
// while within hi (a hair of slack for rounding).
std::vector<double> points(double lo, double hi, double step) {
    const int n = static_cast<int>(std::floor((hi - lo) / step + 1e-9)) + 1;
    std::vector<double> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) p[static_cast<std::size_t>(i)] = lo + step * i;
    return p;
}

}  // namespace

SweepGridder::SweepGridder(const PolarVolume& volume, const GridOptions& o) : o_(o) {
    if (std::string problem = grid_problem(o); !problem.empty()) throw std::runtime_error(problem);
    if (!volume.site)
        throw std::runtime_error(volume.source + ": the file gives no radar position; give it with --site LAT,LON,HEIGHT");
    decibels_ = averaged_as_power(volume);
    field_ = volume.field;
    units_ = volume.units;
    const Site& site = *volume.site;
    origin_ = o.origin.value_or(GeoOrigin{site.latitude, site.longitude});
    const auto xs = points(o.xmin, o.xmax, o.dx), ys = points(o.ymin, o.ymax, o.dy), zs = points(o.zmin, o.zmax, o.dz);
    const std::size_t columns = xs.size() * ys.size();
    weight_.assign(columns * zs.size(), 0.0);
    value_.assign(columns * zs.size(), 0.0);
    if (site.latitude == origin_.lat && site.longitude == origin_.lon) return;
    // A radar off the grid's origin sees the columns through their geographic positions.
    std::vector<double> gx(columns), gy(columns), lat(columns), lon(columns);
    for (std::size_t j = 0; j < ys.size(); ++j)
        for (std::size_t i = 0; i < xs.size(); ++i) gx[j * xs.size() + i] = xs[i], gy[j * xs.size() + i] = ys[j];
    geographic(origin_, gx, gy, lat, lon);
    x_.resize(columns);
    y_.resize(columns);
    projected(GeoOrigin{site.latitude, site.longitude}, lat, lon, x_, y_);
}

void SweepGridder::add(const Sweep& sweep) {
    add_sweep_sums(sweep, SweepSums{o_, decibels_, x_, y_, weight_, value_});
    ++sweeps_;
}

Volume SweepGridder::grid(std::optional<double> time) const {
    Volume grid;
    for (const double x : points(o_.xmin, o_.xmax, o_.dx)) grid.x.push_back(static_cast<float>(x));
    for (const double y : points(o_.ymin, o_.ymax, o_.dy)) grid.y.push_back(static_cast<float>(y));
    for (const double z : points(o_.zmin, o_.zmax, o_.dz)) grid.z.push_back(static_cast<float>(z));
    const std::size_t columns = grid.x.size() * grid.y.size(), levels = grid.z.size();
    grid.values.resize(columns * levels);
    for (std::size_t column = 0; column < columns; ++column)
        for (std::size_t k = 0; k < levels; ++k) {
            const double weight = weight_[column * levels + k];
            float out = kNull;
            if (weight > 0.0) {
                const double mean = value_[column * levels + k] / weight;
                if (!decibels_) out = static_cast<float>(mean);
                else if (mean > 0.0) out = static_cast<float>(10.0 * std::log10(mean));
            }
            grid.values[k * columns + column] = out;
        }
    grid.name = field_;
    grid.units = units_;
    grid.has_null = true;
    grid.null_value = kNull;
    grid.origin = origin_;
    grid.time = time;
    return grid;
}

}  // namespace velmora::polar
