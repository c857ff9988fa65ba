// The server's side of the forecaster's console (`velmora view` of a watch
// or track folder): the event read from the folder, looked at again five
// times a second with the watcher's state, the news pushed to every open
// page as server-sent events, and the calls the console's page makes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "scene/event.h"
#include "view_server.h"

namespace velmora::cli {

class Console {
public:
    // std::runtime_error when dir holds no event.
    Console(const std::string& dir, std::vector<std::string> map_files);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The console's calls and its event stream added to calls.
    void add_calls(ViewCalls& calls);
    // Ends the event streams (the server is stopping).
    void stop();
    // The news as the stream sends it: the event's version, its volumes,
    // the newest, and whether the watcher runs (since when it stopped).
    std::string status() const;

private:
    void follow();
    void look();
    bool next(std::uint64_t& seen, std::string& text);

    std::mutex event_lock_;             // the event, read by the poller and the calls
    scene::Event event_;
    mutable std::mutex news_lock_;
    std::condition_variable news_;
    std::uint64_t version_ = 1;          // of what the stream last said
    std::string status_;
    bool stopping_ = false;
    scene::WatcherState watcher_;
    double since_ = 0;                   // s since 1970: when the watcher was last seen to stop or start
    std::thread poller_;
};

}  // namespace velmora::cli
