#include "pictures/pictures.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "pictures/draw/entry.h"

extern char** environ;

namespace velmora {

namespace {

// Whether a local display (":N" or ":N.S") accepts connections on its
// socket; VTK aborts the program on a display that does not. Displays on
// other hosts are taken as they are.
bool display_answers(const char* display) {
    const std::string d = display;
    if (d.empty() || d[0] != ':') return true;
    const std::string number = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string path = "/tmp/.X11-unix/X" + number;
    // The server listens on the socket file, or on the abstract name of the
    // same path (a leading NUL).
    for (bool abstract : {false, true}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        if (path.size() + offset >= sizeof addr.sun_path) {
            ::close(fd);
            return false;
        }
        std::memcpy(addr.sun_path + offset, path.data(), path.size());
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
        ::close(fd);
        if (ok) return true;
    }
    return false;
}

// Where the drawing library is: beside the host library, wherever that was
// loaded from (the build tree, an installed prefix, the Python package's
// folder); by name through the run path when that cannot be told. The
// caller's run path alone is not enough: a sanitizer's runtime that wraps
// dlopen becomes the caller.
std::string pictures_path() {
    Dl_info info{};
    void* host_operation = ::dlsym(RTLD_DEFAULT, "OMfind_subobj");
    if (host_operation && ::dladdr(host_operation, &info) != 0 && info.dli_fname) {
        const std::string host = info.dli_fname;
        const auto slash = host.rfind('/');
        if (slash != std::string::npos) return host.substr(0, slash + 1) + kPicturesLibrary;
    }
    return kPicturesLibrary;
}

// The drawing library, opened once and kept for the life of the process
// (VTK's rendering classes register themselves with VTK as it loads).
struct Drawing {
    DrawScene scene = nullptr;
    DrawPlan plan = nullptr;
};

const Drawing& drawing() {
    static std::string problem;
    static const Drawing loaded = [] {
        Drawing d;
        void* lib = ::dlopen(pictures_path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            const char* why = ::dlerror();
            problem = why ? why : kPicturesLibrary;
            return d;
        }
        d.scene = reinterpret_cast<DrawScene>(::dlsym(lib, "velmora_draw_scene"));
        d.plan = reinterpret_cast<DrawPlan>(::dlsym(lib, "velmora_draw_plan"));
        if (!d.scene || !d.plan) problem = std::string(kPicturesLibrary) + " lacks its drawing entries";
        return d;
    }();
    if (!loaded.scene || !loaded.plan) throw std::runtime_error("cannot draw: " + problem);
    return loaded;
}

// Calls a drawing entry; its message, if any, becomes an exception here,
// on this side of the library boundary.
template <class Draw, class What>
void draw_with(Draw draw, const What& what, const std::string& path, int width, int height) {
    char problem[512] = "";
    if (draw(&what, path.c_str(), width, height, problem, sizeof problem) != 0) throw std::runtime_error(problem);
}

}  // namespace

// Xvfb chooses a free display number itself and writes it to the pipe
// once it accepts clients (-displayfd): two programs starting at once never
// pick the same number, and none connects before the server listens.
VirtualDisplay::VirtualDisplay() {
    const char* d = std::getenv("DISPLAY");
    if (d && *d && display_answers(d)) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        problem_ = "no display, and no pipe to start Xvfb with";
        return;
    }
    const std::string fd = std::to_string(kDisplayFd);
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1200x24", "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], kDisplayFd);
    const int rc = posix_spawnp(&pid_, "Xvfb", &fa, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        pid_ = -1;
        problem_ = "no display, and Xvfb cannot be started (install xvfb)";
        return;
    }
    number_fd_ = fds[0];
}

void VirtualDisplay::ready() {
    if (!problem_.empty()) throw std::runtime_error(problem_);
    if (pid_ <= 0 || ready_) return;
    std::string number;
    pollfd p{number_fd_, POLLIN, 0};
    char c = 0;
    // Up to 10 s for the server to come up; the number ends with a newline.
    while (::poll(&p, 1, 10000) == 1 && ::read(number_fd_, &c, 1) == 1 && c != '\n') number += c;
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    ready_ = true;
}

VirtualDisplay::~VirtualDisplay() {
    if (number_fd_ >= 0) ::close(number_fd_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        if (ready_) unsetenv("DISPLAY");
    }
}

void render_png(const Scene& scene, const std::string& path, int width, int height, VirtualDisplay* display) {
    const Drawing& d = drawing();
    std::optional<VirtualDisplay> own;
    if (!display) display = &own.emplace();
    display->ready();
    draw_with(d.scene, scene, path, width, height);
}

void render_plan_png(const PlanView& plan, const std::string& path, int width, int height, VirtualDisplay* display) {
    const size_t nx = plan.x.size(), ny = plan.y.size();
    if (nx == 0 || ny == 0 || plan.column_max.size() != nx * ny || plan.plan.size() != nx * ny)
        throw std::invalid_argument("plan view: the columns do not match the grid");
    const Drawing& d = drawing();
    std::optional<VirtualDisplay> own;
    if (!display) display = &own.emplace();
    display->ready();
    draw_with(d.plan, plan, path, width, height);
}

}  // namespace velmora
