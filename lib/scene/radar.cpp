#include "scene/radar.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "field_ref.h"
#include "io/geo.h"
#include "scene/layers.h"

namespace velmora::scene {

namespace {

int middle(const std::vector<float>& axis) { return static_cast<int>(axis.size() / 2); }

double extent(const std::vector<float>& axis) { return axis.empty() ? 1.0 : axis.back() - axis.front(); }

void add_display_instances(Json& in, const AnalyzeOptions& o, const Volume& v, const std::string& view_file) {
    const double dz = v.z.size() > 1 ? v.z[1] - v.z[0] : 0.5;
    in["thresh"] = {{"module", "ThreshMin"}, {"params", {{"thresh_value", 15.0}, {"null_value", -9999.0}}},
                    {"links", {{"in", "radar"}}}};
    in["trans"] = {{"module", "CreateRainTrans"}, {"params", {{"minlevel", 15.0}, {"maxlevel", 60.0}, {"zecomp", 0}}},
                   {"links", {{"in", "radar"}}}};
    in["slice"] = {{"module", "CreateRainSlice"},
                   {"params",
                    {{"indexi", middle(v.x)}, {"indexj", middle(v.y)}, {"indexk", 0},
                     {"delta", std::max(extent(v.x), extent(v.y)) / 4}, {"angle", 0.0}, {"plane_num", 1}}},
                   {"links", {{"in", "radar"}}}};
    in["mesh"] = {{"module", "MakeRainMesh"},
                  {"params", {{"component", 0}, {"minValue", o.level + 5}, {"maxValue", 80.0}, {"length", dz}}},
                  {"links", {{"in_mesh", "radar"}}},
                  {"calls", {"MakeRainMeshConstant_update"}}};
    in["alpha"] = {{"module", "AlphaPlane"},
                   {"params", {{"axis", 2}, {"plane", 0}, {"comp", 0}, {"alpha_min", 0.0}, {"alpha_max", 0.15},
                               {"data_min", 10.0}, {"data_max", 60.0}, {"null_value", -9999.0}}},
                   {"links", {{"in", "radar"}}}};
    add_pick_and_view(in, view_file);
}

}  // namespace

// Called only when the page asks: a pick, its text, a saved view.
void add_pick_and_view(Json& in, const std::string& view_file) {
    in["pick"] = {{"module", "GetPickInfo"}, {"params", {{"fr_num", 1}, {"bk_num", 0}}}, {"calls", Json::array()}};
    in["picktext"] = {{"module", "PickInfo2Str"}, {"links", {{"posi", "pick.out"}, {"data", "probe"}}},
                      {"calls", Json::array()}};
    in["view"] = {{"module", "WriteXform"},
                  {"params", {{"save", 0}, {"appname", "velmora"}, {"viewname", "view"}, {"mode", 0},
                              {"filename", view_file}}},
                  {"calls", Json::array()}};
}

Json saved_network(const std::string& view_file) {
    Json net = {{"description", "velmora view: saved results, their picks and views"}, {"instances", Json::object()}};
    add_pick_and_view(net["instances"], view_file);
    return net;
}

Json radar_network(const AnalyzeOptions& o, const Volume& v, const std::string& view_file) {
    Json net = analysis_network(network_settings(o), o.time, "", "", v);
    net.erase("fields");
    net["description"] = "velmora view: " + net["description"].get<std::string>();
    Json& in = net["instances"];
    // The analysis' writers write nothing here: their tables are on screen.
    for (const char* writer : {"surfcsv", "ijk", "csv"}) in.erase(writer);
    add_display_instances(in, o, v, view_file);
    return net;
}

std::optional<Volume> add_display_grid(vhost::Object& parent, vhost::Object& radar, std::int64_t max_voxels) {
    vhost::FieldRef r(radar);
    const auto dims = r.dims();
    const bool uniform = radar.child("uniform") && radar.at("uniform").int_value() == 1;
    if (!uniform || dims.size() != 3 || dims[0] * dims[1] * dims[2] <= max_voxels) return std::nullopt;
    const std::int64_t s = block_stride(dims[0], dims[1], dims[2], max_voxels);
    if (s < 2) return std::nullopt;
    const auto pts = r.points();
    Volume d;
    d.name = r.label(0);
    d.units = r.units(0);
    std::vector<float>* axes[] = {&d.x, &d.y, &d.z};
    for (std::size_t a = 0; a < 3; ++a) {
        const std::int64_t step = a < 2 ? s : 1, n = (dims[a] + step - 1) / step;
        for (std::int64_t i = 0; i < n; ++i)
            axes[a]->push_back(vhost::uniform_coordinate(pts[a], pts[3 + a], i * step, dims[a]));
    }
    const bool has_null = r.null_flag(0);
    const auto null_value = static_cast<float>(r.null_value(0));
    const auto down = block_max(r.float_view(0), dims[0], dims[1], dims[2], s, has_null, null_value);
    vhost::Object& field = parent.add_field("display");
    vhost::FieldRef f(field);
    f.uniform({static_cast<std::int64_t>(d.x.size()), static_cast<std::int64_t>(d.y.size()), static_cast<std::int64_t>(d.z.size())},
              {d.x.front(), d.y.front(), d.z.front(), d.x.back(), d.y.back(), d.z.back()});
    const std::span<float> values = f.add_floats(d.name, 1, d.units);
    std::copy(down.begin(), down.end(), values.begin());
    if (has_null) f.null_value(0, null_value);
    return d;
}

void show_display_grid(Json& network, const Volume& display) {
    for (const char* name : {"thresh", "trans", "slice", "mesh", "alpha"}) {
        Json* links = network["instances"].contains(name) ? &network["instances"][name]["links"] : nullptr;
        if (!links) continue;
        for (auto& [key, target] : links->items())
            if (target == "radar") target = "display";
    }
    if (network["instances"].contains("slice")) {
        network["instances"]["slice"]["params"]["indexi"] = middle(display.x);
        network["instances"]["slice"]["params"]["indexj"] = middle(display.y);
    }
}

}  // namespace velmora::scene
