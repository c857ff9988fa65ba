#include "console.h"

#include <filesystem>
#include <stdexcept>

#include "scene/pack.h"

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;

// How often the folder and the watcher are looked at: the page hears of a
// new volume or a stopped watcher within this and the stream's delivery.
constexpr auto kLookEvery = std::chrono::milliseconds(200);

double now_s() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// When the watcher last wrote its database: since when a watcher found
// stopped at the start has been.
double last_write(const std::string& dir) {
    double t = 0;
    for (const char* name : {"watch.db", "watch.db-wal"}) {
        std::error_code ec;
        const auto w = fs::last_write_time(fs::path(dir) / name, ec);
        if (!ec)
            t = std::max(t, std::chrono::duration<double>(std::chrono::file_clock::to_sys(w).time_since_epoch()).count());
    }
    return t;
}

Json body_json(const std::string& body) {
    Json j = Json::parse(body.empty() ? "{}" : body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw std::invalid_argument("the request's body is not a JSON object");
    return j;
}

// The volume a request names ("volume", an index), the newest without one.
std::size_t volume_of(const Json& j, const scene::Event& e) {
    if (e.volumes().empty()) throw std::invalid_argument("the event has no volume yet");
    if (!j.contains("volume") || j["volume"].is_null()) return e.volumes().size() - 1;
    if (!j["volume"].is_number_integer() || j["volume"].get<long long>() < 0 ||
        j["volume"].get<std::size_t>() >= e.volumes().size())
        throw std::invalid_argument("\"volume\" is the index of one of the event's " + std::to_string(e.volumes().size()) +
                                    " volumes");
    return j["volume"].get<std::size_t>();
}

scene::Point2 point_of(const Json& j, const char* name) {
    const Json* p = j.contains(name) ? &j[name] : nullptr;
    if (!p || !p->is_array() || p->size() != 2 || !(*p)[0].is_number() || !(*p)[1].is_number())
        throw std::invalid_argument(std::string("\"") + name + "\" is a point [x_km, y_km]");
    return {(*p)[0].get<double>(), (*p)[1].get<double>()};
}

}  // namespace

Console::Console(const std::string& dir, std::vector<std::string> map_files) : event_(dir, std::move(map_files)) {
    if (event_.kind() == scene::EventKind::Watch) {
        watcher_ = scene::watcher_state(dir);
        since_ = watcher_.running ? now_s() : last_write(dir);
    }
    if (!event_.volumes().empty()) event_.preload(event_.volumes().size() - 1);
    status_ = status();
    poller_ = std::thread([this] { follow(); });
}

Console::~Console() {
    stop();
    poller_.join();
}

void Console::stop() {
    const std::lock_guard<std::mutex> hold(news_lock_);
    stopping_ = true;
    news_.notify_all();
}

std::string Console::status() const {
    Json s = {{"version", version_}, {"volumes", event_.volumes().size()}, {"kind", event_.kind() == scene::EventKind::Watch ? "watch" : "track"}};
    if (!event_.volumes().empty()) s["newest"] = {{"name", event_.volumes().back().name}, {"time", event_.volumes().back().time}};
    if (event_.kind() == scene::EventKind::Watch)
        s["watcher"] = {{"running", watcher_.running}, {"pid", watcher_.pid}, {"since", since_}};
    return s.dump();
}

void Console::follow() {
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(news_lock_);
            if (news_.wait_for(hold, kLookEvery, [this] { return stopping_; })) return;
        }
        look();
    }
}

void Console::look() {
    bool changed = false;
    {
        const std::lock_guard<std::mutex> hold(event_lock_);
        try {
            changed = event_.refresh();
            // The newest grid read before a click asks for its section.
            if (changed && !event_.volumes().empty()) event_.preload(event_.volumes().size() - 1);
        } catch (const std::exception&) {
            // A folder caught between two files: looked at again next time.
        }
    }
    const scene::WatcherState w = event_.kind() == scene::EventKind::Watch ? scene::watcher_state(event_.dir()) : watcher_;
    if (!changed && w.running == watcher_.running && w.pid == watcher_.pid) return;
    const std::lock_guard<std::mutex> hold(news_lock_);
    if (w.running != watcher_.running) since_ = now_s();
    watcher_ = w;
    ++version_;
    {
        const std::lock_guard<std::mutex> e(event_lock_);
        status_ = status();
    }
    news_.notify_all();
}

bool Console::next(std::uint64_t& seen, std::string& text) {
    std::unique_lock<std::mutex> hold(news_lock_);
    news_.wait_for(hold, std::chrono::seconds(1), [&] { return stopping_ || seen != version_; });
    if (stopping_) return false;
    if (seen != version_) {
        seen = version_;
        text = "data: " + status_ + "\n\n";
    }
    return true;
}

void Console::add_calls(ViewCalls& calls) {
    auto guarded = [this](auto f) {
        return [this, f](const std::string& body) {
            const Json j = body_json(body);
            const std::lock_guard<std::mutex> hold(event_lock_);
            return f(j);
        };
    };
    calls.more["/api/event"] = guarded([this](const Json&) {
        scene::Pack pack;
        pack.header() = event_.summary();
        return std::move(pack).take();
    });
    calls.more["/api/track"] = guarded([this](const Json& j) {
        if (!j.contains("track") || !j["track"].is_number_integer()) throw std::invalid_argument("\"track\" is a track's number");
        scene::Pack pack;
        pack.header() = event_.track(j["track"].get<int>());
        return std::move(pack).take();
    });
    calls.more["/api/plan"] = guarded([this](const Json& j) { return event_.plan(volume_of(j, event_)); });
    // The grid is cut outside the lock: a track's history asked for with the
    // same click is answered meanwhile.
    calls.more["/api/section"] = [this](const std::string& body) {
        const Json j = body_json(body);
        scene::Event::SectionCut job;
        {
            const std::lock_guard<std::mutex> hold(event_lock_);
            const std::size_t k = volume_of(j, event_);
            if (j.contains("track")) {
                if (!j["track"].is_number_integer()) throw std::invalid_argument("\"track\" is a track's number");
                job = event_.cell_section_cut(k, j["track"].get<int>());
            } else {
                job = event_.section_cut(k, point_of(j, "from"), point_of(j, "to"));
            }
        }
        return job.cut();
    };
    calls.events = [this](std::uint64_t& seen, std::string& text) { return next(seen, text); };
}

}  // namespace velmora::cli
