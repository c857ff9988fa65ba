// The watcher's work on one volume: its analysis, its place in the series,
// and the one transaction that records it with every product it changes
// (watcher.h).
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "realtime/arrivals.h"
#include "io/output_files.h"
#include "io/table.h"
#include "realtime/nexrad_chunks.h"
#include "realtime/products.h"
#include "realtime/watcher.h"

namespace velmora::realtime {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;


namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<float> axis_of(const std::string& text) {
    std::vector<float> a;
    std::istringstream in(text);
    for (std::string v; std::getline(in, v, ',');)
        if (!v.empty()) a.push_back(static_cast<float>(std::strtod(v.c_str(), nullptr)));
    return a;
}

// What the analysis said, without the command's name before each line.
std::string reason_of(std::string text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("velmora analyze: ", 0) == 0) line.erase(0, 17);
        if (!line.empty()) out += (out.empty() ? "" : "; ") + line;
    }
    return out.empty() ? std::string("the analysis failed") : out;
}

}  // namespace

void Watcher::restore_series() {
    series_ = std::make_unique<LiveSeries>(o_.series);
    table_.reset();
    origin_.reset();
    guess_ = {};
    guess_.keep(store_->velocity());
    if (const auto extra = store_->meta("extra"))
        table_.emplace(extra->empty() ? std::vector<std::string>{} : parse_table(*extra, "the property columns").columns);
    if (const auto origin = store_->meta("origin")) {
        double lat = 0, lon = 0;
        if (std::sscanf(origin->c_str(), "%la,%la", &lat, &lon) == 2) origin_ = GeoOrigin{lat, lon};
    }
    const auto x = store_->meta("plane_x"), y = store_->meta("plane_y");
    if (!x || !y) return;
    int tracks_before = 0;
    std::size_t volumes_before = 0;
    auto window = store_->load_window(series_->min_volumes(), series_->horizon(), tracks_before, volumes_before);
    series_->restore({axis_of(*x), axis_of(*y)}, std::move(window), tracks_before, volumes_before);
}

std::string Watcher::folder_for(const std::string& name) const {
    std::string stem = fs::path(name).stem().string();
    if (stem.empty()) stem = name;
    std::string folder = stem;
    for (int n = 2; std::find(folders_.begin(), folders_.end(), folder) != folders_.end(); ++n)
        folder = stem + "-" + std::to_string(n);
    return folder;
}

void Watcher::record(const FileRecord& r) {
    store_->put_file(r);
    files_[r.name] = r;
}

VolumeOutcome Watcher::failed(const std::string& name, FileRecord rec, VolumeOutcome::State s, const std::string& reason) {
    rec.name = name;
    return failed(name, std::vector<FileRecord>{std::move(rec)}, s, reason);
}

// The files of a volume (a network's step has one per radar) recorded as
// what became of it, in one transaction; said once, under its name.
VolumeOutcome Watcher::failed(const std::string& name, std::vector<FileRecord> recs, VolumeOutcome::State s,
                              const std::string& reason) {
    std::fprintf(msg_, "velmora watch: %s %s: %s\n", name.c_str(), s == VolumeOutcome::State::Skipped ? "skipped" : s == VolumeOutcome::State::Refused ? "refused" : "failed", reason.c_str());
    try {
        StateStore::Transaction tx(*store_);
        for (FileRecord& rec : recs) {
            rec.state = state_name(s);
            rec.reason = reason;
            const auto before = files_.find(rec.name);
            rec.attempts = before != files_.end() ? before->second.attempts + 1 : rec.attempts + 1;
            record(rec);
        }
        tx.commit();
    } catch (const std::exception& e) {
        std::fprintf(msg_, "velmora watch: %s\n", e.what());
    }
    return VolumeOutcome(name, s, reason);
}

Watcher::Analyzed Watcher::analysis_of(const std::string& name, const std::string& path, const polar::PolarVolume* polar_volume,
                                       const Volume* polar_grid, const ChunkMoments* moments,
                                       std::span<const polar::PolarVolume> mosaic) {
    Analyzed a;
    a.folder = folder_for(name);
    AnalyzeOptions ao = o_.analysis;
    ao.volume = path;
    ao.polar_volume = polar_volume;
    ao.polar_grid = polar_grid;
    ao.mosaic_volumes = mosaic;
    if (moments) ao.polar_velocity = &moments->velocity, ao.polar_width = &moments->width;
    guess_.set_motion(series_->size() ? tracking::storm_motion(series_->frame(series_->size() - 1).rows) : std::nullopt);
    ao.velocity_guess = guess_.options();
    ao.out = (fs::path(o_.out) / "volumes" / a.folder).string();
    ao.for_tracking = &a.result;
    // A volume analyzed again after a crash: its forecasts are the watcher's
    // own and are made again, so the analysis may replace the folder.
    std::error_code gone;
    for (const char* own : {"forecast.csv", "forecast.geojson"}) fs::remove(fs::path(ao.out) / own, gone);
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* err = ::open_memstream(&text, &length);
    // The summary of each analysis stays out of the watcher's output.
    AnalysisSummary summary;
    a.status = analyze(ao, err ? err : msg_, summary);
    if (err) {
        std::fclose(err);
        a.reason = reason_of(std::string(text, length));
        std::free(text);
    }
    if (a.status != 0) {
        std::error_code ec;
        fs::remove_all(ao.out, ec);   // no volume of the series has this folder
    }
    return a;
}

