// The legend tests' grid: 3 x 2 x 2 nodes at x = 1000 i + 5, y = 2000 j + 7, z = 500 k + 11, and breakers.
#pragma once

#include "module_test.h"

namespace vtest {

inline float grid_x(int i) { return 1000.0f * static_cast<float>(i) + 5.0f; }
inline float grid_y(int j) { return 2000.0f * static_cast<float>(j) + 7.0f; }

// Component comp of the field (made now, untyped) hands out no values.
inline void break_component(vhost::Object& field, int comp) {
    field.at("nnode_data").set_int(comp + 1);
    vhost::FieldRef(field).component(comp).make_link("values", "nowhere");
}

// A legend instance on the grid, whose transform scales the axes by `scale`.
class LegendTest : public InstanceTest {
protected:
    void legend(const std::string& name, std::string_view module, std::array<float, 3> scale,
                std::initializer_list<Param> params) {
        std::vector<float> xyz;
        for (int k = 0; k < 2; ++k)
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 3; ++i) xyz.insert(xyz.end(), {grid_x(i), grid_y(j), 500.0f * k + 11.0f});
        new_grid().dims({3, 2, 2}).nnodes(12).nspace(3).coord(xyz);
        field(*grid).xform_array("mat", {scale[0], 0, 0, 0, 0, scale[1], 0, 0, 0, 0, scale[2], 0, 0, 0, 0, 1});
        inst = &instance(name, module, {{"in", "grid"}}, params);
    }
    std::vector<std::string> texts() { return inst->at("olabel.text_values").strings(); }
    // Inactive (0, -1 or unreadable), or no nodes: nothing is read, done stays 0 and the outputs empty.
    void expect_idle(std::initializer_list<const char*> outputs) {
        std::vector<std::function<void()>> cases{[&] { inst->at("active").set_int(0); },
                                                 [&] { inst->at("active").set_int(-1); }, [&] { unset("active"); },
                                                 [&] { field(*grid).nnodes(0); }};
        for (auto& c : cases) c = [this, c] { c(); unset("indexi"); };
        InstanceTest::expect_idle(cases, [&] {
            for (const char* o : outputs) EXPECT_EQ(field(*inst, o).nnodes(), 0) << o;
        });
    }
    void cell_sets_without_connectivity(const char* o) {
        inst->at(o).at("cell_set").element_template()->make_link("node_connect_list", "nowhere");
    }
    // Each part of output `o` broken while it is written, then `check`; with `labels`, olabel's coordinates too.
    void expect_write_failures(const char* o, const std::function<void()>& check,
                               const std::function<void()>& labels = {}) {
        expect_failures({{"coords", [this, o] { inst->at(o).make_link("coord", "nowhere"); }, "can not get coord.\n"},
                         {"connect", [this, o] { cell_sets_without_connectivity(o); }, "can not get node_connect.\n"},
                         {"values", [this, o] { break_component(inst->at(o), 0); }, "can not get val.\n"}},
                        check);
        auto label_coords = [this] { inst->at("olabel").make_link("coord", "nowhere"); };
        if (labels) expect_failures({{"label coords", label_coords, "can not get coord.\n"}}, labels);
    }
};

}  // namespace vtest
