#include "tracking/outline.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace velmora::tracking {

namespace {

// A corner of the grid's squares: (i, j) is the lower left corner of column (i, j).
using Corner = std::array<int, 2>;
// Directions: east, north, west, south; turning left adds 1.
constexpr int kStep[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};

struct Edge {
    Corner from;
    int direction;
};

// The directed boundary edges, the inside on their left.
std::multimap<Corner, int> boundary(std::span<const std::int32_t> columns, int nx) {
    const auto inside = [&](int i, int j) {
        return i >= 0 && j >= 0 && i < nx && std::binary_search(columns.begin(), columns.end(), j * nx + i);
    };
    std::multimap<Corner, int> edges;
    for (const std::int32_t c : columns) {
        const int i = c % nx, j = c / nx;
        if (!inside(i, j - 1)) edges.insert({{i, j}, 0});           // bottom, eastwards
        if (!inside(i + 1, j)) edges.insert({{i + 1, j}, 1});       // right, northwards
        if (!inside(i, j + 1)) edges.insert({{i + 1, j + 1}, 2});   // top, westwards
        if (!inside(i - 1, j)) edges.insert({{i, j + 1}, 3});       // left, southwards
    }
    return edges;
}

// Takes the edge leaving at from that turns most to the left of the way
// arrived: a ring keeps to its own squares where two touch at a corner.
int take_edge(std::multimap<Corner, int>& edges, const Corner& from, int arrived) {
    auto [first, last] = edges.equal_range(from);
    for (const int turn : {1, 0, 3}) {
        const int want = (arrived + turn) % 4;
        for (auto e = first; e != last; ++e)
            if (e->second == want) {
                edges.erase(e);
                return want;
            }
    }
    const int d = first->second;
    edges.erase(first);
    return d;
}

double signed_area(const std::vector<Corner>& ring) {
    double a = 0;
    for (std::size_t k = 0; k + 1 < ring.size(); ++k)
        a += double(ring[k][0]) * ring[k + 1][1] - double(ring[k + 1][0]) * ring[k][1];
    return a / 2;
}

// Whether point (x, y) lies inside a ring (even-odd rule).
bool inside_ring(const std::vector<Corner>& ring, double x, double y) {
    bool in = false;
    for (std::size_t k = 0, l = ring.size() - 2; k + 1 < ring.size(); l = k++) {
        const double xi = ring[k][0], yi = ring[k][1], xj = ring[l][0], yj = ring[l][1];
        if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
    }
    return in;
}

}  // namespace

std::vector<Polygon> outline(std::span<const std::int32_t> columns, const Plane& plane) {
    const int nx = static_cast<int>(plane.x.size());
    if (columns.empty() || nx < 1 || plane.y.empty()) return {};
    std::multimap<Corner, int> edges = boundary(columns, nx);
    std::vector<std::vector<Corner>> rings;
    while (!edges.empty()) {
        const Corner start = edges.begin()->first;
        int d = edges.begin()->second;
        edges.erase(edges.begin());
        std::vector<Corner> ring{start};
        Corner at{start[0] + kStep[d][0], start[1] + kStep[d][1]};
        while (at != start) {
            // Straight runs make one side.
            const int next = take_edge(edges, at, d);
            if (next != d) ring.push_back(at);
            d = next;
            at = {at[0] + kStep[d][0], at[1] + kStep[d][1]};
        }
        ring.push_back(start);
        rings.push_back(std::move(ring));
    }
    // Outer rings turn counter-clockwise; each hole goes to the smallest outer ring around it.
    std::vector<std::size_t> outer;
    for (std::size_t r = 0; r < rings.size(); ++r)
        if (signed_area(rings[r]) > 0) outer.push_back(r);
    std::vector<std::vector<std::size_t>> holes(outer.size());
    for (std::size_t r = 0; r < rings.size(); ++r) {
        if (signed_area(rings[r]) > 0) continue;
        // A point just inside the columns beside the hole's first edge.
        const double x = (rings[r][0][0] + rings[r][1][0]) / 2.0, y = (rings[r][0][1] + rings[r][1][1]) / 2.0;
        const int dx = rings[r][1][0] - rings[r][0][0], dy = rings[r][1][1] - rings[r][0][1];
        const double px = x - 0.25 * (dy > 0) + 0.25 * (dy < 0), py = y + 0.25 * (dx > 0) - 0.25 * (dx < 0);
        std::size_t best = outer.size();
        for (std::size_t o = 0; o < outer.size(); ++o)
            if (inside_ring(rings[outer[o]], px, py) &&
                (best == outer.size() || signed_area(rings[outer[o]]) < signed_area(rings[outer[best]])))
                best = o;
        if (best < outer.size()) holes[best].push_back(r);
    }
    const double dx = plane.x.size() > 1 ? (double(plane.x.back()) - plane.x.front()) / double(plane.x.size() - 1) : 1.0;
    const double dy = plane.y.size() > 1 ? (double(plane.y.back()) - plane.y.front()) / double(plane.y.size() - 1) : 1.0;
    const auto km = [&](const std::vector<Corner>& ring) {
        Ring out;
        for (const Corner& c : ring) out.push_back({plane.x.front() + (c[0] - 0.5) * dx, plane.y.front() + (c[1] - 0.5) * dy});
        return out;
    };
    std::vector<Polygon> out;
    for (std::size_t o = 0; o < outer.size(); ++o) {
        Polygon& p = out.emplace_back();
        p.push_back(km(rings[outer[o]]));
        for (const std::size_t h : holes[o]) p.push_back(km(rings[h]));
    }
    return out;
}

}  // namespace velmora::tracking
