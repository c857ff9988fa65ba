// Picks in the scene and the views it saves.
#include "scene/scene.h"

#include <algorithm>
#include <cmath>

#include "field_ref.h"
#include "run/values.h"
#include "scene/pick.h"

namespace velmora::scene {

namespace {

vhost::Object& root() { return vhost::host().root(); }

}  // namespace

// The probe: the values of the radar grid at every pick, with the cell the
// voxel belongs to, for PickInfo2Str.
void Scene::fill_probe() {
    vhost::FieldRef picks(root().at("pick").at("out"));
    vhost::FieldRef radar(root().at("radar"));
    const auto xyz = picks.coord();
    const auto n = static_cast<std::size_t>(picks.nnodes());
    const auto values = radar.float_view(0);
    // The cell of each voxel: GridArea's output live, radar.vti's "cell" saved.
    std::span<const std::int32_t> cells;
    if (vhost::Object* g = root().find("gridarea.out"); g && vhost::FieldRef(*g).ncomp() > 0) cells = vhost::FieldRef(*g).int_view(0);
    for (int c = 0; cells.empty() && c < radar.ncomp(); ++c)
        if (radar.label(c) == "cell") cells = radar.int_view(c);
    std::vector<float> ze(n), cell(n);
    for (std::size_t p = 0; p < n && 3 * p + 2 < xyz.size(); ++p) {
        auto idx = [&](const std::vector<float>& axis, float v) {
            auto it = std::lower_bound(axis.begin(), axis.end(), v - 1e-4f);
            return std::min<std::size_t>(static_cast<std::size_t>(it - axis.begin()), axis.size() - 1);
        };
        const std::size_t node = idx(axes_.x, xyz[3 * p]) + axes_.x.size() * (idx(axes_.y, xyz[3 * p + 1]) + axes_.y.size() * idx(axes_.z, xyz[3 * p + 2]));
        ze[p] = node < values.size() ? values[node] : NAN;
        cell[p] = node < cells.size() ? static_cast<float>(cells[node]) : 0.0f;
    }
    vhost::Object& probe = root().at("probe");
    probe.truncate_children(0);
    vhost::make_field_members(probe);
    vhost::FieldRef(probe).nnodes(static_cast<std::int64_t>(n)).nspace(3).floats(radar.label(0), ze).floats("cell", cell);
}

std::string Scene::pick_text() {
    vhost::Object& text = root().at("picktext").at("ostr");
    return text.has_value() ? text.str_value() : "";
}

std::string Scene::pick(const std::array<double, 3>& origin, const std::array<double, 3>& direction) {
    if (mode_ == "network") return answer({}, false, {{"pick", {{"hit", false}, {"text", "picking needs a radar volume"}}}});
    vhost::FieldRef radar(root().at("radar"));
    vhost::Object* thresh = root().find("thresh.thresh_value");
    const float shown = thresh && thresh->has_value() ? static_cast<float>(thresh->real_value()) : static_cast<float>(options_.analysis.level);
    GridValues grid{axes_.x, axes_.y, axes_.z, radar.float_view(0), std::nullopt};
    if (radar.null_flag(0)) grid.null_value = static_cast<float>(radar.null_value(0));
    const auto node = first_node_at_least(grid, origin, direction, shown);
    if (!node) {
        char text[160];
        std::snprintf(text, sizeof text, "nothing picked: no voxel of %g dBZ or more along the ray", static_cast<double>(shown));
        return answer({}, false, {{"pick", {{"hit", false}, {"text", text}}}});
    }
    const auto nx = static_cast<std::int64_t>(axes_.x.size()), ny = static_cast<std::int64_t>(axes_.y.size());
    const std::array<float, 3> point{axes_.x[static_cast<std::size_t>(*node % nx)],
                                     axes_.y[static_cast<std::size_t>(*node / nx % ny)],
                                     axes_.z[static_cast<std::size_t>(*node / (nx * ny))]};
    vhost::Object& pick = live_->instance("pick");
    pick.at("fr_obj[0].pick_info.npicked").set_int(1);
    pick.at("fr_obj[0].pick_info").at("pick_data").fit();
    vhost::set_floats(pick.at("fr_obj[0].pick_info.pick_data[0].point"), {point[0], point[1], point[2]});
    RunResult run = live_->call("pick", "GetPickInfoUpdate");
    pick.at("fr_obj[0].pick_info.npicked").set_int(0);
    fill_probe();
    RunResult text = live_->call("picktext", "PickInfo2StrUpdate");
    run.instances.insert(run.instances.end(), text.instances.begin(), text.instances.end());
    run.messages.insert(run.messages.end(), text.messages.begin(), text.messages.end());
    run.seconds += text.seconds;
    const std::int64_t i = *node % nx, j = *node / nx % ny, k = *node / (nx * ny);
    return answer(run, false, {{"pick", {{"hit", true}, {"text", pick_text()}, {"point", point}, {"ijk", {i, j, k}}}}});
}

std::string Scene::clear_picks() {
    if (mode_ == "network") return answer({}, false);
    RunResult run = live_->call("pick", "GetPickInfoClear");
    const RunResult text = live_->call("picktext", "PickInfo2StrClear");
    run.instances.insert(run.instances.end(), text.instances.begin(), text.instances.end());
    return answer(run, false, {{"pick", {{"hit", false}, {"text", ""}}}});
}

std::string Scene::save_view(const Json& view) {
    if (!live_->has("view")) return answer({}, false, {{"saved", nullptr}});
    vhost::Object& inst = live_->instance("view");
    for (const auto& [name, count] : {std::pair{"mat", 16}, {"xlate", 3}, {"center", 3}, {"dcenter", 3}, {"ocenter", 3}}) {
        const Json* v = member(view, name);
        if (!v || !v->is_array() || v->size() != static_cast<std::size_t>(count))
            throw NetworkError(std::string("the view's ") + name + " is a list of " + std::to_string(count) + " numbers");
        std::vector<float> values;
        for (const auto& x : *v) values.push_back(float_of(x, Place("view"), name));
        vhost::set_floats(inst.at("xform").at(name), values);
    }
    inst.at("save").set_int(1);
    RunResult run = live_->call("view", "WriteXformUpdate");
    inst.at("save").set_int(0);
    const std::string file = inst.at("filename").str_value();
    return answer(run, false, {{"saved", run.messages.empty() ? Json(file) : Json(nullptr)}});
}

}  // namespace velmora::scene
