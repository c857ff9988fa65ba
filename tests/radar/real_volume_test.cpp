// The real radar volume through the isovolume road: the echo at or above
// 40 dBZ cut into areas by DivIsovolume and carried back onto the grid must
// be exactly the face-connected objects of those voxels, found here by a
// plain flood fill over the grid.
#include <filesystem>
#include <map>

#include "module_test.h"
#include "operations.h"
#include "volume.h"

namespace {

namespace fs = std::filesystem;
const char* const kReal = VELMORA_SOURCE_DIR "/../shared/data/cpol_200601200050.nc";

// Face-connected labels of the voxels where inside holds: 0 outside, 1.. in
// order of each object's first voxel in storage order.
std::vector<int> flood_fill(int nx, int ny, int nz, const std::function<bool(std::size_t)>& inside) {
    const std::size_t n = static_cast<std::size_t>(nx) * ny * nz;
    std::vector<int> label(n, 0);
    std::vector<std::size_t> stack;
    int next = 0;
    for (std::size_t seed = 0; seed < n; ++seed) {
        if (label[seed] || !inside(seed)) continue;
        label[seed] = ++next;
        stack.push_back(seed);
        while (!stack.empty()) {
            const std::size_t v = stack.back();
            stack.pop_back();
            const int i = static_cast<int>(v % nx), j = static_cast<int>(v / nx % ny), k = static_cast<int>(v / nx / ny);
            const int step[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
            for (const auto& s : step) {
                const int a = i + s[0], b = j + s[1], c = k + s[2];
                if (a < 0 || b < 0 || c < 0 || a >= nx || b >= ny || c >= nz) continue;
                const std::size_t w = static_cast<std::size_t>(a) + static_cast<std::size_t>(nx) * (b + static_cast<std::size_t>(ny) * c);
                if (label[w] || !inside(w)) continue;
                label[w] = next;
                stack.push_back(w);
            }
        }
    }
    return label;
}

class RealVolumeTest : public vtest::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        velmora::app::register_operations();
    }
};

TEST_F(RealVolumeTest, IsovolumeAreasAreTheFaceConnectedEchoObjects) {
    if (!fs::exists(kReal)) GTEST_SKIP() << "the real radar volume " << kReal << " is absent";
    const velmora::app::Volume v = velmora::app::read_netcdf(kReal, "DT");
    velmora::app::add_volume_field(host.root(), "radar", v);

    run(instance("vol", "Isovolume", {{"in", "radar"}}, {{"level", 40.0}}), {});
    vhost::Object& div = instance("div", "DivIsovolume", {{"in", "vol.out"}}, {{"min_cells", 0}});
    run_stdout(div, {});
    ASSERT_EQ(div.at("done").int_value(), 1);
    vhost::Object& map = instance("map", "GridArea", {{"in", "radar"}, {"iso", "vol.out"}, {"area", "div.out_nd"}});
    run(map, {});
    const std::vector<std::int32_t> got = field(map, "out").int_values(0);

    const int nx = static_cast<int>(v.x.size()), ny = static_cast<int>(v.y.size()), nz = static_cast<int>(v.z.size());
    const std::vector<int> want = flood_fill(nx, ny, nz, [&](std::size_t w) {
        return v.values[w] != v.null_value && v.values[w] >= 40.0f;
    });
    ASSERT_EQ(got.size(), want.size());

    // The same partition: every object maps to one area and back.
    std::map<int, int> area_of, object_of, size_of_area;
    for (std::size_t w = 0; w < want.size(); ++w) {
        ASSERT_EQ(want[w] == 0, got[w] == 0) << "voxel " << w;
        if (!want[w]) continue;
        auto [a, fresh_a] = area_of.emplace(want[w], got[w]);
        auto [o, fresh_o] = object_of.emplace(got[w], want[w]);
        ASSERT_EQ(a->second, got[w]) << "object " << want[w] << " split at voxel " << w;
        ASSERT_EQ(o->second, want[w]) << "area " << got[w] << " joins objects at voxel " << w;
        ++size_of_area[got[w]];
    }
    std::vector<int> sizes;
    for (const auto& [no, count] : size_of_area) sizes.push_back(count);
    std::sort(sizes.rbegin(), sizes.rend());
    ASSERT_GE(sizes.size(), 4u);
    // The large cells of this scan at 40 dBZ.
    EXPECT_EQ(std::vector<int>(sizes.begin(), sizes.begin() + 4), (std::vector<int>{3098, 1427, 183, 174}));
}

}  // namespace
