#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <filesystem>
#include <map>

#include "analysis/cell_analysis.h"
#include "field_ref.h"
#include "om.h"
#include "run/field_json.h"
#include "run/module_info.h"
#include "run/operations.h"
#include "run/values.h"
#include "scene/pick.h"
#include "scene/radar.h"
#include "scene/slices.h"
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

// An analyze folder, or a track folder's volumes one at a time: their files
// read into the fields the layers show, nothing run again but picks and
// saved views.
void Scene::open_saved(const std::string& dir, SavedKind kind) {
    if (kind == SavedKind::None)
        throw std::runtime_error(dir + " is a folder without the results of velmora analyze (radar.vti) or velmora "
                                 "track (tracks.csv, volumes.csv)");
    mode_ = kind == SavedKind::Track ? "track" : "analysis";
    saved_dir_ = dir;
    title_ = fs::absolute(dir).lexically_normal().filename().string();
    if (title_.empty()) title_ = fs::absolute(dir).lexically_normal().parent_path().filename().string();
    for (const char* f : {"radar", "surface", "tops", "centres", "axis", "ticks", "isovolume", "tracks", "probe"})
        root().add_field(f);
    std::optional<GeoOrigin> origin;
    if (kind == SavedKind::Track) {
        tracks_ = read_table((fs::path(dir) / "tracks.csv").string());
        const Table volumes = read_table((fs::path(dir) / "volumes.csv").string());
        for (std::size_t r = 0; r < volumes.rows.size(); ++r) {
            // A folder of volumes/ by its name alone: nothing outside the given folder is read.
            const std::string& folder = volumes.at(r, "folder");
            if (folder.empty() || folder == "." || folder == ".." || folder.find('/') != std::string::npos)
                throw std::runtime_error(dir + "/volumes.csv names a folder outside volumes/: \"" + folder + "\"");
            frames_.push_back({folder, volumes.at(r, "time"), volumes.at(r, "volume")});
        }
        if (frames_.empty()) throw std::runtime_error(dir + "/volumes.csv lists no volume");
        load_frame(0);
        origin = origin_of(tracks_);
    } else {
        load_results(dir);
        origin = origin_of(cells_table_);
    }
    axes_.origin = origin;
    if (Json ground = ground_field(axes_, options_.map_file); !ground.is_null())
        load_field(ground, Place("ground"), root().add_field("ground"));
    if (kind == SavedKind::Track) track_lines(tracks_, axes_.z.empty() ? 0.0f : axes_.z.front(), root().at("tracks"));
    live_ = std::make_unique<LiveNetwork>(Document::parse("velmora view", saved_network((fs::path(out_dir_) / "view.v").string()).dump()));
    first_run_ = live_->run();
    const std::set<std::string> shown{"series"};
    layers_ = {{"volume", "radar", "volume", shown},       {"surface", "surface", "surface", shown},
               {"tops", "tops", "tops", shown},            {"centres", "centres", "centres", shown},
               {"axis", "axis", "axis", shown},            {"ticks", "ticks", "ticks", shown},
               {"isovolume", "isovolume", "isovolume", shown}, {"picks", "pick.out", "picks", {"pick"}},
               {"ground", "ground", "ground", {}}};
    if (kind == SavedKind::Track) layers_.push_back({"tracks", "tracks", "tracks", {}});
}

