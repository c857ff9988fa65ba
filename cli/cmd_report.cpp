// velmora report DIR [--out FILE] [--volumes N]: the event of a watch or
// track folder as one HTML file that opens from disk with no server: the
// console's page with its scripts, the event's summary, the plan views of
// its last volumes, the sections through the newest volume's cells and the
// hail swath, all inside.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "commands.h"
#include "io/output_files.h"
#include "report.h"
#include "table_options.h"
#include "scene/event.h"
#include "view_server.h"

namespace velmora::cli {

namespace {

namespace fs = std::filesystem;

struct ReportCommand {
    std::string dir, out;
    int volumes = 0;   // plan views kept, the newest
};

std::string read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string packed(const std::string& pack) { return base64(deflated(pack)); }

// The event's data as the console's page reads it in a report: the plan
// views of the newest volumes, and the section and history of each track
// of the newest volume.
Json report_data(scene::Event& e, std::size_t keep) {
    Json plans = Json::object(), sections = Json::object(), tracks = Json::object();
    const std::size_t n = e.volumes().size();
    for (std::size_t k = n > keep ? n - keep : 0; k < n; ++k) plans[std::to_string(k)] = packed(e.plan(k));
    const Json summary = e.summary();
    for (const Json& row : summary["cells"]["rows"]) {
        const int track = row[1].get<int>();
        sections[std::to_string(track)] = packed(e.cell_section(n - 1, track));
        tracks[std::to_string(track)] = e.track(track);
    }
    Json images = Json::object();
    const std::string swath = read_all(fs::path(e.dir()) / "hail_swath.png");
    if (!swath.empty()) images["hail swath (largest MESH of each column)"] = "data:image/png;base64," + base64(swath);
    return {{"summary", summary}, {"plans", plans}, {"sections", sections}, {"tracks", tracks}, {"images", images}};
}

int write_event_report(const ReportCommand& c) {
    const std::string viewer = viewer_dir();
    scene::Event event(c.dir, {viewer + "/map.bin", viewer + "/us.bin"});
    if (event.volumes().empty()) throw std::runtime_error(c.dir + " holds no volume yet");
    const std::string js = read_all(fs::path(viewer) / "console.js"), css = read_all(fs::path(viewer) / "console.css");
    if (js.empty() || css.empty()) throw std::runtime_error("the viewer's files are missing in " + viewer);
    const Json data = report_data(event, static_cast<std::size_t>(c.volumes));
    const std::string out = c.out.empty() ? (fs::path(c.dir) / "report.html").string() : c.out;
    const std::string page = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>velmora report: " +
                             fs::path(c.dir).filename().string() + "</title><style>" + css +
                             "</style></head><body><div id=\"console\"></div>\n<script>window.VELMORA_EVENT = " +
                             inline_script(data.dump()) + ";</script>\n<script>" + inline_script(js) + "</script>\n</body></html>\n";
    write_file(out, page);   // whole or not at all
    std::printf("velmora report: %s (%zu volumes, %zu plan views, %.1f MB)\n", out.c_str(), event.volumes().size(),
                data["plans"].size(), static_cast<double>(page.size()) / 1e6);
    return 0;
}

}  // namespace

void add_report_command(CLI::App& app, int& status) {
    auto c = std::make_shared<ReportCommand>();
    CLI::App* cmd = app.add_subcommand("report", "Write the event of a watch or track folder as one HTML file");
    cmd->add_option("folder", c->dir, "A folder velmora watch or velmora track wrote")->required()->type_name("DIR");
    add_option(*cmd, "out", c->out);
    add_option(*cmd, "volumes", c->volumes);
    cmd->footer("The report opens from disk in a browser, with no server and no network: the tracks on the plan "
                "views, the cells' table, each cell's trends and section, the alerts, the verification and the hail "
                "swath. Exit status 2 when the folder holds no event.");
    cmd->callback([c, &status] {
        try {
            status = write_event_report(*c);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora report: %s\n", e.what());
            status = 2;
        }
    });
}

}  // namespace velmora::cli