// Whether the output folder takes a file of some size: after a failed
// analysis, tells a full disk (the volume is tried again) from a volume that
// cannot be analyzed (recorded).
bool Watcher::out_writable() const {
    try {
        write_file((fs::path(o_.out) / "velmora-probe").string(), std::string(std::size_t{1} << 18, '\0'), WholeFile{false, {}});
    } catch (const std::exception&) {
        return false;
    }
    std::error_code ec;
    fs::remove(fs::path(o_.out) / "velmora-probe", ec);
    return true;
}

VolumeOutcome Watcher::process(const std::string& name, Pending& p) {
    const auto start = Clock::now();
    FileRecord rec(name, p.size, p.mtime_ns);
    try {
        rec.checksum = checksum_of(p.path);
    } catch (const std::runtime_error& e) {
        return VolumeOutcome(name, VolumeOutcome::State::Retry, e.what());
    }
    Analyzed a = analysis_of(name, p.path, nullptr);
    if (a.status != 0 && !out_writable()) {
        // The output folder's fault (a full disk), not the volume's.
        std::fprintf(msg_, "velmora watch: %s: %s: the output folder takes no more: tried again later\n", name.c_str(),
                     a.reason.c_str());
        return VolumeOutcome(name, VolumeOutcome::State::Retry, a.reason);
    }
    if (a.status == 2 || (a.status != 0 && p.attempts + 1 >= o_.max_attempts))
        return failed(name, rec, VolumeOutcome::State::Failed, a.reason);
    if (a.status != 0) {
        std::fprintf(msg_, "velmora watch: %s: %s: tried again later\n", name.c_str(), a.reason.c_str());
        VolumeOutcome o(name, VolumeOutcome::State::Retry, a.reason);
        o.counted = true;
        return o;
    }
    // A volume without a time of its own takes its file's.
    if (!a.result.axes.time) a.result.frame.time = double(p.mtime_ns) / 1e9;
    VolumeOutcome o = place(name, a, {rec});
    o.seconds = seconds_since(start);
    return o;
}

VolumeOutcome Watcher::process_chunks(const std::string& volume) {
    const auto start = Clock::now();
    FileRecord rec(volume, chunks_->bytes(volume), 0, chunks_->checksum(volume));
    polar::PolarVolume pv;
    std::optional<Volume> grid;   // its sweeps gridded as they came
    ChunkMoments moments;
    try {
        pv = chunks_->take(volume, o_.analysis.polar.site, &grid, o_.analysis.rotation ? &moments : nullptr);
    } catch (const std::runtime_error& e) {
        return failed(volume, rec, VolumeOutcome::State::Failed, e.what());
    }
    Analyzed a = analysis_of(volume, volume, &pv, grid ? &*grid : nullptr, &moments);
    if (a.status != 0 && !out_writable()) {
        std::fprintf(msg_, "velmora watch: %s: %s: the output folder takes no more: its chunks are read again later\n",
                     volume.c_str(), a.reason.c_str());
        return VolumeOutcome(volume, VolumeOutcome::State::Retry, a.reason);
    }
    if (a.status != 0) return failed(volume, rec, VolumeOutcome::State::Failed, a.reason);
    VolumeOutcome o = place(volume, a, {rec});
    o.seconds = seconds_since(start);
    return o;
}

VolumeOutcome Watcher::place(const std::string& name, Analyzed& a, std::vector<FileRecord> recs) {
    const Volume& axes = a.result.axes;
    const auto& plane = series_->plane();
    std::string problem;
    if (plane && (axes.x != plane->x || axes.y != plane->y))
        problem = "it lies on another grid than the series (" + std::to_string(axes.x.size()) + " x " +
                  std::to_string(axes.y.size()) + " columns against " + std::to_string(plane->x.size()) + " x " +
                  std::to_string(plane->y.size()) + ", or other coordinates)";
    const Placement where = series_->place(a.result.frame.time);
    if (problem.empty() && where.kind == Placement::Kind::SameTime) problem = "it is " + where.reason;
    if (!problem.empty() || where.kind == Placement::Kind::TooLate) {
        std::error_code ec;
        fs::remove_all(fs::path(o_.out) / "volumes" / a.folder, ec);
        return problem.empty() ? failed(name, std::move(recs), VolumeOutcome::State::Skipped, "it is " + where.reason)
                               : failed(name, std::move(recs), VolumeOutcome::State::Failed, problem);
    }
    VolumeOutcome out(name);
    const auto start = Clock::now();
    try {
        commit(name, a, recs, out);
        out.recording = seconds_since(start);
    } catch (const std::exception& e) {
        // Nothing of it was committed: the series is as the database holds it.
        restore_series();
        std::fprintf(msg_, "velmora watch: %s: %s: tried again later\n", name.c_str(), e.what());
        return VolumeOutcome(name, VolumeOutcome::State::Retry, e.what());
    }
    return out;
}

}  // namespace velmora::realtime
