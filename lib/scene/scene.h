// What `velmora view` shows, without the server: a live network on the host
// (the radar scene of a volume, or any network file), its fields as layers,
// parameter changes that re-run what is downstream, picks answered from the
// data by GetPickInfo and PickInfo2Str, and views saved by WriteXform. Every
// answer is a Pack: a JSON header with the layers that changed, the
// instances that ran and the texts their modules reported.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "host.h"
#include "scene/layers.h"
#include "scene/live.h"
#include "scene/saved.h"
#include "options/options.h"

namespace velmora::scene {

struct ViewOptions {
    std::string input;           // a volume, a network file (.json), an analyze or track folder;
                                 // empty: the synthetic volume
    AnalyzeOptions analysis;     // how a volume is read and analyzed (var, time, level, min_cells, polar)
    std::string out{options::text("view", "out")};   // the only folder the modules write in
    std::string map_file;        // the viewer's map.bin
    std::string view_file;       // a WriteXform file to open with (--xform)
    LayerOptions layers;
};

// A watch folder before its watcher recorded a volume: nothing to show yet.
struct NoVolumeYet : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Scene {
public:
    // Reads the input, builds and runs the network. std::runtime_error or
    // NetworkError with the message a user reads; NoVolumeYet for a watch
    // folder of no volume yet.
    explicit Scene(const ViewOptions& o);
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // Everything: the panel's instances with their parameters, every layer.
    std::string full();
    // Sets parameters ({"instance", "path", "value"} each) and re-runs what
    // is downstream; the layers that changed. NetworkError for a value that
    // does not fit. Of a track folder, series.volume chooses the volume
    // shown: its index from 0, or "newest", which reads the folder's tables
    // again (a watcher grows them) and shows its newest volume.
    std::string set(const std::vector<LiveNetwork::Change>& changes);
    // A click: the ray from origin along direction. The first node shown
    // along it is picked (GetPickInfo) and the text of every pick so far
    // (PickInfo2Str) answers; a ray that meets none says so.
    std::string pick(const std::array<double, 3>& origin, const std::array<double, 3>& direction);
    std::string clear_picks();
    // Saves view ({"mat", "xlate", "center", "dcenter", "ocenter"}) with
    // WriteXform into the output folder.
    std::string save_view(const Json& view);

    const std::string& out_dir() const { return out_dir_; }
    const std::string& title() const { return title_; }
    LiveNetwork& network() { return *live_; }

private:
    struct LayerEntry {
        std::string name, field, role;
        std::set<std::string> deps;
    };
    void open_volume(const ViewOptions& o);
    void open_network(const std::string& path);
    void open_saved(const std::string& dir, SavedKind kind);
    void load_results(const std::string& dir);
    void load_frame(std::size_t k);
    void read_series();
    RunResult show_newest();
    void colour_by_track();
    void load_storm_relative();
    bool series_velocity() const;
    Json saved_header() const;
    void add_output_layers();
    Json layer(const LayerEntry& entry, Pack& pack);
    Json volume_layer(Pack& pack);
    Json surface_layer(Pack& pack);
    Json slices_layer(Pack& pack);
    std::string answer(const RunResult& run, bool everything, Json extra = {});
    Json panel() const;
    void fill_probe();
    std::string pick_text();

    ViewOptions options_;
    std::string out_dir_, title_, mode_;
    std::optional<vhost::ConfinedWrites> confined_;
    Volume axes_;                    // the radar grid's axes (its values are in the tree)
    bool winds_ = false;             // the radar field carries u, v, w
    CellSieve sieve_;                // the cells the last run left out by their volume
    std::unique_ptr<LiveNetwork> live_;
    std::vector<LayerEntry> layers_;
    RunResult first_run_;
    Json view_;                      // the view to open with, from --xform
    // Saved results: the folder, its cells' table, and of a track folder
    // its volumes (folder, time, file), its tracks and the volume shown.
    std::string saved_dir_;
    Table cells_table_, tracks_;
    std::vector<std::array<std::string, 3>> frames_;
    std::size_t frame_ = 0;
};

}  // namespace velmora::scene