// One analysis' files into the scene's fields; a file an analysis without
// cells did not write leaves its field empty.
void Scene::load_results(const std::string& dir) {
    const fs::path d(dir);
    vhost::Object& radar = root().at("radar");
    load_vtk_file((d / "radar.vti").string(), radar);
    vhost::FieldRef r(radar);
    const auto dims = r.dims();
    const auto pts = r.points();
    std::vector<float>* axes[] = {&axes_.x, &axes_.y, &axes_.z};
    for (std::size_t a = 0; a < 3; ++a) {
        axes[a]->resize(static_cast<std::size_t>(dims.at(a)));
        for (std::int64_t i = 0; i < dims[a]; ++i)
            (*axes[a])[static_cast<std::size_t>(i)] = vhost::uniform_coordinate(pts.at(a), pts.at(3 + a), i, dims[a]);
    }
    const std::pair<const char*, const char*> files[] = {{"surface", "isosurface.vtp"}, {"tops", "cell_tops.vtp"},
                                                         {"centres", "centres.vtp"},   {"axis", "legend_axis.vtp"},
                                                         {"ticks", "legend_ticks.vtp"}, {"isovolume", "isovolume.vtu"}};
    std::error_code ec;
    for (const auto& [field, file] : files) {
        vhost::Object& f = root().at(field);
        if (fs::is_regular_file(d / file, ec)) {
            load_vtk_file((d / file).string(), f);
        } else {
            f.truncate_children(0);
            vhost::make_field_members(f);
        }
    }
    cells_table_ = fs::is_regular_file(d / "cell_properties.csv", ec) ? read_table((d / "cell_properties.csv").string()) : Table{};
    // The centres are in the order of cells.csv: its first column numbers them.
    if (fs::is_regular_file(d / "cells.csv", ec)) {
        const Table cells = read_table((d / "cells.csv").string());
        auto& texts = root().at("centres").add_free_str_array("text_values").strings();
        for (const auto& row : cells.rows) texts.push_back(row.empty() ? "" : row[0]);
        texts.resize(static_cast<std::size_t>(vhost::FieldRef(root().at("centres")).nnodes()));
    }
}

void Scene::load_frame(std::size_t k) {
    if (k >= frames_.size()) throw NetworkError("there is no volume " + std::to_string(k) + " (" + std::to_string(frames_.size()) + " volumes)");
    frame_ = k;
    load_results((fs::path(saved_dir_) / "volumes" / frames_[k][0]).string());
    colour_by_track();
}

// The surface's nodes and the centres of this volume's cells by the track
// each cell belongs to.
void Scene::colour_by_track() {
    std::map<int, int> track_of;
    for (std::size_t r = 0; r < tracks_.rows.size(); ++r)
        if (tracks_.at(r, "source") == frames_[frame_][2] && tracks_.at(r, "time") == frames_[frame_][1]) try {
                track_of[std::stoi(tracks_.at(r, "cell"))] = std::stoi(tracks_.at(r, "track"));
            } catch (const std::exception&) {
            }
    vhost::FieldRef surface(root().at("surface"));
    int cell_comp = -1;
    for (int c = 0; c < surface.ncomp(); ++c)
        if (surface.label(c) == "cell" && !surface.int_view(c).empty()) cell_comp = c;
    if (cell_comp >= 0) {
        std::vector<std::int32_t> tracks;
        for (std::int32_t cell : surface.int_view(cell_comp)) tracks.push_back(track_of.count(cell) ? track_of[cell] : 0);
        surface.ints("track", tracks);
    }
    if (vhost::Object* texts = root().at("centres").child("text_values"))
        for (auto& t : texts->strings()) try {
                const int cell = std::stoi(t);
                if (track_of.count(cell)) t = "track " + std::to_string(track_of[cell]);
            } catch (const std::exception&) {
            }
}

