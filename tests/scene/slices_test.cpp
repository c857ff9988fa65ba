// CreateRainSlice's planes cut through a grid: the nodes lie on the plane
// and carry the field's trilinear value there; quads without echo or beside
// a missing node are left out; the node budget holds.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/slices.h"

namespace {

using namespace velmora::scene;

// 11 x 9 x 6 nodes, 1 km apart across, 0.5 km up, from (-5, -4, 0); the
// field 20 + x + 2 y + 4 z, which trilinear interpolation reproduces.
struct Grid {
    velmora::Volume axes;
    std::vector<float> values;
    Grid() {
        for (int i = 0; i < 11; ++i) axes.x.push_back(-5.0f + i);
        for (int j = 0; j < 9; ++j) axes.y.push_back(-4.0f + j);
        for (int k = 0; k < 6; ++k) axes.z.push_back(0.5f * k);
        for (float z : axes.z)
            for (float y : axes.y)
                for (float x : axes.x) values.push_back(20.0f + x + 2 * y + 4 * z);
    }
    float at(float x, float y, float z) const { return 20.0f + x + 2 * y + 4 * z; }
};

// Each quad a parallelogram of the lattice: its corners in turn along one
// direction in the plane, then the other, and back.
void expect_parallelograms(const SliceMesh& m) {
    ASSERT_EQ(m.quads.size() % 5, 0u);
    for (std::size_t q = 0; q < m.quads.size(); q += 5) {
        ASSERT_EQ(m.quads[q], 4u);
        float p[4][3];
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < 3; ++k) p[c][k] = m.xyz.at(3 * m.quads[q + 1 + c] + k);
        float side = 0, across = 0;
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(p[1][k] - p[0][k], p[2][k] - p[3][k], 1e-4) << "quad " << q / 5;
            EXPECT_NEAR(p[3][k] - p[0][k], p[2][k] - p[1][k], 1e-4) << "quad " << q / 5;
            side += (p[1][k] - p[0][k]) * (p[1][k] - p[0][k]);
            across += (p[3][k] - p[0][k]) * (p[3][k] - p[0][k]);
        }
        EXPECT_GT(side, 1e-6f);
        EXPECT_GT(across, 1e-6f);
    }
}

TEST(CutPlane, NodesOnThePlaneCarryTheFieldThere) {
    const Grid g;
    // Vertical, 30 degrees from the y axis, through (1, 0.5, 0); and one
    // tilted against every axis.
    const double a = M_PI / 6;
    for (const SlicePlane& plane : {SlicePlane{{1.0, 0.5, 0.0}, {std::cos(a), -std::sin(a), 0.0}},
                                    SlicePlane{{0.5, -1.0, 1.2}, {0.3, 0.5, 0.8}}}) {
        SliceMesh m;
        cut_plane(plane, g.axes, g.values, false, 0.0f, -1000.0f, 1'000'000, m);
        ASSERT_FALSE(m.quads.empty());
        ASSERT_EQ(m.xyz.size(), 3 * m.values.size());
        const double len = std::sqrt(plane.normal[0] * plane.normal[0] + plane.normal[1] * plane.normal[1] +
                                     plane.normal[2] * plane.normal[2]);
        for (std::size_t n = 0; n < m.values.size(); ++n) {
            const float x = m.xyz[3 * n], y = m.xyz[3 * n + 1], z = m.xyz[3 * n + 2];
            const double off = ((x - plane.origin[0]) * plane.normal[0] + (y - plane.origin[1]) * plane.normal[1] +
                                (z - plane.origin[2]) * plane.normal[2]) / len;
            EXPECT_NEAR(off, 0.0, 1e-4) << "node " << n;
            EXPECT_NEAR(m.values[n], g.at(x, y, z), 1e-3) << "node " << n;
            EXPECT_TRUE(x >= -5 && x <= 5 && y >= -4 && y <= 4 && z >= 0 && z <= 2.5) << "node " << n << " outside the grid";
        }
        expect_parallelograms(m);
        // Every node used by a quad.
        std::vector<bool> used(m.values.size(), false);
        for (std::size_t q = 0; q < m.quads.size(); q += 5)
            for (int c = 1; c <= 4; ++c) used.at(m.quads[q + c]) = true;
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
    }
}

