// velmora verify TRACK_OR_WATCH_DIR [--leads MIN,...] [--max-speed M/S] [--interval S] [--out FILE]
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>

#include "commands.h"
#include "table_options.h"
#include "realtime/track_folder.h"

namespace velmora::cli {

namespace {

struct VerifyOptions {
    std::string dir;
    std::vector<double> leads;   // minutes
    double max_speed = 0.0;   // these from the table of options
    double interval = 0.0;
    std::string out;
};

void print_table(const std::vector<tracking::VerificationRow>& rows, const std::string& dir) {
    std::printf("forecasts verified in %s, over the grid columns of the cells at the valid time:\n", dir.c_str());
    std::printf("  lead min  method      volumes    POD    FAR    CSI  centre error km\n");
    const auto shown = [](double v, const char* f) {
        char b[32];
        std::snprintf(b, sizeof b, f, v);
        return std::isfinite(v) ? std::string(b) : std::string("-");
    };
    for (const auto& r : rows) {
        const auto& c = r.scores.columns;
        std::printf("  %8g  %-10s  %7lld  %5s  %5s  %5s  %15s\n", r.lead / 60.0, tracking::method_name(r.method),
                    static_cast<long long>(r.scores.volumes), shown(tracking::pod(c), "%.2f").c_str(),
                    shown(tracking::far(c), "%.2f").c_str(), shown(tracking::csi(c), "%.2f").c_str(),
                    shown(r.scores.mean_centre_error(), "%.1f").c_str());
    }
}

int run_verify(const VerifyOptions& o) {
    std::vector<tracking::VerificationRow> rows;
    try {
        tracking::TrendSettings s;
        s.max_speed = o.max_speed;
        rows = realtime::verify_folder(o.dir, leads_in_seconds(o.leads), s, o.interval);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora verify: %s\n", e.what());
        return 2;
    }
    print_table(rows, o.dir);
    if (o.out.empty()) return 0;
    std::ofstream f(o.out);
    f << tracking::verification_csv(rows);
    f.close();
    if (!f) {
        std::fprintf(stderr, "velmora verify: can not write %s\n", o.out.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

std::vector<double> leads_in_seconds(const std::vector<double>& minutes) {
    std::vector<double> s;
    for (const double m : minutes) s.push_back(m * 60.0);
    std::sort(s.begin(), s.end());
    s.erase(std::unique(s.begin(), s.end()), s.end());
    return s;
}

void add_verify_command(CLI::App& app, int& status) {
    auto o = std::make_shared<VerifyOptions>();
    CLI::App* cmd = app.add_subcommand("verify", "Verify the forecasts of a finished velmora track or watch folder");
    cmd->add_option("folder", o->dir, "The folder velmora track or velmora watch wrote (volumes.csv, tracks.csv, volumes/)")
        ->required()
        ->type_name("DIR");
    add_option(*cmd, "leads", o->leads);
    add_option(*cmd, "max-speed", o->max_speed);
    add_option(*cmd, "interval", o->interval);
    add_option(*cmd, "out", o->out);
    cmd->footer(
        "Forecasts each cell of each volume along its track's trend, and by Lagrangian and Eulerian persistence, and "
        "compares the forecast footprints with the cells of the volume nearest each valid time: POD, FAR and CSI over "
        "grid columns and the mean centre error, per lead time. docs/tracking.md describes the method.\n\nExit status: "
        "0 when verified, 1 when the table cannot be written, 2 when the folder cannot be read.");
    cmd->callback([o, &status] { status = run_verify(*o); });
}

}  // namespace velmora::cli
