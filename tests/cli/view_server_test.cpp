// velmora view's server: what it refuses, over real loopback connections
// (a few requests each, to 127.0.0.1 only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "view_server.h"

namespace {

using velmora::cli::ViewCalls;
using velmora::cli::ViewServer;

// The status code and body of one raw request.
std::pair<int, std::string> request(int port, const std::string& text) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return {-1, ""};
    }
    (void)!write(fd, text.data(), text.size());
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    close(fd);
    if (reply.size() < 12) return {-1, reply};
    return {std::stoi(reply.substr(9, 3)), reply.substr(reply.find("\r\n\r\n") + 4)};
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ViewCalls calls;
        calls.scene = [] { return std::string("SCENE"); };
        calls.set = [](const std::string& body) -> std::string {
            if (body.empty()) throw std::invalid_argument("empty");
            return "SET " + body;
        };
        calls.pick = calls.clear = calls.view = calls.set;
        server_ = std::make_unique<ViewServer>(
            std::map<std::string, std::pair<std::string, std::string>>{
                {"/index.html", {"text/html", "<script src=\"viewer.js?token=@TOKEN@\"></script>"}},
                {"/viewer.js", {"text/javascript", "JS"}}},
            calls);
        port_ = server_->bind(0);
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->listen(); });
    }
    void TearDown() override {
        server_->stop();
        thread_.join();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::pair<int, std::string> get(const std::string& target, const std::string& host_header, const std::string& extra = "") {
        return request(port_, "GET " + target + " HTTP/1.1\r\nHost: " + host_header + "\r\n" + extra + "Connection: close\r\n\r\n");
    }
    std::string q() const { return "?token=" + server_->token(); }

    std::unique_ptr<ViewServer> server_;
    std::thread thread_;
    int port_ = 0;
};

TEST_F(ServerTest, ServesThePageAndItsCallsOnlyWithTheTokenAndItsOwnHost) {
    EXPECT_EQ(server_->url(), "http://" + host() + "/" + q());
    EXPECT_EQ(server_->token().size(), 32u);
    auto [status, body] = get("/" + q(), host());
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, "<script src=\"viewer.js?token=" + server_->token() + "\"></script>");
    EXPECT_EQ(get("/viewer.js" + q(), host()), (std::pair<int, std::string>{200, "JS"}));
    EXPECT_EQ(get("/api/scene", host(), "X-Velmora-Token: " + server_->token() + "\r\n").first, 200);
    const std::string post = "POST /api/set" + q() + " HTTP/1.1\r\nHost: " + host() +
                             "\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    EXPECT_EQ(request(port_, post), (std::pair<int, std::string>{200, "SET {}"}));
    // A call that cannot use the request says so with 400.
    EXPECT_EQ(request(port_, "POST /api/pick" + q() + " HTTP/1.1\r\nHost: " + host() + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n").first, 400);
}

TEST_F(ServerTest, RefusesRequestsWithoutTheTokenOrFromAnotherHost) {
    EXPECT_EQ(get("/", host()).first, 403);
    EXPECT_EQ(get("/viewer.js", host()).first, 403);
    EXPECT_EQ(get("/api/scene?token=0123456789abcdef0123456789abcdef", host()).first, 403);
    EXPECT_EQ(get("/api/scene", host(), "X-Velmora-Token: wrong\r\n").first, 403);
    // DNS rebinding: a page of another name that resolves to 127.0.0.1.
    EXPECT_EQ(get("/" + q(), "evil.example:" + std::to_string(port_)).first, 421);
    EXPECT_EQ(get("/" + q(), "localhost:" + std::to_string(port_)).first, 421);
    EXPECT_EQ(get("/" + q(), "127.0.0.1").first, 421);
    EXPECT_EQ(get("/api/scene" + q(), "").first, 421);
}

TEST_F(ServerTest, RefusesEveryPathButThePagesFilesAndCalls) {
    for (const std::string& path : {"/../../../etc/passwd", "/..%2f..%2fetc%2fpasswd", "/etc/passwd", "//etc/passwd",
                                    "/viewer.js/../index.html", "/%2e%2e/CMakeCache.txt", "/map.bin", "/api/other",
                                    "/index.html/", "/./viewer.js"}) {
        const auto [status, body] = get(path + q(), host());
        EXPECT_EQ(status, 404) << path;
        EXPECT_EQ(body.find("root:"), std::string::npos) << path;
    }
    // An absolute URL in the request line is refused like any other path.
    EXPECT_NE(get("http://127.0.0.1/etc/passwd" + q(), host()).first, 200);
    EXPECT_NE(get("file:///etc/passwd" + q(), host()).first, 200);
}

}  // namespace
