// The radar grid the legend tests stand on: 3 x 2 x 2 nodes with explicit
// coordinates x = 1000 i + 5, y = 2000 j + 7, z = 500 k + 11, a diagonal
// transform, and helpers that break one part of an output field.
#pragma once

#include "module_test.h"

namespace vtest {

inline float grid_x(int i) { return 1000.0f * static_cast<float>(i) + 5.0f; }
inline float grid_y(int j) { return 2000.0f * static_cast<float>(j) + 7.0f; }

inline vhost::Object& add_legend_grid(vhost::Host& host, const std::string& name = "grid") {
    vhost::Object& g = host.add_field(name);
    std::vector<float> xyz;
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 3; ++i) {
                xyz.push_back(grid_x(i));
                xyz.push_back(grid_y(j));
                xyz.push_back(500.0f * static_cast<float>(k) + 11.0f);
            }
    vhost::FieldRef(g).dims({3, 2, 2}).nnodes(12).nspace(3).coord(xyz);
    return g;
}

// Cell sets added to the field from now on hand out no connectivity.
inline void break_connectivity(vhost::Object& field) {
    vhost::FieldRef(field).object().at("cell_set").element_template()->make_link("node_connect_list", "nowhere");
}

// Component comp of the field (made now, untyped) hands out no values.
inline void break_component(vhost::Object& field, int comp) {
    vhost::FieldRef(field).object().at("nnode_data").set_int(comp + 1);
    vhost::FieldRef(field).component(comp).make_link("values", "nowhere");
}

// A legend instance on the grid, whose transform scales the axes by `scale`.
class LegendTest : public InstanceTest {
protected:
    vhost::Object* grid = nullptr;

    void legend(const std::string& name, std::string_view module, std::array<float, 3> scale,
                std::initializer_list<Param> params) {
        host.reset();
        grid = &add_legend_grid(host);
        field(*grid).xform_array("mat", {scale[0], 0, 0, 0, 0, scale[1], 0, 0, 0, 0, scale[2], 0, 0, 0, 0, 1});
        inst = &instance(name, module, {{"in", "grid"}}, params);
    }
    std::vector<std::string> texts() { return inst->at("olabel.text_values").strings(); }

    // Inactive (0, -1 or unreadable), or on a grid without nodes: nothing is
    // read, done stays 0 and the outputs empty.
    void expect_idle(std::initializer_list<const char*> outputs) {
        std::vector<std::function<void()>> cases{[&] { inst->at("active").set_int(0); },
                                                 [&] { inst->at("active").set_int(-1); }, [&] { unset("active"); },
                                                 [&] { field(*grid).nnodes(0); }};
        for (auto& c : cases) c = [this, c] { c(); unset("indexi"); };
        InstanceTest::expect_idle(cases, [&] {
            for (const char* o : outputs) EXPECT_EQ(field(*inst, o).nnodes(), 0) << o;
        });
    }
};

}  // namespace vtest
