// The radar grid the legend tests stand on: 3 x 2 x 2 nodes with explicit
// coordinates x = 1000 i + 5, y = 2000 j + 7, z = 500 k + 11, an identity
// transform, and helpers that break one part of an output field.
#pragma once

#include <string>
#include <vector>

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
    vhost::Object& f = vhost::FieldRef(field).object();
    f.at("nnode_data").set_int(comp + 1);
    vhost::FieldRef(field).component(comp).make_link("values", "nowhere");
}

}  // namespace vtest
