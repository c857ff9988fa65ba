// The watcher's look at its folder: what is there, what has settled, what is
// whole, and the order volumes are processed in (watcher.h).
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "realtime/arrivals.h"
#include "realtime/nexrad_chunks.h"
#include "realtime/network_steps.h"
#include "realtime/watcher.h"

namespace velmora::realtime {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Watcher::look(const std::string& name, std::vector<VolumeOutcome>& out) {
    if (writing_name(fs::path(name).filename().string())) return;
    if (network_ && network_->holds(name)) return;   // in its step, waiting for the other radars
    const auto chunk = chunk_of(name);
    if (chunk && (files_.count(chunk->volume) || chunks_->has(name))) return;   // its volume is done, or it is in
    const auto rec = files_.find(name);
    if (rec != files_.end() && rec->second.state != "failed") return;
    const Entry e = look_at(o_.input, name);
    if (e.kind == Entry::Kind::Gone || e.kind == Entry::Kind::Folder) return;
    if (e.kind == Entry::Kind::File && e.path == out_canonical_) return;
    if (rec != files_.end()) {
        // A volume that failed is tried again only when its file changes, and not forever.
        const FileRecord& r = rec->second;
        if ((e.size == r.size && e.mtime_ns == r.mtime_ns) || r.attempts >= o_.max_attempts) return;
    }
    if (e.kind == Entry::Kind::Refused) {
        out.push_back(failed(name, FileRecord(name), VolumeOutcome::State::Refused, e.reason));
        return;
    }
    Pending& p = pending_[name];
    if (p.size == e.size && p.mtime_ns == e.mtime_ns) return;
    p.path = e.path;
    p.size = e.size;
    p.mtime_ns = e.mtime_ns;
    p.partial.clear();
    p.said = false;
    // A file older than the settling time when first seen has settled already.
    const double age = double(std::chrono::system_clock::now().time_since_epoch().count()) *
                           std::chrono::system_clock::period::num / std::chrono::system_clock::period::den -
                       double(e.mtime_ns) / 1e9;
    p.since = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(std::clamp(age, 0.0, o_.settle)));
}

void Watcher::scan(std::vector<VolumeOutcome>& out) {
    if (inotify_fd_ >= 0) {
        // What changed does not matter: the folder is looked at whole.
        char events[4096];
        while (::read(inotify_fd_, events, sizeof events) > 0) {
        }
    }
    const std::vector<std::string> names = entries();
    for (const std::string& name : names) look(name, out);
    for (auto p = pending_.begin(); p != pending_.end();)
        p = std::binary_search(names.begin(), names.end(), p->first) ? std::next(p) : pending_.erase(p);
}

// A settled file whose format says it is not whole yet: waited for while it
// changes, failed once it has stayed so for give_up seconds.
bool Watcher::whole(const std::string& name, Pending& p, const std::string& missing, std::vector<VolumeOutcome>& out) {
    if (missing.empty()) return true;
    p.partial = missing;
    if (Clock::now() - p.since >= std::chrono::duration<double>(o_.give_up)) {
        out.push_back(failed(name, FileRecord(name, p.size, p.mtime_ns), VolumeOutcome::State::Failed, "incomplete: " + missing));
        pending_.erase(name);
    } else if (!p.said) {
        p.said = true;
        std::fprintf(msg_, "velmora watch: %s is not complete yet (%s): waiting for it\n", name.c_str(), missing.c_str());
        out.push_back(VolumeOutcome(name, VolumeOutcome::State::Waiting, missing));
    }
    return false;
}

std::vector<std::string> Watcher::ready_names() const {
    std::vector<std::string> names;
    for (const auto& [name, p] : pending_)
        if (ready(p) && (p.partial.empty() || Clock::now() - p.since >= std::chrono::duration<double>(o_.give_up)))
            names.push_back(name);
    return names;
}

bool Watcher::has_ready() const {
    return !ready_names().empty() ||
           (network_ && Clock::now() >= step_retry_at_ && network_->ready(since_1970() - o_.settle));
}

// A chunk as it comes: decompressed into its volume, and the volume
// processed once its chunks are all there.
void Watcher::take_chunk(const std::string& name, const ChunkName& chunk, std::vector<VolumeOutcome>& out) {
    Pending& p = pending_.at(name);
    std::string missing;
    try {
        chunks_->add(name, chunk, p.path, p.mtime_ns);
    } catch (const std::runtime_error& e) {
        missing = e.what();
    }
    if (!whole(name, p, missing, out)) return;
    pending_.erase(name);
    if (!chunks_->complete(chunk.volume)) return;
    if (network_) enter_chunks(chunk.volume, out);
    else out.push_back(process_chunks(chunk.volume));
}

// A chunked volume whose chunks stopped coming (a feed that lost its end
// chunk) is given up --chunk-timeout after its newest chunk was written, as
// the chunk files' times say, so that a watcher started again later gives it
// up at once: recorded as failed with what it lacks, its chunks forgotten,
// and the chunks that still come for it ignored.
void Watcher::expire_chunks(std::vector<VolumeOutcome>& out) {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const auto& [volume, lacks] : chunks_->stalled(now, o_.chunk_timeout)) {
        char why[160];
        std::snprintf(why, sizeof why, "incomplete: no chunk came for %g s and it lacks ", o_.chunk_timeout);
        FileRecord rec(volume, chunks_->bytes(volume), 0, chunks_->checksum(volume));
        chunks_->forget(volume);
        out.push_back(failed(volume, rec, VolumeOutcome::State::Failed, why + lacks));
    }
}

std::vector<VolumeOutcome> Watcher::step() {
    std::vector<VolumeOutcome> out;
    scan(out);
    // The chunks that came, then at most one volume: a watcher stopping finishes
    // the volume in hand and leaves the next.
    for (const std::string& name : ready_names()) {
        const auto before = out.size();
        if (const auto chunk = chunk_of(name)) {
            take_chunk(name, *chunk, out);
        } else if (!whole(name, pending_.at(name), missing_by_format(pending_.at(name).path), out)) {
            continue;
        } else if (network_) {
            enter(name, pending_.at(name), out);
            pending_.erase(name);
            continue;
        } else {
            Pending& p = pending_.at(name);
            out.push_back(process(name, p));
            if (out.back().state == VolumeOutcome::State::Retry) {
                // Tried again later, sooner the first times; only its own failures count against it.
                const int n = out.back().counted ? ++p.attempts : ++p.waits;
                p.retry_at = Clock::now() + std::chrono::seconds(std::min(60, 1 << std::min(n, 6)));
            } else {
                pending_.erase(name);
            }
        }
        const bool processed = std::any_of(out.begin() + static_cast<std::ptrdiff_t>(before), out.end(), [](const VolumeOutcome& o) {
            return o.state != VolumeOutcome::State::Waiting && o.state != VolumeOutcome::State::Refused;
        });
        if (processed) break;
    }
    expire_chunks(out);
    // A network's step whose radars are in, or whose deadline passed (by as
    // long as a file takes to settle, so that one written just before it is in).
    const bool processed = std::any_of(out.begin(), out.end(), [](const VolumeOutcome& o) {
        return o.state == VolumeOutcome::State::Done || o.state == VolumeOutcome::State::Retry;
    });
    if (network_ && !processed && Clock::now() >= step_retry_at_)
        if (auto s = network_->take_ready(since_1970() - o_.settle)) process_step(std::move(*s), out);
    return out;
}

}  // namespace velmora::realtime
