#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "analysis/cell_analysis.h"
#include "field_ref.h"
#include "om.h"
#include "run/field_json.h"
#include "run/module_info.h"
#include "run/operations.h"
#include "run/values.h"
#include "scene/pick.h"
#include "scene/radar.h"

namespace velmora::scene {

namespace fs = std::filesystem;

namespace {

vhost::Object& root() { return vhost::host().root(); }

bool touches(const std::set<std::string>& deps, const std::vector<std::string>& ran) {
    return std::any_of(ran.begin(), ran.end(), [&](const std::string& r) { return deps.count(r) > 0; });
}

// A parameter the panel shows: an int, real or string an instance reads.
bool panel_parameter(const vhost::Object& o) {
    using vhost::Kind;
    if (o.role() != vhost::Role::In && o.role() != vhost::Role::InOut) return false;
    return o.kind() == Kind::Int || o.kind() == Kind::Long || o.kind() == Kind::Real || o.kind() == Kind::String ||
           o.kind() == Kind::Link;
}

Json value_json(vhost::Object& o) {
    vhost::Object* d = o.deref();
    if (!d || !d->has_value()) return nullptr;
    switch (d->kind()) {
        case vhost::Kind::Real: return real_json(d->real_value());
        case vhost::Kind::String: return d->str_value();
        case vhost::Kind::Int:
        case vhost::Kind::Long: return d->int_value();
        default: return nullptr;
    }
}

}  // namespace

Scene::Scene(const ViewOptions& o) : options_(o) {
    std::error_code ec;
    fs::create_directories(o.out, ec);
    if (ec || !fs::is_directory(o.out)) throw std::runtime_error("can not create the output folder " + o.out);
    out_dir_ = fs::absolute(o.out).lexically_normal().string();
    vhost::Host& host = vhost::host();
    host.reset();
    host.set_error_stream(nullptr);
    register_operations();
    // Every writer writes into the output folder and nowhere else.
    confined_.emplace(host, std::vector<fs::path>{out_dir_});
    if (o.input.size() > 5 && o.input.compare(o.input.size() - 5, 5, ".json") == 0)
        open_network(o.input);
    else
        open_volume(o);
    if (!o.view_file.empty()) view_ = read_view_file(o.view_file);
}

Scene::~Scene() {
    live_.reset();
    vhost::host().reset();
}

void Scene::open_volume(const ViewOptions& o) {
    mode_ = "radar";
    vhost::Object& radar = root().add_field("radar");
    if (o.input.empty()) {
        axes_ = synthetic_scene();
        fill_volume_field(radar, axes_);
        title_ = "the synthetic scene";
    } else if (polar::is_polar(o.input)) {
        axes_ = polar::grid_files(std::span(&o.input, 1), o.analysis.polar);
        fill_volume_field(radar, axes_);
        title_ = fs::path(o.input).filename().string();
    } else {
        axes_ = read_volume(o.input, o.analysis.var, [&radar](const Volume& a) { return make_volume_field(radar, a); },
                            o.analysis.time, o.analysis.max_voxels);
        set_volume_null(radar, axes_);
        title_ = fs::path(o.input).filename().string() + " (" + o.analysis.var + ")";
    }
    decltype(axes_.values)().swap(axes_.values);
    root().add_field("probe");
    if (Json ground = ground_field(axes_, o.map_file); !ground.is_null())
        load_field(ground, Place("ground"), root().add_field("ground"));
    const Json net = radar_network(o.analysis, axes_, (fs::path(out_dir_) / "view.v").string());
    live_ = std::make_unique<LiveNetwork>(Document::parse("velmora view", net.dump()));
    live_->set_skip(analysis_call_settings(false, false).skip);
    first_run_ = live_->run();
    layers_ = {{"volume", "trans.out", "volume", {"thresh", "trans"}},
               {"surface", "surface.out", "surface", {"surface", "divsurf"}},
               {"tops", "cellstat.olabel", "tops", {"cellstat"}},
               {"centres", "centres.out", "centres", {"centres"}},
               {"axis", "axis.oaxis", "axis", {"axis", "column"}},
               {"ticks", "ticks.otick", "ticks", {"ticks", "column"}},
               {"tick_labels", "ticks.olabel", "labels", {"ticks", "column"}},
               {"slices", "slice", "slices", {"slice"}},
               {"rainmesh", "mesh.out_mesh", "lines", {"mesh"}},
               {"alpha", "alpha.out", "alpha", {"alpha"}},
               {"picks", "pick.out", "picks", {"pick"}},
               {"ground", "ground", "ground", {}}};
}

void Scene::open_network(const std::string& path) {
    mode_ = "network";
    title_ = fs::path(path).filename().string();
    live_ = std::make_unique<LiveNetwork>(Document::read(path));
    first_run_ = live_->run();
    add_output_layers();
}

// Every field of a network: its own fields, and what its instances write.
void Scene::add_output_layers() {
    for (const auto& c : root().children()) {
        if (c->kind() == vhost::Kind::Field) layers_.push_back({c->name(), c->name(), "field", {}});
        if (c->module().empty()) continue;
        for (const auto& o : c->children()) {
            if (o->role() != vhost::Role::Out && o->role() != vhost::Role::InOut) continue;
            const std::string path = c->name() + "." + o->name();
            if (o->kind() == vhost::Kind::Field) layers_.push_back({path, path, "field", {c->name()}});
            if (o->kind() == vhost::Kind::GroupArray && o->element_template() &&
                o->element_template()->kind() == vhost::Kind::Field)
                for (const auto& e : o->children()) layers_.push_back({e->path(), e->path(), "field", {c->name()}});
        }
    }
}


// The volume: the opacity grid of CreateRainTrans (trans_ze, id 672) with
// the thresholded reflectivity of ThreshMin beside it, on the same nodes.
Json Scene::volume_layer(Pack& pack) {
    vhost::Object& trans = root().at("trans").at("out");
    // The checkerboard is not drawn: only the opacity ramp goes.
    LayerOptions without_lines = options_.layers;
    without_lines.skip.push_back("trans_line");
    Json layer = field_layer(trans, pack, without_lines);
    if (layer["kind"] != "image") return layer;
    vhost::FieldRef shown(root().at("thresh").at("out_nd"));
    vhost::FieldRef radar(root().at("radar"));
    if (shown.ncomp() < 1) return layer;
    vhost::FieldRef geometry(trans);
    // The thresholded values on the grid's geometry, downsampled as the opacity is.
    const auto dims = geometry.dims();
    const std::int64_t s = layer["stride"].get<std::int64_t>();
    const auto v = shown.float_view(0);
    std::vector<float> down;
    if (s == 1) {
        down.assign(v.begin(), v.end());
    } else {
        const std::int64_t nx = dims[0], ny = dims[1], nz = dims[2], mx = (nx + s - 1) / s, my = (ny + s - 1) / s;
        down.assign(static_cast<std::size_t>(mx * my * nz), -INFINITY);
        for (std::int64_t k = 0; k < nz; ++k)
            for (std::int64_t j = 0; j < ny; ++j)
                for (std::int64_t i = 0; i < nx; ++i) {
                    float& o = down[static_cast<std::size_t>(i / s + mx * (j / s + my * k))];
                    o = std::max(o, v[static_cast<std::size_t>(i + nx * (j + ny * k))]);
                }
    }
    Json ze = {{"label", radar.label(0)}, {"units", radar.units(0)}, {"veclen", 1},
               {"array", pack.add(std::span<const float>(down))}};
    if (shown.null_flag(0)) ze["null"] = shown.null_value(0);
    ze["range"] = Json::array({0.0, 0.0});
    float lo = INFINITY, hi = -INFINITY;
    for (float x : v)
        if (std::isfinite(x) && !(shown.null_flag(0) && x == static_cast<float>(shown.null_value(0)))) lo = std::min(lo, x), hi = std::max(hi, x);
    if (lo <= hi) ze["range"] = {lo, hi};
    layer["components"].push_back(std::move(ze));
    return layer;
}

// The isosurface with DivIsosurf's area number of every node.
Json Scene::surface_layer(Pack& pack) {
    vhost::Object& surface = root().at("surface").at("out");
    Json layer = field_layer(surface, pack, options_.layers);
    if (layer["kind"] != "mesh") return layer;
    vhost::FieldRef areas(root().at("divsurf").at("out_nd"));
    const auto n = static_cast<std::size_t>(vhost::FieldRef(surface).nnodes());
    std::vector<std::int32_t> no = areas.ncomp() > 0 ? areas.int_values(0) : std::vector<std::int32_t>{};
    no.resize(n, 0);
    const auto [lo, hi] = no.empty() ? std::pair{0, 0} : std::pair{*std::min_element(no.begin(), no.end()), *std::max_element(no.begin(), no.end())};
    layer["components"].push_back({{"label", "area_no"}, {"units", ""}, {"veclen", 1}, {"type", "int32"},
                                   {"array", pack.add(std::span<const std::int32_t>(no))}, {"range", {lo, hi}}});
    vhost::FieldRef f(surface);
    std::int64_t triangles = 0;
    for (int c = 0; c < f.ncell_sets(); ++c)
        if (f.cell_type(c) == "Tri") triangles += f.cell_set(c).at("ncells").int_value();
    layer["triangles"] = triangles;
    return layer;
}

// CreateRainSlice's planes by their transforms: the page cuts the volume
// along each.
Json Scene::slices_layer() {
    Json planes = Json::array();
    vhost::Object& slice = root().at("slice");
    vhost::Object* arr = slice.child("oplanes");
    if (arr && (arr = arr->deref()))
        for (const auto& p : arr->children()) {
            vhost::FieldRef f(*p);
            planes.push_back({{"mat", f.xform("mat")}, {"xlate", f.xform("xlate")}, {"center", f.xform("center")}});
        }
    return {{"kind", "planes"}, {"planes", planes}};
}

Json Scene::layer(const LayerEntry& entry, Pack& pack) {
    Json l;
    if (entry.role == "volume") l = volume_layer(pack);
    else if (entry.role == "surface") l = surface_layer(pack);
    else if (entry.role == "slices") l = slices_layer();
    else if (vhost::Object* f = root().find(entry.field)) l = field_layer(*f, pack, options_.layers);
    else l = {{"kind", "empty"}};
    // The cells' numbers label their tops and centres.
    if ((entry.role == "tops" || entry.role == "centres") && l["kind"] == "mesh") {
        const auto texts = root().at("cellstat").at("no_label").deref()->strings();
        if (texts.size() == static_cast<std::size_t>(vhost::FieldRef(*root().find(entry.field)).nnodes())) l["texts"] = texts;
    }
    l["role"] = entry.role;
    l["field"] = entry.field;
    return l;
}

// The panel: every instance with the parameters its module declares.
Json Scene::panel() const {
    Json list = Json::array();
    for (const auto& inst : live_->plan().instances) {
        Json params = Json::array();
        for (const auto& c : inst.object->children()) {
            if (!panel_parameter(*c)) continue;
            Json p = {{"name", c->name()}, {"kind", kind_text(*c)}, {"value", value_json(*c)},
                      {"default", default_text(*c)}};
            if (c->kind() == vhost::Kind::Link) p["linked"] = c->target();
            params.push_back(std::move(p));
        }
        const vhost::ModuleDecl* decl = vhost::find_module(inst.object->module());
        list.push_back({{"name", inst.name}, {"module", inst.object->module()},
                        {"summary", decl ? decl->summary : ""}, {"params", params}});
    }
    return list;
}

std::string Scene::answer(const RunResult& run, bool everything, Json extra) {
    Pack pack;
    Json& h = pack.header();
    h["title"] = title_;
    h["mode"] = mode_;
    h["ran"] = run.instances;
    h["messages"] = run.messages;
    h["ok"] = run.ok;
    h["seconds"] = run.seconds;
    h["layers"] = Json::object();
    for (const auto& entry : layers_)
        if (everything || touches(entry.deps, run.instances)) h["layers"][entry.name] = layer(entry, pack);
    if (everything) {
        h["instances"] = panel();
        if (!view_.is_null()) h["view"] = view_;
        if (mode_ == "radar") {
            h["grid"] = {{"x", {axes_.x.front(), axes_.x.back()}}, {"y", {axes_.y.front(), axes_.y.back()}},
                         {"z", {axes_.z.front(), axes_.z.back()}},
                         {"dims", {axes_.x.size(), axes_.y.size(), axes_.z.size()}}};
            if (axes_.origin) h["grid"]["origin"] = {axes_.origin->lat, axes_.origin->lon};
        }
    } else {
        h["params"] = Json::object();
        for (const auto& inst : live_->plan().instances)
            for (const auto& c : inst.object->children())
                if (panel_parameter(*c)) h["params"][inst.name + "." + c->name()] = value_json(*c);
    }
    h["cells"] = mode_ == "radar" ? Json(cell_measures().size()) : Json(nullptr);
    for (auto& [k, v] : extra.items()) h[k] = v;
    return pack.bytes();
}

std::string Scene::full() { return answer(first_run_, true); }

std::string Scene::set(const std::vector<LiveNetwork::Change>& changes) { return answer(live_->set(changes), false); }

// The probe: the values of the radar grid at every pick, with the cell the
// voxel belongs to, for PickInfo2Str.
void Scene::fill_probe() {
    vhost::FieldRef picks(root().at("pick").at("out"));
    vhost::FieldRef radar(root().at("radar"));
    const auto xyz = picks.coord();
    const auto n = static_cast<std::size_t>(picks.nnodes());
    const auto values = radar.float_view(0);
    vhost::FieldRef grid_areas(root().at("gridarea").at("out"));
    const auto cells = grid_areas.ncomp() > 0 ? grid_areas.int_view(0) : std::span<const std::int32_t>{};
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
    if (mode_ != "radar") return answer({}, false, {{"pick", {{"hit", false}, {"text", "picking needs a radar volume"}}}});
    vhost::FieldRef radar(root().at("radar"));
    vhost::Object& thresh = root().at("thresh").at("thresh_value");
    const float shown = thresh.has_value() ? static_cast<float>(thresh.real_value()) : static_cast<float>(options_.analysis.level);
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
    if (mode_ != "radar") return answer({}, false);
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
