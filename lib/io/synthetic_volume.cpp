// The deterministic synthetic volume: convective cells, stratiform rain and
// the random generator that scatters them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "io/volume.h"

namespace velmora {

namespace {

// A smooth deterministic texture in [-1, 1] from integer grid positions.
float texture(int i, int j, int k) {
    std::uint32_t h = static_cast<std::uint32_t>(i) * 73856093u ^ static_cast<std::uint32_t>(j) * 19349663u ^
                      static_cast<std::uint32_t>(k) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xffff) / 32767.5f - 1.0f;
}

// A stratiform rain region: an ellipse of widespread light rain with a
// bright band at the melting level.
struct Stratiform {
    float x, y;       // centre, km
    float rx, ry;     // semi-axes, km
};

// The five cells and the stratiform region of the default volume.
constexpr ConvectiveCell kDefaultCells[] = {
    {-22.0f, -12.0f, 56.0f, 4.5f, 10.0f, 3.0f, 0.4f},
    {8.0f, 10.0f, 52.0f, 4.0f, 9.0f, 2.5f, 0.3f},
    {22.0f, -14.0f, 48.0f, 3.0f, 7.5f, 2.0f, 0.2f},
    {-6.0f, 18.0f, 46.0f, 3.0f, 7.0f, 2.0f, -0.2f},
    {28.0f, 16.0f, 44.0f, 2.5f, 6.0f, 1.5f, 0.0f},
};
constexpr Stratiform kDefaultStratiform{-10.0f, -20.0f, 30.0f, 12.0f};

// Grid indices [first, last] of the points within reach of centre c on an
// axis of 1 km steps starting at origin.
std::pair<std::int64_t, std::int64_t> within(float c, float reach, float origin, std::int64_t n) {
    const auto first = static_cast<std::int64_t>(std::floor(c - reach - origin));
    const auto last = static_cast<std::int64_t>(std::ceil(c + reach - origin));
    return {std::max<std::int64_t>(first, 0), std::min<std::int64_t>(last, n - 1)};
}

// The volume on a grid of nx x ny points 1 km apart centred on 0 and nz
// levels: the strongest of the stratiform rain and the cells at each point,
// with texture; what stays under 5 dBZ is no echo. Each storm is laid down
// only around itself, so that large grids with many cells stay fast: beyond
// its reach a cell is under 3 dBZ, which the texture never lifts to 5.
Volume convective_volume(std::int64_t nx, std::int64_t ny, std::int64_t nz, std::span<const ConvectiveCell> cells,
             std::span<const Stratiform> rain) {
    Volume v;
    v.name = options::text("analyze", "var");
    v.units = "dBZ";
    v.has_null = true;
    v.null_value = -9999.0f;
    // 0.5 km levels up to 10 km; more than 30 levels share the lowest 15 km.
    const float dz = std::min(0.5f, 15.0f / static_cast<float>(nz));
    const auto x0 = static_cast<float>(-(nx / 2)), y0 = static_cast<float>(-(ny / 2));
    for (std::int64_t i = 0; i < nx; ++i) v.x.push_back(x0 + static_cast<float>(i));
    for (std::int64_t j = 0; j < ny; ++j) v.y.push_back(y0 + static_cast<float>(j));
    for (std::int64_t k = 0; k < nz; ++k) v.z.push_back(dz + dz * static_cast<float>(k));
    const auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return static_cast<size_t>(i + nx * (j + ny * k)); };
    auto& ze = v.values;   // reflectivity before texture and cut-off
    ze.assign(static_cast<size_t>(nx * ny * nz), -100.0f);

    // Stratiform rain: 18-24 dBZ below 4.5 km, a bright band around it,
    // little above.
    for (const Stratiform& s : rain) {
        const auto [i0, i1] = within(s.x, s.rx + 1.0f, x0, nx);
        const auto [j0, j1] = within(s.y, s.ry + 1.0f, y0, ny);
        for (std::int64_t k = 0; k < nz; ++k) {
            const float z = v.z[static_cast<size_t>(k)];
            const float band = 6.0f * std::exp(-std::pow((z - 4.5f) / 0.5f, 2.0f));
            const float above = z > 4.5f ? (z - 4.5f) * 6.0f : 0.0f;
            for (std::int64_t j = j0; j <= j1; ++j)
                for (std::int64_t i = i0; i <= i1; ++i) {
                    const float x = v.x[static_cast<size_t>(i)], y = v.y[static_cast<size_t>(j)];
                    const float strat = 1.0f - std::hypot((x - s.x) / s.rx, (y - s.y) / s.ry);
                    if (strat <= 0.0f) continue;
                    const float base = 18.0f + 6.0f * strat;
                    float& e = ze[at(i, j, k)];
                    e = std::max(e, base + band - above);
                }
        }
    }
    for (const ConvectiveCell& c : cells) {
        // Where peak - 10 r^2 falls under 3 dBZ, plus a margin for rounding.
        const float reach = c.radius * std::sqrt(std::max(0.0f, (c.peak - 3.0f) / 10.0f)) + 1.0f;
        for (std::int64_t k = 0; k < nz; ++k) {
            const float z = v.z[static_cast<size_t>(k)];
            if (z > c.top) break;
            const float cx = c.x + c.tilt_x * z, cy = c.y;
            // Strongest at the core height, weakening to the top and a
            // little towards the ground (rain shaft).
            const float vert = z <= c.core ? 1.0f - 0.04f * (c.core - z) : 1.0f - std::pow((z - c.core) / (c.top - c.core), 2.0f);
            const auto [i0, i1] = within(cx, reach, x0, nx);
            const auto [j0, j1] = within(cy, reach, y0, ny);
            for (std::int64_t j = j0; j <= j1; ++j)
                for (std::int64_t i = i0; i <= i1; ++i) {
                    const float x = v.x[static_cast<size_t>(i)], y = v.y[static_cast<size_t>(j)];
                    const float r = std::hypot(x - cx, y - cy) / c.radius;
                    const float cz = c.peak * vert - 10.0f * r * r;
                    float& e = ze[at(i, j, k)];
                    e = std::max(e, cz);
                }
        }
    }
    for (std::int64_t k = 0; k < nz; ++k)
        for (std::int64_t j = 0; j < ny; ++j)
            for (std::int64_t i = 0; i < nx; ++i) {
                float& e = ze[at(i, j, k)];
                e += 1.2f * texture(static_cast<int>(i), static_cast<int>(j), static_cast<int>(k));
                e = e >= 5.0f ? std::round(e * 2.0f) / 2.0f : v.null_value;
            }
    return v;
}

