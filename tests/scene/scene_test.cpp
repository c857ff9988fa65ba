// The viewer's scene without a server: packs, the radar scene on the
// synthetic storm, re-runs of what is downstream, picks from the data and
// saved views, and writers kept inside the output folder.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "scene/pack.h"
#include "scene/pick.h"
#include "scene/scene.h"
#include "temp_files.h"
#include "../polar/polar_files.h"
#include "io/volume.h"
#include "polar/polar_input.h"

namespace {

using velmora::Json;
using namespace velmora::scene;

Json header_of(const std::string& bytes) {
    EXPECT_EQ(bytes.substr(0, 4), "VPK1");
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 4, 4);
    return Json::parse(bytes.substr(8, n));
}

TEST(Pack, HeaderAndArraysAtMultiplesOfEight) {
    Pack p;
    const float f[] = {1.5f, -2.0f, 3.0f};
    const std::uint8_t b[] = {7};
    p.header()["a"] = p.add(std::span<const float>(f));
    p.header()["b"] = p.add(std::span<const std::uint8_t>(b));
    const std::string bytes = p.bytes();
    const Json h = header_of(bytes);
    ASSERT_EQ(h["arrays"].size(), 2u);
    EXPECT_EQ(h["arrays"][0], (Json{{"type", "float32"}, {"count", 3}, {"offset", 0}}));
    EXPECT_EQ(h["arrays"][1], (Json{{"type", "uint8"}, {"count", 1}, {"offset", 16}}));
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 4, 4);
    const std::size_t start = (8 + n + 7) / 8 * 8;
    float back[3];
    std::memcpy(back, bytes.data() + start, sizeof back);
    EXPECT_EQ(back[1], -2.0f);
    EXPECT_EQ(bytes[start + 16], 7);
    EXPECT_EQ(bytes.size(), start + 24);
}

TEST(Pack, TakenInPlaceAsMadeByCopy) {
    Pack p;
    std::vector<float> big(100000, 2.5f);
    p.header()["big"] = p.add(std::span<const float>(big));
    const std::int32_t i[] = {-1, 7};
    p.header()["i"] = p.add(std::span<const std::int32_t>(i));
    const std::string copy = p.bytes();
    EXPECT_EQ(std::move(p).take(), copy);
}

// A grid of more voxels than the display modules draw: they run on its
// blocks' largest values, the analysis and the picks on the grid itself.
TEST(RadarSceneLarge, DisplayModulesRunOnTheBlocksAnalysisAndPicksOnTheGrid) {
    vtest::TempDir dir;
    ViewOptions o;
    o.out = dir.file("out");
    const Json whole = header_of(Scene(o).full());
    o.layers.display_voxels = 20000;   // 80 x 60 x 20 in blocks of 3 x 3: 27 x 20 x 20
    Scene s(o);
    const Json h = header_of(s.full());
    EXPECT_EQ(h["layers"]["volume"]["dims"], (Json{27, 20, 20}));
    EXPECT_EQ(h["layers"]["volume"]["spacing"][0], 3.0);
    EXPECT_EQ(h["layers"]["volume"]["components"][1]["range"][1], whole["layers"]["volume"]["components"][1]["range"][1])
        << "the blocks keep the strongest value";
    EXPECT_EQ(h["layers"]["surface"]["triangles"], whole["layers"]["surface"]["triangles"]);
    EXPECT_EQ(h["cells"], 5);
    EXPECT_EQ(s.network().instance("thresh").child("in")->target(), "display");
    EXPECT_EQ(s.network().instance("surface").child("in")->target(), "radar");
    EXPECT_EQ(s.network().instance("slice").at("indexi").int_value(), 13);
    // A pick lands on a node of the grid, not of the blocks.
    const Json hit = header_of(s.pick({-20.0, -11.0, 50.0}, {0.0, 0.0, -1.0}))["pick"];
    ASSERT_TRUE(hit["hit"].get<bool>()) << hit;
    EXPECT_EQ(hit["point"][0], -20.0);
    EXPECT_EQ(hit["point"][1], -11.0);
}

class RadarScene : public ::testing::Test {
protected:
    void SetUp() override {
        ViewOptions o;
        o.out = dir_.file("out");
        scene_ = std::make_unique<Scene>(o);
    }
    vtest::TempDir dir_;
    std::unique_ptr<Scene> scene_;
};

