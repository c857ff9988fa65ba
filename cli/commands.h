// The subcommands of the velmora program. Each adds itself to the program's
// command line; its callback leaves the exit status in status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "polar/polar_input.h"

namespace CLI {
class App;
class Option;
}

namespace velmora::cli {

void add_run_command(CLI::App& app, int& status);
void add_modules_command(CLI::App& app, int& status);
void add_analyze_command(CLI::App& app, int& status);
void add_synth_command(CLI::App& app, int& status);
void add_track_command(CLI::App& app, int& status);
void add_grid_command(CLI::App& app, int& status);
void add_view_command(CLI::App& app, int& status);
void add_watch_command(CLI::App& app, int& status);
void add_verify_command(CLI::App& app, int& status);
void add_report_command(CLI::App& app, int& status);

// The lead times of the forecasts (--leads, minutes) in s, ascending
// without repeats (cmd_verify.cpp).
std::vector<double> leads_in_seconds(const std::vector<double>& minutes);

// The gridding options of the commands that take polar volumes, as given,
// and what they make.
struct PolarOptionTexts {
    std::string field, combine;
    std::vector<double> site, spacing, extent, levels, origin;
    const CLI::Option* extent_option = nullptr;   // whether --extent was given (it holds its default otherwise)
    polar::PolarInput input;
};
void add_polar_options(CLI::App& cmd, PolarOptionTexts& o);
// Fills o.input from the texts; when they cannot be used, says so as the
// command's message and sets status 2.
bool polar_input_ok(PolarOptionTexts& o, const char* command, int& status);
// velmora synth --series N --interval S: the options, and the writing of a
// series with its true tracks (cmd_track.cpp).
void add_series_option(CLI::App& synth, int& count, double& interval);

// --freezing-level, --minus20-level and --sounding: the levels of hail (docs/hail.md).
void add_hail_options(CLI::App& cmd, std::optional<double>& freezing_km, std::optional<double>& minus20_km,
                      std::string& sounding);
int write_series(const std::string& dir, int count, double interval);


// Every subcommand above, in the order the program's help lists them.
void add_commands(CLI::App& app, int& status);

// Parses the command line and runs the chosen subcommand: the exit status,
// 2 for a command line that cannot be understood.
int parse_and_run(CLI::App& app, int& status, int argc, const char* const* argv);

}  // namespace velmora::cli
