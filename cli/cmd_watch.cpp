// velmora watch INPUT_DIR --out DIR [--once] [--settle S] [--reorder-window N] [--leads MIN,...] [--poll S]
//               [--chunk-timeout S] [--deadline S]
//               [--no-inotify] [--var --level --min-cells --max-speed --max-gap --no-picture] [--alert P=V]...
//               [--view [--no-browser]] [hail options]
//               [polar options]
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "commands.h"
#include "table_options.h"
#include "io/cf_time.h"
#include "realtime/watcher.h"
#include "run/values.h"

extern char** environ;

namespace velmora::cli {

namespace {

struct WatchCommand {
    std::string input;
    realtime::WatchOptions o;
    std::vector<double> leads;   // minutes
    bool once = false;
    bool inotify = true;
    PolarOptionTexts polar;
    std::vector<std::string> alerts;   // PROPERTY=VALUE, or "none"
    bool view = false, browser = true;  // velmora view of the output folder beside it
};

// SIGINT and SIGTERM let the volume in hand finish: their handler only
// writes a byte to a pipe that the loop polls between volumes. A signal
// handler reaches the program through a static only: the pipe's end is
// this file's one, set while a watcher runs.
class StopSignals {
public:
    StopSignals() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
        read_ = fds[0];
        write_end().store(fds[1]);
        struct sigaction sa {};
        sa.sa_handler = &StopSignals::raise;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, &old_int_);
        ::sigaction(SIGTERM, &sa, &old_term_);
    }
    ~StopSignals() {
        if (read_ < 0) return;
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
        ::close(write_end().exchange(-1));
        ::close(read_);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return read_; }
    bool raised() const {
        pollfd p{read_, POLLIN, 0};
        return read_ >= 0 && ::poll(&p, 1, 0) == 1;
    }

private:
    static std::atomic<int>& write_end() {
        static std::atomic<int> fd{-1};
        return fd;
    }
    static void raise(int) {
        const int fd = write_end().load();
        const char c = 1;
        if (fd >= 0 && ::write(fd, &c, 1) < 0) {
            // Nothing to do in a handler: the pipe is full, and so already raised.
        }
    }
    int read_ = -1;
    struct sigaction old_int_ {}, old_term_ {};
};

void print_done(const realtime::VolumeOutcome& v) {
    std::printf("%s: %zu cell%s at %s, forecast and verified", v.name.c_str(), v.cells, v.cells == 1 ? "" : "s",
                iso_utc(v.time).c_str());
    if (v.relinked > 0) std::printf(" (late: %zu volume%s after it linked again)", v.relinked, v.relinked == 1 ? "" : "s");
    if (!v.radars.empty()) {
        std::printf(", mosaic of %s", joined(v.radars).c_str());
        if (!v.missing.empty()) std::printf(" without %s", joined(v.missing).c_str());
    }
    std::printf(" in %.3f s (%.3f s of it recording)\n", v.seconds, v.recording);
    std::fflush(stdout);
}

// velmora view of the output folder beside the watcher (--view): this
// program started again as `view OUT`, ended with the watcher.
class ViewBeside {
public:
    ViewBeside(const std::string& out, bool browser) {
        std::error_code ec;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        std::vector<std::string> args = {self, "view", out};
        if (!browser) args.push_back("--no-browser");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    }
    ~ViewBeside() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    ViewBeside(const ViewBeside&) = delete;
    ViewBeside& operator=(const ViewBeside&) = delete;

private:
    pid_t pid_ = 0;
};

