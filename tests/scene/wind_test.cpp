// Winds in the viewer's scene: u, v, w written beside the reflectivity and
// read back onto the radar field, ThreshVec's band, ScaleVector's arrows at
// the nodes they stand for, and Legend3DVector's reference lengths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "field_ref.h"
#include "host.h"
#include "io/winds.h"
#include "scene/scene.h"
#include "scene/wind.h"
#include "temp_files.h"

namespace {

using velmora::Json;
using namespace velmora::scene;

struct Answer {
    Json header;
    std::string bytes;
    std::vector<float> floats(int array) const {
        std::uint32_t n = 0;
        std::memcpy(&n, bytes.data() + 4, 4);
        const std::size_t start = (8 + n + 7) / 8 * 8;
        const Json& a = header["arrays"][static_cast<std::size_t>(array)];
        std::vector<float> out(a["count"].get<std::size_t>());
        std::memcpy(out.data(), bytes.data() + start + a["offset"].get<std::size_t>(), 4 * out.size());
        return out;
    }
};

Answer answer_of(const std::string& bytes) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 4, 4);
    return {Json::parse(bytes.substr(8, n)), bytes};
}

// The synthetic volume with its winds, as `velmora synth --winds` writes it.
struct WindFile {
    velmora::Volume scene = velmora::synthetic_volume();
    velmora::Winds winds = velmora::synthetic_winds(scene);
    std::string write(const vtest::TempDir& dir) const {
        const velmora::ExtraVariable extra[] = {{"u", "m/s", "u", winds.u}, {"v", "m/s", "v", winds.v}, {"w", "m/s", "w", winds.w}};
        velmora::write_netcdf(dir.file("wind.nc"), scene, extra);
        return dir.file("wind.nc");
    }
};

TEST(Winds, ReadBackBesideTheReflectivityOrNotAtAll) {
    vtest::TempDir dir;
    const WindFile w;
    const std::string path = w.write(dir);
    velmora::write_netcdf(dir.file("plain.nc"), w.scene);
    vhost::host().reset();
    vhost::Object& radar = vhost::host().root().add_field("radar");
    velmora::fill_volume_field(radar, w.scene);
    EXPECT_FALSE(read_winds(radar, dir.file("plain.nc"), w.scene, velmora::kOnlyTime, 1'000'000));
    EXPECT_EQ(vhost::FieldRef(radar).ncomp(), 1);
    ASSERT_TRUE(read_winds(radar, path, w.scene, velmora::kOnlyTime, 1'000'000));
    vhost::FieldRef f(radar);
    ASSERT_EQ(f.ncomp(), 4);
    EXPECT_EQ(f.label(3), "w");
    EXPECT_EQ(f.units(1), "m/s");
    const auto u = f.float_view(1), wv = f.float_view(3);
    EXPECT_TRUE(std::equal(u.begin(), u.end(), w.winds.u.begin()));
    EXPECT_TRUE(std::equal(wv.begin(), wv.end(), w.winds.w.begin()));
    // Updrafts in the cores, and a westerly everywhere.
    EXPECT_GT(*std::max_element(wv.begin(), wv.end()), 8.0f);
    EXPECT_GT(*std::min_element(u.begin(), u.end()), 0.0f);
    vhost::host().reset();
}

// The radar scene of the synthetic volume with its winds.
class WindScene : public ::testing::Test {
protected:
    WindScene() {
        ViewOptions o;
        o.input = w.write(dir);
        o.out = dir.file("out");
        scene = std::make_unique<Scene>(o);
    }
    vtest::TempDir dir;
    const WindFile w;
    std::unique_ptr<Scene> scene;
};

TEST_F(WindScene, ArrowsStandAtTheirNodesScaledAsScaleVectorSays) {
    Scene& s = *scene;
    const Answer a = answer_of(s.full());
    ASSERT_TRUE(a.header["messages"].empty()) << a.header["messages"];
    EXPECT_EQ(a.header["grid"]["winds"], true);
    const Json& layer = a.header["layers"]["winds"];
    ASSERT_EQ(layer["kind"], "mesh");
    ASSERT_GT(layer["arrows"].get<int>(), 50);
    const auto xyz = a.floats(layer["points"].get<int>());
    const auto speed = a.floats(layer["components"][0]["array"].get<int>());
    const auto& v = w.scene;
    const double per_ms = 2.0 * 1.0 / 15.0;   // two nodes 1 km apart between arrows on 80 x 60
    int checked = 0;
    for (std::size_t p = 0; p + 3 < speed.size(); p += 4) {
        // Tail and tip of an arrow: the tail on a node, in the band 20..100 dBZ.
        const auto at = [&](const std::vector<float>& axis, float x) { return static_cast<std::size_t>(std::lround((x - axis.front()) / (axis[1] - axis[0]))); };
        const std::size_t i = at(v.x, xyz[3 * p]), j = at(v.y, xyz[3 * p + 1]), k = at(v.z, xyz[3 * p + 2]);
        const std::size_t n = i + v.x.size() * (j + v.y.size() * k);
        ASSERT_GT(v.values[n], 20.0f);
        EXPECT_NEAR(xyz[3 * p + 3] - xyz[3 * p], w.winds.u[n] * per_ms, 1e-4);
        EXPECT_NEAR(xyz[3 * p + 4] - xyz[3 * p + 1], w.winds.v[n] * per_ms, 1e-4);
        EXPECT_NEAR(xyz[3 * p + 5] - xyz[3 * p + 2], w.winds.w[n] * per_ms, 1e-4);
        EXPECT_NEAR(speed[p], std::sqrt(w.winds.u[n] * w.winds.u[n] + w.winds.v[n] * w.winds.v[n] + w.winds.w[n] * w.winds.w[n]), 1e-3);
        ++checked;
    }
    EXPECT_EQ(checked, layer["arrows"].get<int>());
    EXPECT_EQ(a.header["layers"]["wind_labels"]["texts"], Json(std::vector<std::string>(9, "10 m/s")));
}

TEST_F(WindScene, TheBandReRunsOnlyTheWindsAndEmptiesThem) {
    Scene& s = *scene;
    const Answer a = answer_of(s.set({{"windband", "vec_min", 99.0}}));
    EXPECT_EQ(a.header["ran"], (Json{"windband", "windscale", "windlegend"}));
    EXPECT_EQ(a.header["layers"]["winds"]["kind"], "empty");
    // Longer arrows: the legend's follow, its lengths' texts stay.
    const Answer b = answer_of(s.set({{"windscale", "arbit_u", 2.0}}));
    EXPECT_EQ(b.header["ran"], (Json{"windscale", "windlegend"}));
    const auto vec = b.floats(b.header["layers"]["wind_legend"]["components"][0]["array"].get<int>());
    EXPECT_NEAR(vec[0], 10.0 * 2.0 * 2.0 / 15.0, 1e-5);
    EXPECT_EQ(b.header["layers"]["wind_labels"]["texts"][0], "10 m/s");
}

}  // namespace
