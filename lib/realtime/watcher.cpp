#include "realtime/watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "analysis/hail.h"
#include "analysis/min_volume.h"
#include "io/output_files.h"
#include "polar/mosaic.h"
#include "realtime/arrivals.h"
#include "realtime/nexrad_chunks.h"
#include "realtime/network_steps.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

namespace {

// The numbers of the options the table bounds, whichever front end gave
// them: said before the folders are touched.
void check_numbers(const WatchOptions& o) {
    const std::pair<std::string_view, double> numbers[] = {
        {"settle", o.settle},
        {"poll", o.poll},
        {"chunk-timeout", o.chunk_timeout},
        {"deadline", o.deadline},
        {"reorder-window", static_cast<double>(o.series.reorder_window)},
        {"level", o.analysis.level},
        {"min-cells", static_cast<double>(o.analysis.min_cells)},
        {"min-volume", o.analysis.min_volume_km3},
        {"max-speed", o.series.link.max_speed},
        {"max-gap", o.series.link.max_gap},
    };
    for (const auto& [name, value] : numbers)
        if (const std::string p = options::problem(options::option("watch", name), value); !p.empty())
            throw std::invalid_argument(std::string(name) + ": " + p);
    for (const double lead : o.series.leads)
        if (const std::string p = options::problem(options::option("watch", "leads"), lead / 60.0); !p.empty())
            throw std::invalid_argument("leads: " + p);
}

}  // namespace
using Clock = std::chrono::steady_clock;

const char* state_name(VolumeOutcome::State s) {
    switch (s) {
        case VolumeOutcome::State::Done: return "done";
        case VolumeOutcome::State::Failed: return "failed";
        case VolumeOutcome::State::Skipped: return "skipped";
        case VolumeOutcome::State::Refused: return "refused";
        case VolumeOutcome::State::Waiting: return "waiting";
        case VolumeOutcome::State::Retry: return "retry";
    }
    return "";
}

Watcher::Watcher(WatchOptions o, std::FILE* messages) : o_(std::move(o)), msg_(messages) {
    check_numbers(o_);
    std::error_code ec;
    if (!fs::is_directory(o_.input, ec)) throw std::runtime_error(o_.input + ": no such folder to watch");
    if (fs::weakly_canonical(o_.out, ec) == fs::canonical(o_.input, ec))
        throw std::runtime_error(o_.out + " is the watched folder: the results need a folder of their own");
    fs::create_directories(fs::path(o_.out) / "volumes", ec);
    if (ec) throw std::runtime_error("can not create " + o_.out + ": " + ec.message());
    out_canonical_ = fs::canonical(o_.out).string();
    take_lock();
    // What a watcher that died left half made (its staging, its probe, the
    // work folders of an analysis killed midway); the volume it was on is
    // made again.
    for (const char* left : {".velmora-staging", "velmora-probe"}) fs::remove_all(fs::path(o_.out) / left, ec);
    remove_left_overs(o_.out);
    remove_left_overs((fs::path(o_.out) / "volumes").string());
    fix_hail_levels();
    store_ = std::make_unique<StateStore>((fs::path(o_.out) / "watch.db").string());
    check_options();
    files_ = store_->files();
    folders_ = store_->folders();
    restore_series();
    start_network();
    // One radar's chunks' sweeps gridded as they come, onto the grid the analysis would make.
    chunks_ = std::make_unique<ChunkAssembler>(o_.analysis.polar.field,
                                               network_ ? std::nullopt : std::optional(reading().grid),
                                               o_.analysis.polar.site, o_.analysis.polar.filters);
    if (o_.inotify) {
        inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const std::uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_DELETE;
        if (inotify_fd_ >= 0 && ::inotify_add_watch(inotify_fd_, o_.input.c_str(), events) < 0) {
            ::close(inotify_fd_);
            inotify_fd_ = -1;   // scans alone see the folder
        }
    }
}

// The polar options a volume is read and gridded with: no more grid points
// than the analysis takes.
polar::PolarInput Watcher::reading() const {
    polar::PolarInput in = o_.analysis.polar;
    in.grid.max_nodes = std::min(in.grid.max_nodes, o_.analysis.max_voxels);
    return in;
}

Watcher::~Watcher() {
    if (inotify_fd_ >= 0) ::close(inotify_fd_);
    if (lock_fd_ >= 0) ::close(lock_fd_);   // releases the lock
}

// One watcher per output folder: an exclusive flock on watch.lock, held for
// the watcher's life and released by the kernel however the process ends
// (kill -9 included), so no stale lock is ever left behind. SQLite's own
// locks would not do: they are taken per transaction, so a second watcher
// would only fail (or worse, interleave) at its first write, and an
// exclusive locking mode would also shut out readers of watch.db.
void Watcher::take_lock() {
    const std::string path = (fs::path(o_.out) / "watch.lock").string();
    lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) throw std::runtime_error("can not open " + path + ": " + std::strerror(errno));
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        const ssize_t n = ::pread(lock_fd_, holder, sizeof holder - 1, 0);
        ::close(lock_fd_);
        lock_fd_ = -1;
        std::string pid(holder, n > 0 ? static_cast<std::size_t>(n) : 0);
        pid.erase(pid.find_last_not_of(" \n") + 1);
        throw std::runtime_error(o_.out + " is already watched by another velmora watch" +
                                 (pid.empty() ? std::string() : " (process " + pid + ")") +
                                 ": one watcher per output folder");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock_fd_, 0) == 0 && ::pwrite(lock_fd_, pid.data(), pid.size(), 0) < 0) {
        // The pid is only a courtesy to the one refused.
    }
}

