// What an analysis in memory hands back beside its cells: the cell of every column of the plan view, up to the
// top level, and the isosurface's triangles, which Isosurface gives as one cell set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "analysis/cell_analysis.h"
#include "io/volume.h"

namespace {

using velmora::column_cells;

TEST(ColumnCells, TakesTheHighestNumberOfEveryLevelTheTopOneToo) {
    // 3 columns by 3 levels: column 0 holds a cell on the top level only, column 1 on the bottom level only,
    // column 2 two cells, the higher number on the top level.
    const std::vector<std::int32_t> grid_no = {0, 2, 1,    // z = 0
                                               0, 0, 0,    // z = 1
                                               4, 0, 3};   // z = 2, the top
    EXPECT_EQ(column_cells(grid_no, 3), (std::vector<std::int32_t>{4, 2, 3}));
    // One level alone is the top level.
    EXPECT_EQ(column_cells(std::span(grid_no).last(3), 3), (std::vector<std::int32_t>{4, 0, 3}));
    EXPECT_EQ(column_cells({}, 0), std::vector<std::int32_t>{});
}

TEST(AnalysisInMemory, SurfaceOfOneCellSetKeepsItsTriangles) {
    const velmora::SyntheticOptions o{.nx = 24, .ny = 24, .nz = 16};
    const velmora::ConvectiveCell storm{0, 0, 55, 5, 8, 3, 0};
    velmora::Volume v = velmora::synthetic_volume_of_cells(o, std::span(&storm, 1));
    const auto values = std::move(v.values);
    velmora::AnalysisSettings s;
    s.min_volume_km3 = 0;
    const velmora::AnalysisResult r = velmora::analyze_values(v, std::span(values.data(), values.size()), s);
    ASSERT_EQ(r.cells.size(), 1u);
    const velmora::SurfaceResult& surface = r.surface;
    const std::size_t nodes = surface.points.size() / 3;
    ASSERT_GT(nodes, 0u);
    ASSERT_FALSE(surface.triangles.empty());
    EXPECT_EQ(surface.triangles.size() % 3, 0u);
    for (const std::int64_t n : surface.triangles) ASSERT_TRUE(n >= 0 && static_cast<std::size_t>(n) < nodes) << n;
    // Every node is on a triangle of the cell's surface, and in the cell.
    std::vector<bool> used(nodes, false);
    for (const std::int64_t n : surface.triangles) used[static_cast<std::size_t>(n)] = true;
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
    ASSERT_EQ(surface.cell.size(), nodes);
    EXPECT_EQ(std::count(surface.cell.begin(), surface.cell.end(), 1), static_cast<std::ptrdiff_t>(nodes));
}

}  // namespace