TEST_F(RadarScene, ShowsTheCellsAndEveryLayerOfTheDisplayModules) {
    const Json h = header_of(scene_->full());
    EXPECT_EQ(h["mode"], "radar");
    EXPECT_EQ(h["cells"], 5);
    EXPECT_TRUE(h["ok"].get<bool>());
    EXPECT_TRUE(h["messages"].empty());
    for (const char* l : {"volume", "surface", "tops", "centres", "axis", "ticks", "tick_labels", "rainmesh", "alpha", "ground"})
        EXPECT_NE(h["layers"][l]["kind"], "empty") << l;
    // CreateRainSlice's planes, cut from the grid where the echo is shown.
    EXPECT_EQ(h["layers"]["slices"]["kind"], "mesh");
    EXPECT_EQ(h["layers"]["slices"]["components"][0]["label"], "DT");
    EXPECT_EQ(h["layers"]["volume"]["components"][0]["label"], "trans_ze");
    EXPECT_EQ(h["layers"]["volume"]["components"][0]["id"], 672);
    EXPECT_EQ(h["layers"]["volume"]["components"][1]["label"], "DT");
    EXPECT_EQ(h["layers"]["tick_labels"]["texts"][1], "2 km");
    EXPECT_EQ(h["layers"]["centres"]["texts"].size(), 5u);
    EXPECT_GT(h["layers"]["surface"]["triangles"].get<int>(), 1000);
    // The panel lists every instance with its declared parameters.
    const Json& first = h["instances"][0];
    EXPECT_EQ(first["name"], "surface");
    EXPECT_EQ(first["params"][0], (Json{{"name", "level"}, {"kind", "real"}, {"value", 40.0}, {"default", " = 40.0"}}));
}

TEST_F(RadarScene, AChangeReRunsOnlyWhatIsDownstreamInRunOrder) {
    EXPECT_EQ(scene_->network().downstream({"thresh"}), (std::vector<std::string>{"thresh"}));
    EXPECT_EQ(scene_->network().downstream({"column"}), (std::vector<std::string>{"column", "axis", "ticks"}));
    const Json h = header_of(scene_->set({{"surface", "level", 45.0}, {"volume", "level", 45.0}}));
    EXPECT_EQ(h["ran"], (Json{"surface", "divsurf", "surfstat", "volume", "divvol", "gridarea", "cellvox", "cellstat", "centres"}));
    EXPECT_LT(h["cells"].get<int>(), 5);
    EXPECT_TRUE(h["layers"].contains("surface"));
    EXPECT_FALSE(h["layers"].contains("volume"));
    EXPECT_FALSE(h["layers"].contains("slices"));
    // The slices show echo from the display threshold up: fewer quads from 30 dBZ.
    auto quads = [](const Json& head) { return head["arrays"][head["layers"]["slices"]["polys"].get<int>()]["count"].get<int>(); };
    const int from15 = quads(header_of(scene_->full()));
    const Json t = header_of(scene_->set({{"thresh", "thresh_value", 30.0}}));
    EXPECT_LT(quads(t), from15 / 2);
    EXPECT_GT(quads(t), 0);
    EXPECT_EQ(h["params"]["surface.level"], 45.0);
    // A value that does not fit is refused before anything runs.
    EXPECT_THROW(scene_->set({{"surface", "level", "high"}}), velmora::NetworkError);
    EXPECT_THROW(scene_->set({{"cellstat", "in", 1}}), velmora::NetworkError);
    EXPECT_THROW(scene_->set({{"divsurf", "done", 1}}), velmora::NetworkError);
}

TEST_F(RadarScene, PicksTheFirstShownVoxelAndAnswersWithPickInfo2StrsText) {
    // Straight down onto the core of the strongest cell of the scene
    // (56 dBZ at 3 km, 22 km west and 12 km south), shown from 45 dBZ.
    scene_->set({{"thresh", "thresh_value", 45.0}});
    const Json hit = header_of(scene_->pick({-21.0, -12.0, 50.0}, {0.0, 0.0, -1.0}))["pick"];
    ASSERT_TRUE(hit["hit"].get<bool>()) << hit;
    const std::string text = hit["text"];
    EXPECT_EQ(text.rfind("\nPick 1\nxyz -2.100000e+01 -1.200000e+01 ", 0), 0u) << text;
    const double ze = std::stod(text.substr(text.find("\nDT ") + 4));
    const double cell = std::stod(text.substr(text.find("\ncell ") + 6));
    EXPECT_GE(ze, 45.0);
    EXPECT_GE(cell, 1.0);
    // Picks accumulate, as GetPickInfo accumulates them; the clear entry empties them.
    const Json second = header_of(scene_->pick({-20.0, -10.0, 50.0}, {0.0, 0.0, -1.0}))["pick"];
    EXPECT_NE(second["text"].get<std::string>().find("Pick 2"), std::string::npos);
    EXPECT_EQ(header_of(scene_->clear_picks())["pick"]["text"], "");
    const Json miss = header_of(scene_->pick({0.0, 0.0, 50.0}, {0.0, 0.0, 1.0}))["pick"];
    EXPECT_FALSE(miss["hit"].get<bool>());
    EXPECT_EQ(miss["text"], "nothing picked: no voxel of 45 dBZ or more along the ray");
}

