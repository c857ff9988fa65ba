// The watcher of a network (watcher.h): one folder per radar (each may hold
// the real-time feed's numbered folders of chunks), every radar's volume put
// into its time step, and each step made into one mosaic when its radars are
// all in or at its deadline.
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "polar/mosaic.h"
#include "polar/polar_input.h"
#include "realtime/arrivals.h"
#include "realtime/nexrad_chunks.h"
#include "realtime/network_steps.h"
#include "realtime/watcher.h"
#include "run/values.h"

namespace velmora::realtime {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool digits(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A folder itself, not a link to one (a link may lead out of the watched folder).
bool real_folder(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> sorted_names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator d(dir, ec), end; !ec && d != end; d.increment(ec)) names.push_back(d->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// A radar's folder: one directly in the watched folder, named other than
// the feed's numbered volume folders, not hidden and not the output folder.
// The watcher follows a network when the folder holds two or more of them
// at its first start; a folder keeps what it was made as (its state says).
void Watcher::start_network() {
    std::vector<std::string> radars;
    if (const auto stored = store_->meta("radars")) {
        std::istringstream in(*stored);
        for (std::string r; std::getline(in, r);) radars.push_back(r);
    } else {
        for (const std::string& n : sorted_names(o_.input)) {
            const std::string path = (fs::path(o_.input) / n).string();
            if (!writing_name(n) && !digits(n) && real_folder(path) && fs::canonical(path).string() != out_canonical_)
                radars.push_back(n);
        }
        if (radars.size() < 2) radars.clear();
    }
    if (radars.empty()) return;
    network_ = std::make_unique<NetworkSteps>(radars, o_.analysis.polar.mosaic.max_age, o_.deadline);
    network_->restore_made(store_->meta("network_steps").value_or(""));
    o_.analysis.mosaic = true;
    // The grid of the first step, kept for the whole series.
    const auto grid = store_->meta("network_grid");
    double g[6];
    if (grid && std::sscanf(grid->c_str(), "%la,%la,%la,%la,%la,%la", &g[0], &g[1], &g[2], &g[3], &g[4], &g[5]) == 6) {
        polar::GridOptions& o = o_.analysis.polar.grid;
        o.origin = GeoOrigin{g[0], g[1]};
        o.xmin = g[2], o.xmax = g[3], o.ymin = g[4], o.ymax = g[5];
        o_.analysis.polar.mosaic.extent_given = true;
    }
}

std::vector<std::string> Watcher::radars() const { return network_ ? network_->radars() : std::vector<std::string>{}; }

// The grid of a network's series: that of its first step's radars (its
// origin their centre and its extent their ranges, unless given). Radars
// missing from the first step are gridded within it.
void Watcher::fix_network_grid(std::span<const polar::PolarVolume> volumes) {
    if (store_->meta("network_grid")) return;
    std::vector<polar::MosaicRadar> radars = polar::mosaic_radars(volumes);
    polar::PolarInput& in = o_.analysis.polar;
    in.grid = polar::network_grid(in.grid, in.mosaic, radars);
    in.mosaic.extent_given = true;
    char b[200];
    std::snprintf(b, sizeof b, "%a,%a,%a,%a,%a,%a", in.grid.origin->lat, in.grid.origin->lon, in.grid.xmin, in.grid.xmax,
                  in.grid.ymin, in.grid.ymax);
    store_->set_meta("network_grid", b);
}

void Watcher::watch_folder(const std::string& path) {
    if (inotify_fd_ < 0 || std::find(watched_.begin(), watched_.end(), path) != watched_.end()) return;
    const std::uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_DELETE;
    if (::inotify_add_watch(inotify_fd_, path.c_str(), events) >= 0) watched_.push_back(path);
}

// The names the watcher looks at, within its folder: its own entries, those
// of the feed's numbered folders (NNN/chunk), and of a network's radar
// folders (RADAR/file, RADAR/NNN/chunk).
std::vector<std::string> Watcher::entries() {
    std::vector<std::string> out;
    for (const std::string& n : sorted_names(o_.input)) {
        const fs::path path = fs::path(o_.input) / n;
        if (writing_name(n) || !real_folder(path.string())) {
            out.push_back(n);
            continue;
        }
        const bool radar = network_ && !digits(n) && fs::canonical(path).string() != out_canonical_;
        if (!digits(n) && !radar) continue;
        if (radar) network_->add_radar(n);
        watch_folder(path.string());
        for (const std::string& m : sorted_names(path.string())) {
            const fs::path inner = path / m;
            if (radar && digits(m) && real_folder(inner.string())) {
                watch_folder(inner.string());
                for (const std::string& k : sorted_names(inner.string())) out.push_back(n + "/" + m + "/" + k);
            } else {
                out.push_back(n + "/" + m);
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A network's volume's radar: the folder it is in; none for one radar's.
std::string Watcher::radar_of(const std::string& name) const {
    const auto slash = name.find('/');
    if (!network_ || slash == std::string::npos) return {};
    const std::string first = name.substr(0, slash);
    return digits(first) ? std::string() : first;
}

// A chunk's name; its volume, of a network's radar, named within the radar's folder.
std::optional<ChunkName> Watcher::chunk_of(const std::string& name) const {
    auto c = chunk_name(fs::path(name).filename().string());
    if (c && !radar_of(name).empty()) c->volume = radar_of(name) + "/" + c->volume;
    return c;
}

// A radar's whole file into its step, read as it comes: a step's mosaic
// then waits only for the reading of its last volume, not of every one.
void Watcher::enter(const std::string& name, Pending& p, std::vector<VolumeOutcome>& out) {
    StepVolume v;
    v.name = name, v.radar = radar_of(name), v.record = FileRecord(name, p.size, p.mtime_ns);
    v.arrival = double(p.mtime_ns) / 1e9;
    std::string problem;
    if (v.radar.empty()) problem = "a network's volumes go into one folder per radar";
    else if (!polar::is_polar(p.path))
        problem = "a network's radar folders hold polar volumes (ODIM, NEXRAD Level II or CF/Radial)";
    if (problem.empty()) {
        try {
            v.record.checksum = checksum_of(p.path);
            polar::PolarVolume pv = polar::read_input(p.path, reading());
            if (!pv.time) throw std::runtime_error("the file gives no time, which a network's volumes are grouped by");
            v.time = *pv.time;
            v.volume = std::move(pv);
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    if (!problem.empty()) {
        out.push_back(failed(name, v.record, VolumeOutcome::State::Failed, problem));
        return;
    }
    if (const auto late = network_->add(std::move(v)))
        out.push_back(failed(name, FileRecord(name, p.size, p.mtime_ns), VolumeOutcome::State::Skipped, *late));
}

// A radar's volume of chunks, complete, into its step, read.
void Watcher::enter_chunks(const std::string& volume, std::vector<VolumeOutcome>& out) {
    StepVolume v;
    v.name = volume, v.radar = radar_of(volume);
    v.record = FileRecord(volume, chunks_->bytes(volume), 0, chunks_->checksum(volume));
    try {
        v.arrival = chunks_->newest(volume);
        polar::PolarVolume pv = chunks_->take(volume, o_.analysis.polar.site);
        if (!pv.time) throw std::runtime_error("the volume gives no time, which a network's volumes are grouped by");
        v.time = *pv.time;
        pv.source = v.radar;   // the radar's name in the mosaic
        v.volume = std::move(pv);
    } catch (const std::runtime_error& e) {
        out.push_back(failed(volume, v.record, VolumeOutcome::State::Failed, e.what()));
        return;
    }
    if (const auto late = network_->add(std::move(v)))
        out.push_back(failed(volume, FileRecord(volume, chunks_->bytes(volume), 0), VolumeOutcome::State::Skipped, *late));
}

// A step made into its mosaic, of the volumes read as they came: analyzed
// and placed as one volume of the series, every file of it recorded with it.
void Watcher::process_step(TimeStep s, std::vector<VolumeOutcome>& out) {
    const auto start = Clock::now();
    std::vector<polar::PolarVolume> volumes;
    std::vector<FileRecord> recs;
    std::vector<std::string> radars;
    const std::vector<std::string>& missing = s.missing;
    for (StepVolume& v : s.volumes) {
        volumes.push_back(std::move(*v.volume));
        v.volume.reset();
        recs.push_back(v.record);
        radars.push_back(v.radar);
    }
    if (volumes.empty()) return;
    if (!missing.empty())
        std::fprintf(msg_, "velmora watch: %s: its mosaic is made without %s: no volume of %s came within %g s\n",
                     recs.front().name.c_str(), joined(missing).c_str(), missing.size() > 1 ? "theirs" : "it",
                     o_.deadline);
    fix_network_grid(volumes);
    const std::string name = recs.front().name;
    Analyzed a = analysis_of(name, name, nullptr, nullptr, nullptr, volumes);
    a.radars = radars;
    a.missing = missing;
    if (a.status != 0 && !out_writable()) {
        std::fprintf(msg_, "velmora watch: %s: %s: the output folder takes no more: tried again later\n",
                     name.c_str(), a.reason.c_str());
        for (std::size_t i = 0; i < volumes.size(); ++i) s.volumes[i].volume = std::move(volumes[i]);
        network_->put_back(std::move(s));
        step_retry_at_ = Clock::now() + std::chrono::seconds(10);
        out.push_back(VolumeOutcome(name, VolumeOutcome::State::Retry, a.reason));
        return;
    }
    if (a.status != 0) {
        out.push_back(failed(name, std::move(recs), VolumeOutcome::State::Failed, a.reason));
        return;
    }
    VolumeOutcome o = place(name, a, std::move(recs));
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.push_back(std::move(o));
}

}  // namespace velmora::realtime