// What the page shows of saved results beside the layers: the cells' table,
// and of a track folder the volume shown.
Json Scene::saved_header() const {
    // Numbers and times only: the page splits it at commas and line ends.
    std::string csv = cells_table_.columns.empty() ? std::string() : table_text(cells_table_);
    if (!csv.empty()) csv.pop_back();
    Json h = {{"table", csv}};
    if (mode_ == "track") {
        int max_track = 0;
        for (std::size_t r = 0; r < tracks_.rows.size(); ++r) try {
                max_track = std::max(max_track, std::stoi(tracks_.at(r, "track")));
            } catch (const std::exception&) {
            }
        h["series"] = {{"volumes", frames_.size()}, {"volume", frame_}, {"time", frames_[frame_][1]},
                       {"file", frames_[frame_][2]}, {"tracks", max_track}};
    }
    return h;
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
    if (s > 1) {
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
               {"array", pack.add(s == 1 ? v : std::span<const float>(down))}};
    // Looked up once: each lookup walks the tree by name.
    const bool has_null = shown.null_flag(0);
    const auto null_value = static_cast<float>(shown.null_value(0));
    if (has_null) ze["null"] = shown.null_value(0);
    ze["range"] = Json::array({0.0, 0.0});
    float lo = INFINITY, hi = -INFINITY;
    for (float x : v)
        if (std::isfinite(x) && !(has_null && x == null_value)) lo = std::min(lo, x), hi = std::max(hi, x);
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

// CreateRainSlice's planes, each through the point its transform takes the
// origin to, across the third row of its matrix (row vectors), cut through
// the radar field's full grid. Echo is drawn from the display threshold
// (ThreshMin's), and never below 5 dBZ, where the colour table starts.
Json Scene::slices_layer(Pack& pack) {
    vhost::Object* arr = root().at("slice").child("oplanes");
    vhost::FieldRef radar(root().at("radar"));
    if (!arr || !(arr = arr->deref()) || radar.ncomp() < 1) return {{"kind", "empty"}};
    const auto values = radar.float_view(0);
    const bool has_null = radar.null_flag(0);
    const auto null_value = static_cast<float>(radar.null_value(0));
    vhost::Object* thresh = root().at("thresh").child("thresh_value");
    const float from = std::max(5.0f, thresh ? static_cast<float>(thresh->real_value()) : 5.0f);
    SliceMesh mesh;
    for (const auto& p : arr->children()) {
        vhost::FieldRef f(*p);
        const auto mat = f.xform("mat"), xlate = f.xform("xlate"), centre = f.xform("center");
        if (mat.size() < 16 || xlate.size() < 3 || centre.size() < 3) continue;
        SlicePlane plane{};
        for (int j = 0; j < 3; ++j) {
            plane.normal[j] = mat[8 + j];
            plane.origin[j] = centre[j] + xlate[j];
            for (int i = 0; i < 3; ++i) plane.origin[j] -= centre[i] * mat[i * 4 + j];
        }
        cut_plane(plane, axes_, values, has_null, null_value, from, 4'000'000, mesh);
    }
    return slices_mesh_layer(mesh, radar.label(0), radar.units(0), pack);
}

Json Scene::layer(const LayerEntry& entry, Pack& pack) {
    Json l;
    const bool live = mode_ == "radar";
    if (entry.role == "volume" && live) l = volume_layer(pack);
    else if (entry.role == "surface" && live) l = surface_layer(pack);
    else if (entry.role == "winds") l = wind_arrows_layer(root().at(entry.field), axes_, pack);
    else if (entry.role == "volume") {
        LayerOptions without_cells = options_.layers;
        without_cells.skip.push_back("cell");
        l = field_layer(root().at(entry.field), pack, without_cells);
    }
    else if (entry.role == "slices") l = slices_layer(pack);
    else if (vhost::Object* f = root().find(entry.field)) l = field_layer(*f, pack, options_.layers);
    else l = {{"kind", "empty"}};
    // The cells' numbers label their tops and centres.
    if (live && (entry.role == "tops" || entry.role == "centres") && l["kind"] == "mesh") {
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
        if (!v.is_number_integer() || v.get<std::int64_t>() < 0)
            throw NetworkError("series.volume is the number of a volume, from 0");
        const auto started = std::chrono::steady_clock::now();
        load_frame(static_cast<std::size_t>(v.get<std::int64_t>()));
        RunResult run;
        run.instances = {"series"};
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return answer(run, false);
    }
    return answer(live_->set(changes), false);
}

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