TEST_F(RadarScene, SavesTheViewWithWriteXformIntoTheOutputFolder) {
    Json view = {{"mat", {1, 0, 0, 0, 0, 0.5, -0.5, 0, 0, 0.5, 0.5, 0, 3, 4, -80, 1}},
                 {"xlate", {10, -60, 50}}, {"center", {0, 0, 5}}, {"dcenter", {0, 0, 1}}, {"ocenter", {0, 0, 5}}};
    const Json h = header_of(scene_->save_view(view));
    EXPECT_EQ(h["saved"], dir_.file("out") + "/view.v");
    const Json back = read_view_file(dir_.file("out") + "/view.v");
    EXPECT_EQ(back["mat"][14], -80.0);
    EXPECT_EQ(back["xlate"], (Json{10.0, -60.0, 50.0}));
    EXPECT_THROW(scene_->save_view({{"mat", {1, 2}}}), velmora::NetworkError);
}

TEST(NetworkScene, WritersWriteOnlyInsideTheOutputFolder) {
    vtest::TempDir dir;
    const std::string outside = dir.file("elsewhere.v");
    const std::string net = dir.write("net.json", R"({"instances": {
        "inside": {"module": "WriteXform", "params": {"save": 1, "appname": "a", "viewname": "v", "mode": 0, "filename": ")" +
        dir.file("out") + R"(/in.v"}},
        "outside": {"module": "WriteXform", "params": {"save": 1, "appname": "a", "viewname": "v", "mode": 0, "filename": ")" +
        outside + R"("}}}})");
    ViewOptions o;
    o.input = net;
    o.out = dir.file("out");
    Scene s(o);
    const Json h = header_of(s.full());
    EXPECT_EQ(h["mode"], "network");
    EXPECT_EQ(h["messages"], (Json{"outside : can not open " + outside + ".\n"}));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out") + "/in.v"));
    EXPECT_FALSE(std::filesystem::exists(outside));
}

// Several radars' polar volumes of one time are seen as one mosaic, as velmora analyze makes it.
TEST(RadarSceneMosaic, SeveralRadarsVolumesAreOneMosaicOthersRefused) {
    vtest::TempDir dir;
    const std::string a = dir.file("a.h5"), b = dir.file("b.h5");
    polartest::write_odim(a);
    {
        polartest::H5File f(b);
        polartest::write_odim(f);
        f.numbers("/where", {{"lat", 50.6}});
    }
    ViewOptions o;
    o.out = dir.file("out");
    o.input = a;
    o.analysis.radars = {b};
    const Json h = header_of(Scene(o).full());
    EXPECT_EQ(h["title"], "a.h5, b.h5");
    // The grid covers both radars, 11 km apart north to south.
    const velmora::Volume mosaic = velmora::polar::grid_files(std::vector<std::string>{a, b}, o.analysis.polar);
    EXPECT_GT(mosaic.y.back() - mosaic.y.front(), 11.0f);
    velmora::write_netcdf(dir.file("grid.nc"), mosaic);
    o.input = dir.file("grid.nc");
    EXPECT_EQ(vtest::error_of<std::runtime_error>([&] { Scene s(o); }),
              "several volumes make one mosaic only when each is a polar volume file: " + o.input + " is not");
}

TEST(ViewFile, RefusesAFileWithoutAView) {
    vtest::TempDir dir;
    EXPECT_THROW(read_view_file(dir.write("x.v", "nothing\n")), std::runtime_error);
    EXPECT_THROW(read_view_file(dir.file("missing.v")), std::runtime_error);
}

}  // namespace
