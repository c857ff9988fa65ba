// The scene of saved results: an analyze folder, or a track folder a volume at a time.
#include "scene/scene.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>

#include "field_ref.h"
#include "io/output_files.h"
#include "realtime/storm_relative.h"
#include "run/field_json.h"
#include "scene/event.h"
#include "scene/radar.h"

namespace velmora::scene {

namespace fs = std::filesystem;

namespace {

vhost::Object& root() { return vhost::host().root(); }

}  // namespace

// An analyze folder, or a track folder's volumes one at a time: their files
// read into the fields the layers show, nothing run again but picks and
// saved views.
void Scene::open_saved(const std::string& dir, SavedKind kind) {
    if (kind == SavedKind::None && event_kind(dir) == EventKind::Watch)
        throw NoVolumeYet(dir + " holds no volume yet: its watcher has recorded none");
    if (kind == SavedKind::None)
        throw std::runtime_error(dir + " is a folder without the results of velmora analyze (radar.vti) or velmora "
                                 "track (tracks.csv, volumes.csv)");
    mode_ = kind == SavedKind::Track ? "track" : "analysis";
    saved_dir_ = dir;
    title_ = fs::absolute(dir).lexically_normal().filename().string();
    if (title_.empty()) title_ = fs::absolute(dir).lexically_normal().parent_path().filename().string();
    for (const char* f :
         {"radar", "surface", "tops", "centres", "axis", "ticks", "isovolume", "tracks", "probe", "storm_relative"})
        root().add_field(f);
    std::optional<GeoOrigin> origin;
    if (kind == SavedKind::Track) {
        read_series();
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
    if (kind == SavedKind::Track) layers_.push_back({"tracks", "tracks", "tracks", {"tracks"}});
    // Offered where the series has a radial velocity.
    if (kind == SavedKind::Track && series_velocity())
        layers_.push_back({"storm_relative", "storm_relative", "velocity", shown});
}

// Whether a volume of the series kept its radial velocity (velocity.nc).
bool Scene::series_velocity() const {
    std::error_code ec;
    return std::any_of(frames_.begin(), frames_.end(), [&](const std::array<std::string, 3>& f) {
        return fs::is_regular_file(fs::path(saved_dir_) / "volumes" / f[0] / "velocity.nc", ec);
    });
}

// A track folder's volumes and tracks, read again as a watcher grows them.
void Scene::read_series() {
    const fs::path dir(saved_dir_);
    Table tracks = read_table((dir / "tracks.csv").string());
    const Table volumes = read_table((dir / "volumes.csv").string());
    std::vector<std::array<std::string, 3>> frames;
    for (std::size_t r = 0; r < volumes.rows.size(); ++r) {
        const std::string& folder = volumes.at(r, "folder");
        check_volume_folder(folder, saved_dir_ + "/volumes.csv");
        frames.push_back({folder, volumes.at(r, "time"), volumes.at(r, "volume")});
    }
    if (frames.empty() && event_kind(saved_dir_) == EventKind::Watch)
        throw NoVolumeYet(saved_dir_ + " holds no volume yet: its watcher has recorded none");
    if (frames.empty()) throw std::runtime_error(saved_dir_ + "/volumes.csv lists no volume");
    frames_ = std::move(frames);
    tracks_ = std::move(tracks);
}

// The folder read again and its newest volume shown: what a page following
// a watcher asks for at each volume recorded. Its tracks' lines are made
// again; the view's other state is the page's and stays.
RunResult Scene::show_newest() {
    const auto started = std::chrono::steady_clock::now();
    read_series();
    load_frame(frames_.size() - 1);
    track_lines(tracks_, axes_.z.empty() ? 0.0f : axes_.z.front(), root().at("tracks"));
    RunResult run;
    run.instances = {"series", "tracks"};
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return run;
}

// One analysis' files into the scene's fields; a file an analysis without
// cells did not write leaves its field empty.
void Scene::load_results(const std::string& dir) {
    const fs::path d(dir);
    vhost::Object& radar = root().at("radar");
    std::error_code ec;
    // A volume without cells has no radar.vti: the grid it was analyzed on.
    if (fs::is_regular_file(d / "radar.vti", ec)) load_vtk_file((d / "radar.vti").string(), radar);
    else if (fs::is_regular_file(d / "grid.nc", ec)) fill_volume_field(radar, volume_grid(dir));
    else throw std::runtime_error(dir + " holds no radar.vti (nor the grid of a polar volume, grid.nc)");
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
    load_storm_relative();
}

// The storm-relative velocity of the volume shown, where it has a radial
// velocity and a known motion; an empty field otherwise.
void Scene::load_storm_relative() {
    vhost::Object& field = root().at("storm_relative");
    field.truncate_children(0);
    vhost::make_field_members(field);
    if (const std::optional<Volume> v = realtime::storm_relative_volume(saved_dir_, frames_[frame_][0])) fill_volume_field(field, *v);
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
        // watch: a watcher's folder, which the page follows as it grows.
        h["series"] = {{"volumes", frames_.size()}, {"volume", frame_}, {"time", frames_[frame_][1]},
                       {"file", frames_[frame_][2]}, {"tracks", max_track},
                       {"watch", event_kind(saved_dir_) == EventKind::Watch}};
    }
    return h;
}

}  // namespace velmora::scene