// The hail levels read once, a sounding's too: a sounding that cannot be
// used refuses the watcher at its start rather than failing every volume,
// and the folder keeps the levels it was made with.
void Watcher::fix_hail_levels() {
    AnalyzeOptions& a = o_.analysis;
    std::optional<HailLevels> sea;
    try {
        sea = hail_levels_of(a.freezing_level_km, a.minus20_level_km, a.sounding);
    } catch (const std::exception& e) {
        throw std::invalid_argument(e.what());   // an option that cannot be used, whatever the reason
    }
    if (!sea) return;
    a.freezing_level_km = sea->h0_km;
    a.minus20_level_km = sea->hm20_km;
    a.sounding.clear();
}

std::string Watcher::options_text() const {
    const AnalyzeOptions& a = o_.analysis;
    const LiveSettings& s = o_.series;
    std::ostringstream t;
    t.precision(17);
    t << "input=" << fs::canonical(o_.input).string() << ";var=" << a.var << ";level=" << a.level
      << ";min_cells=" << a.min_cells << ";field=" << a.polar.field << ";max_speed=" << s.link.max_speed
      << ";max_gap=" << s.link.max_gap << ";reorder_window=" << s.reorder_window << ";leads=";
    for (const double l : s.leads) t << l << ',';
    t << ";echo_tops=";
    for (const double e : a.echo_tops) t << e << ',';
    t << ";split=";
    for (const double e : a.split.levels) t << e << ',';
    const auto& g = a.polar.grid;
    t << ";grid=" << g.xmin << ',' << g.xmax << ',' << g.ymin << ',' << g.ymax << ',' << g.zmin << ',' << g.zmax << ','
      << g.dx << ',' << g.dy << ',' << g.dz;
    if (g.origin) t << ";origin=" << g.origin->lat << ',' << g.origin->lon;
    if (a.polar.site) t << ";site=" << a.polar.site->latitude << ',' << a.polar.site->longitude;
    if (a.freezing_level_km) t << ";hail=" << *a.freezing_level_km << ',' << a.minus20_level_km.value_or(NAN);
    // Said only when not the defaults, so that folders made before they were
    // options go on.
    if (a.min_volume_km3 != kDefaultMinVolumeKm3) t << ";min_volume=" << a.min_volume_km3;
    const polar::GateFilters& f = a.polar.filters;
    if (!f.despeckle) t << ";despeckle=no";
    if (f.min_quality) t << ";min_quality=" << *f.min_quality;
    if (f.max_clutter_power) t << ";max_clutter_power=" << *f.max_clutter_power;
    const polar::MosaicOptions& m = a.polar.mosaic;
    if (m.combine != polar::Combine::weighted) t << ";combine=" << polar::combine_name(m.combine);
    if (m.max_age != polar::kMaxAge) t << ";max_age=" << m.max_age;
    if (!m.calibrate.empty()) t << ";calibrate=" << m.calibrate;
    return t.str();
}

// A folder keeps the options it was made with: the same command goes on
// where it stopped, another one would mix two series.
void Watcher::check_options() {
    const std::string now = options_text();
    const auto stored = store_->meta("options");
    if (!stored) {
        store_->set_meta("options", now);
        return;
    }
    if (*stored != now)
        throw std::runtime_error(o_.out + " was made by velmora watch with other options or another folder (" + *stored +
                                 "; now " + now + "): give it the same ones, or another output folder");
}

int Watcher::fd() const { return inotify_fd_; }

std::size_t Watcher::volumes() const { return store_->volume_count(); }

bool Watcher::ready(const Pending& p) const {
    const auto now = Clock::now();
    return now - p.since >= std::chrono::duration<double>(o_.settle) && now >= p.retry_at;
}

// A network's step waiting for its radars is settling too: --once makes it
// when its radars are in or at its deadline, as a watcher left running would.
bool Watcher::settling() const {
    for (const auto& [name, p] : pending_)
        if (p.partial.empty() && p.attempts == 0 && p.waits == 0 && !ready(p)) return true;
    return network_ && network_->waiting();
}

double Watcher::wait_seconds() const {
    double wait = o_.poll;
    const auto now = Clock::now();
    for (const auto& [name, p] : pending_) {
        const auto at = std::max(p.since + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.settle)),
                                 p.retry_at);
        if (p.partial.empty()) wait = std::min(wait, std::max(0.0, std::chrono::duration<double>(at - now).count()));
    }
    if (network_) wait = std::min(wait, network_->seconds_to_deadline(since_1970() - o_.settle));
    return wait;
}

}  // namespace velmora::realtime