// SplitMix64: the same numbers from a seed on every platform, which the
// standard distributions do not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    float uniform(float lo, float hi) {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return lo + (hi - lo) * (static_cast<float>(z >> 40) / 16777216.0f);
    }

private:
    std::uint64_t state_;
};

// How far a cell's echo of 20 dBZ reaches from its centre at the ground,
// the tilt of its core included.
float echo_reach(const ConvectiveCell& c) {
    return c.radius * std::sqrt(std::max(0.0f, c.peak / 10.0f - 2.0f)) + std::fabs(c.tilt_x) * c.top;
}

// n cells of random strength, size and height, placed so that their echoes
// stay apart; when the grid is too crowded for that, a cell goes where the
// last try put it and may merge with a neighbour.
std::vector<ConvectiveCell> scattered_cells(int n, std::uint32_t seed, float x0, float x1, float y0, float y1) {
    Random rnd(seed);
    std::vector<ConvectiveCell> cells;
    cells.reserve(static_cast<size_t>(n));
    for (int c = 0; c < n; ++c) {
        ConvectiveCell cell{};
        cell.peak = rnd.uniform(42.0f, 58.0f);
        cell.radius = rnd.uniform(2.0f, 4.5f);
        cell.core = rnd.uniform(1.5f, 3.5f);
        cell.top = cell.core + rnd.uniform(4.0f, 10.5f);
        cell.tilt_x = rnd.uniform(-0.4f, 0.4f);
        const float margin = std::min({4.0f, (x1 - x0) / 2.0f, (y1 - y0) / 2.0f});
        for (int attempt = 0; attempt < 1000; ++attempt) {
            cell.x = rnd.uniform(x0 + margin, x1 - margin);
            cell.y = rnd.uniform(y0 + margin, y1 - margin);
            const bool apart = std::all_of(cells.begin(), cells.end(), [&](const ConvectiveCell& o) {
                return std::hypot(cell.x - o.x, cell.y - o.y) > echo_reach(cell) + echo_reach(o) + 2.0f;
            });
            if (apart) break;
        }
        cells.push_back(cell);
    }
    return cells;
}

}  // namespace

Volume synthetic_volume(const SyntheticOptions& o) {
    if (o.nx < 2 || o.ny < 2 || o.nz < 2 || o.cells < 0)
        throw std::invalid_argument("a synthetic volume needs at least 2 points along each axis and no negative cell count");
    if (o.cells == 0) return convective_volume(o.nx, o.ny, o.nz, kDefaultCells, std::span(&kDefaultStratiform, 1));
    const float x0 = static_cast<float>(-(o.nx / 2)), y0 = static_cast<float>(-(o.ny / 2));
    const float x1 = x0 + static_cast<float>(o.nx - 1), y1 = y0 + static_cast<float>(o.ny - 1);
    const std::vector<ConvectiveCell> cells = scattered_cells(o.cells, o.seed, x0, x1, y0, y1);
    // Stratiform rain as wide as the default volume's, one region to five cells.
    Random rnd(o.seed ^ 0x5851f42du);
    std::vector<Stratiform> rain(static_cast<size_t>(std::max(1, o.cells / 5)));
    for (Stratiform& s : rain) s = {rnd.uniform(x0, x1), rnd.uniform(y0, y1), rnd.uniform(20.0f, 40.0f), rnd.uniform(8.0f, 16.0f)};
    return convective_volume(o.nx, o.ny, o.nz, cells, rain);
}

Volume synthetic_volume_of_cells(const SyntheticOptions& o, std::span<const ConvectiveCell> cells) {
    if (o.nx < 2 || o.ny < 2 || o.nz < 2)
        throw std::invalid_argument("a synthetic volume needs at least 2 points along each axis");
    return convective_volume(o.nx, o.ny, o.nz, cells, {});
}

}  // namespace velmora