// A plane across an axis samples the grid's own nodes, edge to edge,
// on the grid's boundary too.
TEST(CutPlane, AcrossAnAxisSpansTheGridEdgeToEdge) {
    const Grid g;
    for (const double x : {0.0, -5.0, 5.0}) {
        SliceMesh m;
        cut_plane({{x, 0.0, 0.0}, {1.0, 0.0, 0.0}}, g.axes, g.values, false, 0.0f, -1000.0f, 1'000'000, m);
        ASSERT_EQ(m.values.size(), 9u * 6u) << "x " << x;
        EXPECT_EQ(m.quads.size(), 8u * 5u * 5u);
        float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t n = 0; n < m.values.size(); ++n)
            for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], m.xyz[3 * n + k]), hi[k] = std::max(hi[k], m.xyz[3 * n + k]);
        EXPECT_FLOAT_EQ(lo[1], -4.0f);
        EXPECT_FLOAT_EQ(hi[1], 4.0f);
        EXPECT_FLOAT_EQ(lo[2], 0.0f);
        EXPECT_FLOAT_EQ(hi[2], 2.5f);
        expect_parallelograms(m);
    }
    // A grid of one level has no cells to cut.
    Grid flat;
    flat.axes.z.resize(1);
    flat.values.resize(11 * 9);
    SliceMesh none;
    cut_plane({{0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}}, flat.axes, flat.values, false, 0.0f, -1000.0f, 1'000'000, none);
    EXPECT_TRUE(none.quads.empty());
}

TEST(CutPlane, LeavesOutQuadsWithoutEchoOrBesideAMissingNode) {
    Grid g;
    SliceMesh all, strong, holed;
    const SlicePlane across_x{{0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}};
    cut_plane(across_x, g.axes, g.values, false, 0.0f, -1000.0f, 1'000'000, all);
    // Along x = 0 the field is 20 + 2 y + 4 z: from 24 up, y > 1 - 2 z.
    cut_plane(across_x, g.axes, g.values, false, 0.0f, 24.0f, 1'000'000, strong);
    EXPECT_LT(strong.quads.size(), all.quads.size());
    for (std::size_t q = 0; q < strong.quads.size(); q += 5) {
        float sum = 0;
        for (int c = 1; c <= 4; ++c) sum += strong.values[strong.quads[q + c]];
        EXPECT_GE(sum / 4, 24.0f);
    }
    // The node (x 0, y 0, z 1) null: the quads around it go, the others stay.
    g.values[5 + 11 * (4 + 9 * 2)] = -9999.0f;
    cut_plane(across_x, g.axes, g.values, true, -9999.0f, -1000.0f, 1'000'000, holed);
    EXPECT_EQ(holed.quads.size(), all.quads.size() - 4 * 5);
    for (float v : holed.values) EXPECT_GT(v, -100.0f);
}

TEST(CutPlane, KeepsToTheNodeBudgetAndMissesAPlaneOutsideTheGrid) {
    const Grid g;
    SliceMesh fine, coarse, outside;
    const SlicePlane diagonal{{0.0, 0.0, 1.0}, {1.0, 1.0, 0.0}};
    cut_plane(diagonal, g.axes, g.values, false, 0.0f, -1000.0f, 1'000'000, fine);
    cut_plane(diagonal, g.axes, g.values, false, 0.0f, -1000.0f, 40, coarse);
    EXPECT_LE(coarse.values.size(), 40u);
    EXPECT_GT(coarse.values.size(), 0u);
    EXPECT_LT(coarse.values.size(), fine.values.size());
    cut_plane({{0.0, 0.0, 9.0}, {0.0, 0.0, 1.0}}, g.axes, g.values, false, 0.0f, -1000.0f, 1'000'000, outside);
    EXPECT_TRUE(outside.quads.empty());
    EXPECT_EQ(slices_mesh_layer(outside, "DT", "dBZ", *std::make_unique<Pack>())["kind"], "empty");
}

}  // namespace