int run_watch(WatchCommand& c) {
    c.o.input = c.input;
    c.o.series.leads = leads_in_seconds(c.leads);
    c.o.inotify = c.inotify;
    c.o.analysis.polar = c.polar.input;
    std::unique_ptr<realtime::Watcher> w;
    try {
        w = std::make_unique<realtime::Watcher>(c.o, stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora watch: %s\n", e.what());
        return 2;
    }
    const StopSignals stop;
    std::unique_ptr<ViewBeside> view;
    if (c.view) view = std::make_unique<ViewBeside>(c.o.out, c.browser);
    std::printf("watching %s into %s (%zu volumes done before)%s\n", c.input.c_str(), c.o.out.c_str(), w->volumes(),
                c.once ? "" : "; Ctrl-C stops after the volume in hand");
    if (const auto radars = w->radars(); !radars.empty()) {
        std::printf("a network of %zu radars, one folder each:", radars.size());
        for (const std::string& r : radars) std::printf(" %s", r.c_str());
        std::printf("; a time step's mosaic is made when all are in, or %g s after its first volume came\n",
                    c.o.deadline);
    }
    std::fflush(stdout);
    int status = 0;
    for (;;) {
        for (const auto& v : w->step()) {
            if (v.state == realtime::VolumeOutcome::State::Done) print_done(v);
            else if (v.state == realtime::VolumeOutcome::State::Failed || v.state == realtime::VolumeOutcome::State::Retry)
                status = 1;
        }
        if (stop.raised()) break;   // after the volume in hand
        if (w->has_ready()) continue;
        if (c.once && !w->settling()) break;
        pollfd p[2] = {{w->fd(), POLLIN, 0}, {stop.fd(), POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(std::ceil(w->wait_seconds() * 1000.0)));
    }
    std::printf("%zu volumes done in %s\n", w->volumes(), c.o.out.c_str());
    return c.once ? status : 0;
}

}  // namespace

void add_watch_command(CLI::App& app, int& status) {
    auto c = std::make_shared<WatchCommand>();
    CLI::App* cmd = app.add_subcommand("watch", "Analyze, track and forecast radar volumes as they arrive in a folder");
    cmd->add_option("folder", c->input, "The folder volumes arrive in (gridded, polar, or NEXRAD real-time chunks)")
        ->required()
        ->type_name("INPUT_DIR");
    add_option(*cmd, "out", c->o.out);
    add_flag(*cmd, "once", c->once);
    add_option(*cmd, "settle", c->o.settle);
    add_option(*cmd, "reorder-window", c->o.series.reorder_window);
    add_option(*cmd, "leads", c->leads);
    add_option(*cmd, "poll", c->o.poll);
    add_option(*cmd, "chunk-timeout", c->o.chunk_timeout);
    add_option(*cmd, "deadline", c->o.deadline);
    add_flag(*cmd, "no-inotify", c->inotify);
    AnalyzeOptions& a = c->o.analysis;
    add_option(*cmd, "var", a.var);
    add_option(*cmd, "level", a.level);
    add_option(*cmd, "min-cells", a.min_cells);
    add_option(*cmd, "min-volume", a.min_volume_km3);
    add_option(*cmd, "max-speed", c->o.series.link.max_speed);
    add_option(*cmd, "max-gap", c->o.series.link.max_gap);
    add_flag(*cmd, "no-picture", a.picture);
    add_option(*cmd, "alert", c->alerts);
    add_flag(*cmd, "view", c->view);
    add_flag(*cmd, "no-browser", c->browser);
    cmd->footer(
        "Each volume, once complete, is analyzed into OUT/volumes/<name>/ as velmora analyze does, its cells linked "
        "to the tracks so far, forecast at each lead (forecast.csv, forecast.geojson), and the forecasts that come "
        "true verified; tracks.csv, volumes.csv, verify.csv and latest.json follow each volume. The state is kept in "
        "OUT/watch.db: the same command started again goes on where it stopped. docs/realtime.md describes it.\n\n"
        "Exit status: 0; with --once 1 when a volume failed; 2 when the folders or options cannot be used (another "
        "watcher holds OUT, or OUT was made with other options).");
    add_hail_options(*cmd, a.freezing_level_km, a.minus20_level_km, a.sounding);
    add_polar_options(*cmd, c->polar);
    cmd->callback([c, &status] {
        if (!polar_input_ok(c->polar, "watch", status)) return;
        if (!c->alerts.empty()) {
            c->o.alerts.clear();
            try {
                for (const auto& text : c->alerts)
                    if (text != "none") c->o.alerts.push_back(realtime::alert_rule(text));
            } catch (const std::invalid_argument& e) {
                std::fprintf(stderr, "velmora watch: --alert: %s\n", e.what());
                status = 2;
                return;
            }
        }
        c->o.series.trend.max_speed = c->o.series.link.max_speed;
        status = run_watch(*c);
    });
}

}  // namespace velmora::cli
