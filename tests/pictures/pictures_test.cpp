// The pictures, checked through what the drawing says it placed (its
// layout) and the pixels read back: the plan view's transparent no-echo
// columns, its title's time and the radar at its place; cell numbers that
// never overlap on real volumes; colours of touching cells that differ; the
// rotation tracks' colours; the 3-D picture and the pictures of analyze and track.
#include "pictures/pictures.h"

#include <gtest/gtest.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPNGReader.h>
#include <vtkPointData.h>
#include <vtkUnsignedCharArray.h>

#include <array>
#include <cmath>
#include <fstream>
#include <sstream>

#include "analysis/analyze.h"
#include "app_test.h"
#include "host.h"
#include "tracking/track_run.h"

namespace {

namespace fs = std::filesystem;
using velmora::PictureLayout;
using velmora::PlanView;

const std::string kData = VELMORA_SOURCE_DIR "/../shared/data/";

struct Image {
    vtkSmartPointer<vtkImageData> data;
    int width = 0, height = 0;
    // The colour at a pixel counted from the top left, as the layout counts.
    std::array<int, 3> at(double x, double y) const {
        auto* rgb = vtkUnsignedCharArray::SafeDownCast(data->GetPointData()->GetScalars());
        const int i = static_cast<int>(x), j = height - 1 - static_cast<int>(y);   // PNG rows read bottom up
        const vtkIdType k = static_cast<vtkIdType>(j) * width + i;
        return {int(rgb->GetComponent(k, 0)), int(rgb->GetComponent(k, 1)), int(rgb->GetComponent(k, 2))};
    }
};

Image read_png(const std::string& path) {
    vtkNew<vtkPNGReader> r;
    EXPECT_TRUE(r->CanReadFile(path.c_str())) << path;
    r->SetFileName(path.c_str());
    r->Update();
    int d[3];
    r->GetOutput()->GetDimensions(d);
    return {r->GetOutput(), d[0], d[1]};
}

// The highest value of each column, NaN where none (x fastest).
std::vector<float> column_max(const velmora::Volume& v) {
    const std::size_t nx = v.x.size(), ny = v.y.size();
    std::vector<float> top(nx * ny, NAN);
    for (std::size_t k = 0; k < v.z.size(); ++k)
        for (std::size_t c = 0; c < nx * ny; ++c) {
            const float value = v.values[k * nx * ny + c];
            if (v.has_null && value == v.null_value) continue;
            if (!(top[c] >= value)) top[c] = value;
        }
    return top;
}

bool overlap(const PictureLayout::Box& a, const PictureLayout::Box& b) {
    return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

// No two boxes share a pixel: the message names the first two that do.
std::string overlapping(const std::vector<PictureLayout::Box>& boxes) {
    for (std::size_t i = 0; i < boxes.size(); ++i)
        for (std::size_t j = i + 1; j < boxes.size(); ++j)
            if (overlap(boxes[i], boxes[j]))
                return std::to_string(boxes[i].no) + " and " + std::to_string(boxes[j].no) + " overlap";
    return "";
}

// The synthetic volume as it would lie about Darwin at the CPOL volume's time.
class PlanPictureTest : public ::testing::Test {
protected:
    vtest::TempDir dir;
    velmora::Volume v = velmora::synthetic_volume();
    std::vector<float> top;
    std::vector<std::int32_t> plan;
    void SetUp() override {
        v.origin = velmora::GeoOrigin{-12.2457, 131.0444};
        v.time = 1137718208.0;   // 2006-01-20T00:50:08Z
        top = column_max(v);
        plan.assign(top.size(), 0);
    }
    PlanView view() {
        PlanView p;
        p.x = v.x;
        p.y = v.y;
        p.column_max = top;
        p.plan = plan;
        p.title = "synthetic";
        p.context = velmora::map_context(v);
        return p;
    }
};

TEST_F(PlanPictureTest, NoEchoIsTransparentTitleHasTheTimeRadarAtItsPlace) {
    const PictureLayout layout = velmora::render_plan_png(view(), dir.file("plan.png"));
    EXPECT_NE(layout.title.find("2006-01-20T00:50:08Z"), std::string::npos) << layout.title;
    // The radar is at the grid's origin, where the layout puts x = y = 0.
    ASSERT_TRUE(layout.radar);
    EXPECT_NEAR((*layout.radar)[0], layout.origin_x, 0.5);
    EXPECT_NEAR((*layout.radar)[1], layout.origin_y, 0.5);
    const Image png = read_png(dir.file("plan.png"));
    const auto marker = png.at((*layout.radar)[0], (*layout.radar)[1]);   // the marker's dark cross
    EXPECT_LT(marker[0] + marker[1] + marker[2], 3 * 128);
    // Columns below 5 dBZ (the scene has many, down to no echo at all) show
    // the white ground, not a colour of the scale; echo shows its colour.
    const std::size_t nx = v.x.size();
    int quiet = 0, white = 0, strong = 0, coloured = 0;
    for (std::size_t c = 0; c < top.size(); ++c) {
        const double px = layout.origin_x + v.x[c % nx] * layout.scale, py = layout.origin_y - v.y[c / nx] * layout.scale;
        const auto rgb = png.at(px, py);
        if (!(top[c] >= 5.0f)) {
            ++quiet;
            white += rgb == std::array<int, 3>{255, 255, 255};
        } else if (top[c] >= 50.0f && top[c] < 55.0f) {
            ++strong;
            coloured += rgb == std::array<int, 3>{253, 0, 0};   // the 50 dBZ step's red
        }
    }
    ASSERT_GT(quiet, 100);
    EXPECT_GT(white, quiet * 8 / 10);   // the rest under range rings and their texts
    ASSERT_GT(strong, 5);
    EXPECT_GT(coloured, strong * 8 / 10);
}

TEST_F(PlanPictureTest, WithoutOriginNoRadarNoMapKmAxes) {
    v.origin.reset();
    v.time.reset();
    const PictureLayout layout = velmora::render_plan_png(view(), dir.file("plan.png"));
    EXPECT_FALSE(layout.radar);
    EXPECT_EQ(layout.title, "synthetic");
    bool km = false;
    for (const auto& t : layout.ticks) km |= t.no == 0;
    EXPECT_TRUE(km);
    EXPECT_EQ(overlapping(layout.ticks), "");
    std::vector<float> wrong(5);
    PlanView bad = view();
    bad.column_max = wrong;
    EXPECT_THROW(velmora::render_plan_png(bad, dir.file("bad.png")), std::invalid_argument);
}

// Labels crowded at one point are all placed apart, with leader lines.
TEST_F(PlanPictureTest, CrowdedLabelsArePlacedApart) {
    PlanView p = view();
    for (int no = 1; no <= 30; ++no) p.labels.push_back({no, 5.0 + 0.1 * no, 5.0});
    const PictureLayout layout = velmora::render_plan_png(p, dir.file("plan.png"));
    ASSERT_EQ(layout.labels.size(), 30u);
    EXPECT_EQ(overlapping(layout.labels), "");
    int leaders = 0;
    for (const auto& b : layout.labels) leaders += b.leader;
    EXPECT_GT(leaders, 20);
}

// The cells' numbers of a real volume's plan view, at the cells' weighted
// centres as analyze puts them, never on top of one another.
class RealVolumeLabels : public ::testing::Test {
protected:
    vtest::TempDir dir;
    void TearDown() override { vhost::host().reset(); }
    void check(const std::string& file, const std::string& grid_file) {
        if (!fs::exists(kData + file)) GTEST_SKIP() << kData + file << " absent: not checked";
        velmora::AnalyzeOptions o;
        o.volume = kData + file;
        o.out = dir.file("out");
        o.picture = false;
        o.min_volume_km3 = 0;   // every cell the division keeps: the most labels to place
        velmora::AnalysisSummary summary;
        ASSERT_EQ(velmora::analyze(o, stderr, summary), 0);
        // A polar volume's grid keeps its field's name (REF).
        const velmora::Volume v = grid_file.empty() ? velmora::read_volume(o.volume, "DT")
                                                    : velmora::read_volume(dir.file("out/" + grid_file), "REF");
        const std::vector<float> top = column_max(v);
        const std::vector<std::int32_t> plan(top.size(), 0);
        PlanView p;
        p.x = v.x;
        p.y = v.y;
        p.column_max = top;
        p.plan = plan;
        p.context = velmora::map_context(v);
        std::ifstream csv(dir.file("out/cell_properties.csv"));
        std::string line;
        std::getline(csv, line);
        std::vector<std::string> names;
        for (std::stringstream h(line); std::getline(h, line, ',');) names.push_back(line);
        const auto col = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
        while (std::getline(csv, line)) {
            std::vector<std::string> f;
            for (std::stringstream r(line); std::getline(r, line, ',');) f.push_back(line);
            p.labels.push_back({std::stoi(f[0]), std::stod(f[col("wx_km")]), std::stod(f[col("wy_km")])});
        }
        ASSERT_GT(p.labels.size(), 10u);
        const PictureLayout layout = velmora::render_plan_png(p, dir.file("plan.png"));
        EXPECT_EQ(layout.labels.size(), p.labels.size());
        EXPECT_EQ(overlapping(layout.labels), "");
        EXPECT_EQ(overlapping(layout.ticks), "");
    }
};

TEST_F(RealVolumeLabels, Cpol) { check("cpol_200601200050.nc", ""); }
TEST_F(RealVolumeLabels, Klix) { check("nexrad2_klix_200508281801.gz", "grid.nc"); }

// The rotation tracks' picture: each column in the colour of its shear's step (10^-3 s^-1), weak shear and
// columns no gate measured left white, the scale and title saying what is drawn.
TEST(RotationPicture, EachColumnInTheColourOfItsShearsStep) {
    vtest::TempDir dir;
    velmora::Volume axes;
    for (int i = 0; i <= 40; ++i) axes.x.push_back(static_cast<float>(i - 20));
    for (int j = 0; j <= 30; ++j) axes.y.push_back(static_cast<float>(j - 15));
    const std::size_t nx = axes.x.size();
    // Three blocks of 8 x 8 columns: rotation (5.5e-3 s-1), strong rotation (0.011), weak shear (0.001); NaN elsewhere.
    std::vector<float> low(nx * axes.y.size(), NAN);
    const auto block = [&](std::size_t i0, std::size_t j0, float s) {
        for (std::size_t j = j0; j < j0 + 8; ++j)
            for (std::size_t i = i0; i < i0 + 8; ++i) low[j * nx + i] = s;
    };
    block(2, 2, 5.5e-3f);
    block(16, 12, 0.011f);
    block(30, 20, 0.001f);
    const PictureLayout layout =
        velmora::tracking::draw_rotation(dir.file("rotation_tracks.png"), axes, low, "to 2018-12-20T06:06:00Z");
    EXPECT_EQ(layout.title.rfind("Rotation tracks, to 2018-12-20T06:06:00Z: the largest azimuthal shear 0-2 km", 0), 0u)
        << layout.title;
    const Image png = read_png(dir.file("rotation_tracks.png"));
    const auto colour = [&](std::size_t i, std::size_t j) {
        return png.at(layout.origin_x + axes.x[i] * layout.scale, layout.origin_y - axes.y[j] * layout.scale);
    };
    EXPECT_EQ(colour(5, 5), (std::array<int, 3>{0x31, 0xa3, 0x54}));    // the green of 5
    EXPECT_EQ(colour(19, 15), (std::array<int, 3>{0xe3, 0x1a, 0x1c}));  // the red of 10
    EXPECT_EQ(colour(33, 23), (std::array<int, 3>{255, 255, 255}));     // below 2: white
    EXPECT_EQ(colour(12, 26), (std::array<int, 3>{255, 255, 255}));     // no gate
}

// Cells whose voxels touch (by a side, an edge or only a corner) get
// different colours; the palette runs in turn for the others.
TEST(CellColours, TouchingCellsDiffer) {
    // 12 x 5 x 2 voxels: cells 1..11 side by side along x on the lower
    // level, cell 12 over all of them on the upper (more neighbours than
    // colours), 13 touching 11 and 12 by corners and edges, 14 alone.
    const std::size_t nx = 12, ny = 5, nz = 2;
    std::vector<std::int32_t> labels(nx * ny * nz, 0);
    for (std::size_t i = 0; i < 11; ++i) labels[i] = static_cast<std::int32_t>(i + 1);
    for (std::size_t i = 0; i < 11; ++i) labels[nx * ny + i] = 12;
    labels[nx * ny + nx + 11] = 13;   // (11, 1, 1): a corner of 11 at (10, 0, 0)
    labels[4 * nx] = 14;              // (0, 4, 0)
    const auto colour = velmora::distinct_colours(labels, nx, ny, nz, 14, 10);
    ASSERT_EQ(colour.size(), 15u);
    for (int a = 1; a <= 10; ++a) EXPECT_NE(colour[a], colour[a + 1]) << a;
    for (int a = 1; a <= 11; ++a) EXPECT_NE(colour[a], colour[12]) << a;
    EXPECT_NE(colour[12], colour[13]);
    EXPECT_NE(colour[11], colour[13]);
    // A cell touching none takes its turn in the palette.
    EXPECT_EQ(colour[14], 3);
    EXPECT_THROW(velmora::distinct_colours(labels, nx, ny, 1, 14, 10), std::invalid_argument);
}

// The 3-D picture: two cells standing on the ground, numbered, the height
// axis with texts apart; the time in the title.
TEST(ScenePicture, CellsNumberedTicksApart) {
    vtest::TempDir dir;
    velmora::Scene s;
    s.coord = {0, 0, 0, 10, 0, 0, 0, 10, 8, 20, 20, 0, 30, 20, 0, 20, 30, 12};
    s.triangles = {0, 1, 2, 3, 4, 5};
    s.node_cell = {1, 1, 1, 2, 2, 2};
    s.cell_colour = {0, 0, 1};
    s.tops = {{1, 0, 10, 8}, {2, 20, 30, 12}};
    s.box = {0, 30, 0, 30, 0, 16};
    s.title = "2 cells";
    s.context.time = "2006-01-20T00:50:08Z";
    const PictureLayout layout = velmora::render_png(s, dir.file("cells.png"), 640, 480);
    EXPECT_EQ(layout.title, "2006-01-20T00:50:08Z  2 cells");
    ASSERT_EQ(layout.labels.size(), 2u);
    EXPECT_EQ(overlapping(layout.labels), "");
    EXPECT_GE(layout.ticks.size(), 3u);
    EXPECT_EQ(overlapping(layout.ticks), "");
    const Image png = read_png(dir.file("cells.png"));
    EXPECT_EQ(png.width, 640);
    s.triangles = {0, 1, 2, 0, 2, 1, 7};
    EXPECT_THROW(velmora::render_png(s, dir.file("bad.png")), std::invalid_argument);
}

}  // namespace
