// velmora view [VOLUME... | NETWORK.json | RESULTS_DIR] [--port N] [--no-browser] [--out DIR] [--xform FILE.v]
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "commands.h"
#include "console.h"
#include "table_options.h"
#include "run/values.h"
#include "scene/scene.h"
#include "view_server.h"

extern char** environ;

namespace velmora::cli {

namespace {

struct ViewCommand {
    scene::ViewOptions scene;
    int port = 0;
    bool browser = true;
    std::string viewer;
};

std::array<double, 3> triple(const Json& j, const char* name) {
    const Json* v = member(j, name);
    if (!v || !v->is_array() || v->size() != 3 || !std::all_of(v->begin(), v->end(), [](const Json& x) { return x.is_number(); }))
        throw std::invalid_argument(std::string("\"") + name + "\" is a list of 3 numbers");
    return {(*v)[0].get<double>(), (*v)[1].get<double>(), (*v)[2].get<double>()};
}

Json body_json(const std::string& body) {
    Json j = Json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw std::invalid_argument("the request's body is not a JSON object");
    return j;
}

std::vector<scene::LiveNetwork::Change> changes_of(const Json& j) {
    const Json* list = member(j, "changes");
    if (!list || !list->is_array()) throw std::invalid_argument("\"changes\" is a list of {instance, path, value}");
    std::vector<scene::LiveNetwork::Change> out;
    for (const Json& c : *list) {
        const Json* inst = member(c, "instance");
        const Json* path = member(c, "path");
        if (!inst || !path || !inst->is_string() || !path->is_string() || !c.contains("value"))
            throw std::invalid_argument("a change is {\"instance\", \"path\", \"value\"}");
        out.push_back({inst->get<std::string>(), path->get<std::string>(), c["value"]});
    }
    return out;
}

// The scene's calls for the server, one at a time; a value that does not
// fit is the request's fault (400). scene() makes the scene when first asked.
ViewCalls calls_for(const std::function<scene::Scene&()>& scene, std::mutex& lock) {
    auto guarded = [&lock](auto f) {
        return [&lock, f](const std::string& body) {
            const std::lock_guard<std::mutex> hold(lock);
            try {
                return f(body);
            } catch (const NetworkError& e) {
                throw std::invalid_argument(e.what());
            }
        };
    };
    ViewCalls c;
    c.scene = [scene, &lock] {
        const std::lock_guard<std::mutex> hold(lock);
        return scene().full();
    };
    c.set = guarded([scene](const std::string& b) { return scene().set(changes_of(body_json(b))); });
    c.pick = guarded([scene](const std::string& b) {
        const Json j = body_json(b);
        return scene().pick(triple(j, "origin"), triple(j, "direction"));
    });
    c.clear = guarded([scene](const std::string&) { return scene().clear_picks(); });
    c.view = guarded([scene](const std::string& b) { return scene().save_view(body_json(b)); });
    return c;
}

// The browser, when there is one to start; the URL is printed either way.
void open_browser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

// The scene of the input, or for an event folder (watch, track) the console
// with the scene of its volumes made when the 3-D page first asks.
struct Served {
    std::unique_ptr<scene::Scene> scene;
    std::unique_ptr<Console> console;
    std::mutex lock;
};

ViewCalls calls_of(Served& s, const ViewCommand& o) {
    if (!s.console) return calls_for([&s]() -> scene::Scene& { return *s.scene; }, s.lock);
    ViewCalls c = calls_for(
        [&s, &o]() -> scene::Scene& {
            try {
                if (!s.scene) s.scene = std::make_unique<scene::Scene>(o.scene);
            } catch (const scene::NoVolumeYet& e) {
                throw NotYet(e.what());
            } catch (const NetworkError& e) {
                throw std::runtime_error(e.what());
            }
            return *s.scene;
        },
        s.lock);
    s.console->add_calls(c);
    return c;
}

int serve(const ViewCommand& o) {
    // The scene is made and re-made in the server's threads: one heap for
    // all of them, large blocks given back as soon as they are freed, so
    // that a long session on a large volume does not keep every answer's
    // memory.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // SIGINT and SIGTERM end the server through one thread that waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    Served served;
    try {
        if (scene::event_kind(o.scene.input) != scene::EventKind::None)
            served.console = std::make_unique<Console>(o.scene.input, std::vector<std::string>{o.viewer + "/map.bin", o.viewer + "/us.bin"});
        else
            served.scene = std::make_unique<scene::Scene>(o.scene);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora view: %s\n", e.what());
        return 2;
    }
    ViewServer server(viewer_files(o.viewer), calls_of(served, o));
    if (server.bind(o.port) < 0) {
        std::fprintf(stderr, "velmora view: can not listen on 127.0.0.1:%d\n", o.port);
        return 2;
    }
    const std::string url = server.url(served.console ? "console.html" : "");
    if (served.console)
        std::printf("velmora view: %s\nthe event in %s, read only; Ctrl-C ends it\n", url.c_str(), o.scene.input.c_str());
    else
        std::printf("velmora view: %s\n%s; writes into %s; Ctrl-C ends it\n", url.c_str(), served.scene->title().c_str(),
                    served.scene->out_dir().c_str());
    std::fflush(stdout);
    if (o.browser) open_browser(url);
    std::thread waiter([&server, &served, stop_signals] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        if (served.console) served.console->stop();
        server.stop();
    });
    const bool ok = server.listen();
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return ok ? 0 : 1;
}

}  // namespace

void add_view_command(CLI::App& app, int& status) {
    auto o = std::make_shared<ViewCommand>();
    auto polar = std::make_shared<PolarOptionTexts>();
    CLI::App* cmd = app.add_subcommand("view", "Show a radar volume or a network live in the browser, in 3-D");
    auto inputs = std::make_shared<std::vector<std::string>>();
    cmd->add_option("input", *inputs,
                    "A radar volume (as velmora analyze takes it; several polar volumes of one time make one "
                    "mosaic), a network file (.json), or a folder of velmora analyze or velmora track results, shown "
                    "as saved; without it, the built-in synthetic volume")
        ->type_name("VOLUME...|NETWORK.json|RESULTS_DIR");
    add_option(*cmd, "port", o->port);
    add_flag(*cmd, "no-browser", o->browser);
    add_option(*cmd, "out", o->scene.out);
    add_option(*cmd, "xform", o->scene.view_file)->check(CLI::ExistingFile);
    add_option(*cmd, "var", o->scene.analysis.var);
    add_option(*cmd, "time", o->scene.analysis.time);
    add_option(*cmd, "level", o->scene.analysis.level);
    add_option(*cmd, "min-cells", o->scene.analysis.min_cells);
    add_option(*cmd, "min-volume", o->scene.analysis.min_volume_km3);
    add_polar_options(*cmd, *polar);
    cmd->footer("Prints one URL with a random token and serves the page on 127.0.0.1 until Ctrl-C. A change in the "
                "page's panel re-runs the instances downstream of it; a click picks the voxel under it. Exit status 2 "
                "when the input cannot be used.");
    cmd->callback([o, polar, inputs, &status] {
        if (!polar_input_ok(*polar, "view", status)) return;
        if (!inputs->empty()) {
            o->scene.input = inputs->front();
            o->scene.analysis.radars.assign(inputs->begin() + 1, inputs->end());
        }
        o->scene.analysis.polar = polar->input;
        o->viewer = viewer_dir();
        o->scene.map_file = o->viewer + "/map.bin";
        try {
            status = serve(*o);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora view: %s\n", e.what());
            status = 2;
        }
    });
}

}  // namespace velmora::cli
