#include "view_server.h"

#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace velmora::cli {

namespace {

// 128 random bits as hex, from the operating system's generator.
std::string random_token() {
    std::random_device rd;
    std::string t;
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) t.push_back(hex[rd() & 15u]);
    return t;
}

// Compares without stopping at the first difference: how long a refusal
// takes tells nothing of the token.
bool same_token(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0;
}

const char* const kCalls[] = {"/api/scene", "/api/set", "/api/pick", "/api/clear", "/api/view"};

std::string read_all(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) throw std::runtime_error("the viewer's file " + p.string() + " is missing (is the viewer built?)");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

ViewServer::ViewServer(std::map<std::string, std::pair<std::string, std::string>> files, ViewCalls calls)
    : server_(std::make_unique<httplib::Server>()), files_(std::move(files)), calls_(std::move(calls)),
      token_(random_token()) {
    routes();
}

ViewServer::~ViewServer() = default;

std::pair<int, std::string> ViewServer::refusal(const std::string& host, const std::string& path,
                                                const std::string& token) const {
    if (host != "127.0.0.1:" + std::to_string(port_)) return {421, "this server answers only to 127.0.0.1:" + std::to_string(port_)};
    if (!same_token(token, token_)) return {403, "the request carries no valid token; open the URL velmora view printed"};
    if (path == "/" || files_.count(path)) return {0, ""};
    for (const char* c : kCalls)
        if (path == c) return {0, ""};
    if (calls_.more.count(path) || (calls_.events && path == "/api/events")) return {0, ""};
    return {404, "no such page"};
}

void ViewServer::routes() {
    httplib::Server& s = *server_;
    s.set_payload_max_length(1 << 20);
    // A browser keeps idle connections open (and opens some it never
    // uses); each holds a thread of the pool while it waits, so the pool is
    // wide and an idle connection is let go soon.
    s.new_task_queue = [] { return new httplib::ThreadPool(32); };
    s.set_keep_alive_timeout(2);
    s.set_read_timeout(5, 0);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        std::string token = req.get_param_value("token");
        if (token.empty()) token = req.get_header_value("X-Velmora-Token");
        const auto [status, why] = refusal(req.get_header_value("Host"), req.path, token);
        if (status == 0) return httplib::Server::HandlerResponse::Unhandled;
        res.status = status;
        res.set_content(why + "\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"},
                           {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:"}});
    auto page = [this](const httplib::Request& req, httplib::Response& res) {
        const std::string path = req.path == "/" ? "/index.html" : req.path;
        const auto& [type, body] = files_.at(path);
        if (path.ends_with(".html")) {
            std::string html = body;
            for (auto at = html.find("@TOKEN@"); at != std::string::npos; at = html.find("@TOKEN@", at)) html.replace(at, 7, token_);
            return res.set_content(html, type.c_str());
        }
        // Sent as they are: the library would otherwise compress the
        // bundle anew for every request, seconds each.
        const std::string* bytes = &body;
        res.set_content_provider(body.size(), type.c_str(), [bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            sink.write(bytes->data() + offset, std::min(length, bytes->size() - offset));
            return true;
        });
    };
    s.Get("/", page);
    for (const auto& [path, file] : files_) s.Get(path, page);
    auto call = [](const std::function<std::string()>& f, httplib::Response& res) {
        try {
            // Sent from where it was made: a large scene is not copied again.
            auto body = std::make_shared<const std::string>(f());
            res.set_content_provider(body->size(), "application/octet-stream",
                                     [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         sink.write(body->data() + offset, std::min(length, body->size() - offset));
                                         return true;
                                     });
        } catch (const NotYet& e) {
            res.status = 503;
            res.set_content(e.what(), "text/plain");
        } catch (const std::invalid_argument& e) {
            res.status = 400;
            res.set_content(e.what(), "text/plain");
        } catch (const std::exception& e) {
            res.status = 500;
            res.set_content(e.what(), "text/plain");
        }
    };
    s.Get("/api/scene", [this, call](const httplib::Request&, httplib::Response& res) { call(calls_.scene, res); });
    const std::pair<const char*, std::function<std::string(const std::string&)> ViewCalls::*> posts[] = {
        {"/api/set", &ViewCalls::set}, {"/api/pick", &ViewCalls::pick}, {"/api/clear", &ViewCalls::clear},
        {"/api/view", &ViewCalls::view}};
    for (const auto& [path, member] : posts)
        s.Post(path, [this, call, member](const httplib::Request& req, httplib::Response& res) {
            call([&] { return (calls_.*member)(req.body); }, res);
        });
    for (const auto& [path, f] : calls_.more)
        s.Post(path, [call, &f = f](const httplib::Request& req, httplib::Response& res) { call([&] { return f(req.body); }, res); });
    if (calls_.events) s.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { stream(res); });
}

// Server-sent events: each page's stream holds a thread of the pool while
// it is open, waking at least once a second to see whether it still is.
void ViewServer::stream(httplib::Response& res) {
    auto seen = std::make_shared<std::uint64_t>(0);
    res.set_chunked_content_provider("text/event-stream", [this, seen](std::size_t, httplib::DataSink& sink) {
        std::string text;
        if (!calls_.events(*seen, text)) {
            sink.done();
            return true;
        }
        if (text.empty()) text = ": waiting\n\n";
        return sink.write(text.data(), text.size());
    });
}

int ViewServer::bind(int port) {
    port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1") : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    return port_;
}

bool ViewServer::listen() { return server_->listen_after_bind(); }

void ViewServer::stop() { server_->stop(); }

std::string ViewServer::url(const std::string& page) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + page + "?token=" + token_;
}

std::map<std::string, std::pair<std::string, std::string>> viewer_files(const std::string& dir) {
    const std::pair<const char*, const char*> names[] = {{"index.html", "text/html; charset=utf-8"},
                                                         {"viewer.js", "text/javascript; charset=utf-8"},
                                                         {"style.css", "text/css; charset=utf-8"},
                                                         {"map.bin", "application/octet-stream"},
                                                         {"us.bin", "application/octet-stream"},
                                                         {"console.html", "text/html; charset=utf-8"},
                                                         {"console.js", "text/javascript; charset=utf-8"},
                                                         {"console.css", "text/css; charset=utf-8"}};
    std::map<std::string, std::pair<std::string, std::string>> files;
    for (const auto& [name, type] : names) files[std::string("/") + name] = {type, read_all(std::filesystem::path(dir) / name)};
    return files;
}

std::string viewer_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (exe.parent_path().parent_path() / "share" / "velmora" / "viewer").string();
}

}  // namespace velmora::cli
