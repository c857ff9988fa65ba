// The server of `velmora view`: the page's files and the scene's answers
// over HTTP on 127.0.0.1 only. One URL with a random token is printed; a
// request without the token, with a Host header other than the server's own
// address (DNS rebinding), or for any path but the page's files and the
// scene's calls is refused. The files are read once, at start, and served
// from memory: no path of a request ever reaches the file system.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace httplib {
class Server;
struct Response;
}

namespace velmora::cli {

// The scene's calls: each takes the request's body (JSON) and answers with
// a pack (scene/pack.h), or throws std::invalid_argument (a request that
// does not fit: 400) or std::runtime_error (it failed: 500) with the text
// the page shows. The server calls them one at a time.
// What a call throws when its answer is not there yet (503: ask again).
struct NotYet : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ViewCalls {
    std::function<std::string()> scene;
    std::function<std::string(const std::string&)> set, pick, clear, view;
    // Further calls by path ("/api/plan"), answered as the ones above.
    std::map<std::string, std::function<std::string(const std::string&)>> more;
    // The event stream (/api/events, server-sent events) when set: called
    // again and again for each page, it waits a moment for news after seen
    // and sets text to the next event ("data: ...\n\n"; empty: nothing new,
    // a comment keeps the connection); false ends the stream.
    std::function<bool(std::uint64_t& seen, std::string& text)> events;
};

class ViewServer {
public:
    // files: URL path ("/viewer.js") -> (content type, bytes); "/" serves
    // "/index.html"; every .html is served with "@TOKEN@" replaced by the token.
    ViewServer(std::map<std::string, std::pair<std::string, std::string>> files, ViewCalls calls);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    // Binds 127.0.0.1:port (0: a free port); the port, or -1.
    int bind(int port);
    // Serves until stop(); false when it could not.
    bool listen();
    void stop();
    // The URL of page ("": the index) with the token.
    std::string url(const std::string& page = "") const;
    const std::string& token() const { return token_; }

    // Why a request is refused (its status and text), or status 0 to serve
    // it: host is its Host header, token what it carries (query or header).
    std::pair<int, std::string> refusal(const std::string& host, const std::string& path, const std::string& token) const;

private:
    void routes();
    void stream(httplib::Response& res);
    std::unique_ptr<httplib::Server> server_;
    std::map<std::string, std::pair<std::string, std::string>> files_;
    ViewCalls calls_;
    std::string token_;
    int port_ = -1;
};

// The files of the viewer's folder (index.html, viewer.js, style.css,
// map.bin, and the console's console.html, console.js, console.css) as
// ViewServer takes them; std::runtime_error naming what is missing.
std::map<std::string, std::pair<std::string, std::string>> viewer_files(const std::string& dir);
// The viewer's folder beside the program: <program>/../share/velmora/viewer.
std::string viewer_dir();

}  // namespace velmora::cli
