#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <chrono>
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
#include "scene/wind.h"

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
    if (!o.analysis.radars.empty() && !polar::is_polar(o.input))
        throw std::runtime_error("several volumes make one mosaic only when each is a polar volume file: " + o.input +
                                 " is not");
    if (o.input.size() > 5 && o.input.compare(o.input.size() - 5, 5, ".json") == 0)
        open_network(o.input);
    else if (std::error_code dir_ec; !o.input.empty() && fs::is_directory(o.input, dir_ec))
        open_saved(o.input, saved_kind(o.input));
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
        axes_ = synthetic_volume();
        fill_volume_field(radar, axes_);
        title_ = "the synthetic volume";
    } else if (polar::is_polar(o.input)) {
        // Several radars' volumes make one mosaic, as velmora analyze makes it.
        std::vector<std::string> paths{o.input};
        paths.insert(paths.end(), o.analysis.radars.begin(), o.analysis.radars.end());
        axes_ = polar::grid_files(paths, o.analysis.polar);
        fill_volume_field(radar, axes_);
        for (const std::string& p : paths) title_ += (title_.empty() ? "" : ", ") + fs::path(p).filename().string();
    } else {
        axes_ = read_volume(o.input, o.analysis.var, [&radar](const Volume& a) { return make_volume_field(radar, a); },
                            o.analysis.time, o.analysis.max_voxels);
        set_volume_null(radar, axes_);
        title_ = fs::path(o.input).filename().string() + " (" + o.analysis.var + ")";
        winds_ = read_winds(radar, o.input, axes_, o.analysis.time, o.analysis.max_voxels);
    }
    decltype(axes_.values)().swap(axes_.values);
    root().add_field("probe");
    if (Json ground = ground_field(axes_, o.map_file); !ground.is_null())
        load_field(ground, Place("ground"), root().add_field("ground"));
    const std::optional<Volume> display = add_display_grid(root(), radar, o.layers.display_voxels);
    Json net = radar_network(o.analysis, axes_, (fs::path(out_dir_) / "view.v").string());
    if (display) show_display_grid(net, *display);
    if (winds_) add_wind_instances(net["instances"], axes_);
    live_ = std::make_unique<LiveNetwork>(Document::parse("velmora view", net.dump()));
    CallSettings settings = analysis_call_settings(false, false);
    add_min_volume(settings, axes_, o.analysis.min_volume_km3, sieve_);
    live_->set_settings(std::move(settings));
    first_run_ = live_->run();
    layers_ = {{"volume", "trans.out", "volume", {"thresh", "trans"}},
               {"surface", "surface.out", "surface", {"surface", "divsurf"}},
               {"tops", "cellstat.olabel", "tops", {"cellstat"}},
               {"centres", "centres.out", "centres", {"centres"}},
               {"axis", "axis.oaxis", "axis", {"axis", "column"}},
               {"ticks", "ticks.otick", "ticks", {"ticks", "column"}},
               {"tick_labels", "ticks.olabel", "labels", {"ticks", "column"}},
               {"slices", "slice", "slices", {"slice", "thresh"}},
               {"rainmesh", "mesh.out_mesh", "lines", {"mesh"}},
               {"alpha", "alpha.out", "alpha", {"alpha"}},
               {"picks", "pick.out", "picks", {"pick"}},
               {"ground", "ground", "ground", {}}};
    if (winds_) {
        const std::set<std::string> wind{"windband", "windscale", "windlegend"};
        layers_.push_back({"winds", "windscale.out", "winds", wind});
        layers_.push_back({"wind_legend", "windlegend.ovec", "axis", wind});
        layers_.push_back({"wind_labels", "windlegend.olabel", "labels", wind});
    }
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
        if (mode_ != "network") {
            h["grid"] = {{"x", {axes_.x.front(), axes_.x.back()}}, {"y", {axes_.y.front(), axes_.y.back()}},
                         {"z", {axes_.z.front(), axes_.z.back()}},
                         {"dims", {axes_.x.size(), axes_.y.size(), axes_.z.size()}}};
            if (axes_.origin) h["grid"]["origin"] = {axes_.origin->lat, axes_.origin->lon};
            h["grid"]["winds"] = winds_;
        }
    } else {
        h["params"] = Json::object();
        for (const auto& inst : live_->plan().instances)
            for (const auto& c : inst.object->children())
                if (panel_parameter(*c)) h["params"][inst.name + "." + c->name()] = value_json(*c);
    }
    h["cells"] = mode_ == "radar" ? Json(cell_measures().size()) : Json(nullptr);
    if (!saved_dir_.empty()) {
        h["cells"] = cells_table_.rows.size();
        if (everything || touches({"series"}, run.instances)) h.update(saved_header());
    }
    for (auto& [k, v] : extra.items()) h[k] = v;
    return std::move(pack).take();
}

std::string Scene::full() { return answer(first_run_, true); }

std::string Scene::set(const std::vector<LiveNetwork::Change>& changes) {
    // A track folder's volume is chosen as a parameter of "series".
    if (mode_ == "track" && changes.size() == 1 && changes[0].instance == "series" && changes[0].path == "volume") {
        const Json& v = changes[0].value;
        if (v == "newest") try {
                return answer(show_newest(), false);
            } catch (const std::runtime_error& e) {
                throw NetworkError(e.what());
            }
        if (!v.is_number_integer() || v.get<std::int64_t>() < 0)
            throw NetworkError("series.volume is the number of a volume, from 0, or \"newest\"");
        const auto started = std::chrono::steady_clock::now();
        load_frame(static_cast<std::size_t>(v.get<std::int64_t>()));
        RunResult run;
        run.instances = {"series"};
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return answer(run, false);
    }
    return answer(live_->set(changes), false);
}

}  // namespace velmora::scene
