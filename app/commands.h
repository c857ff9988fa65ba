// The subcommands of the velmora program. Each adds itself to the program's
// command line; its callback leaves the exit status in status.
#pragma once

namespace CLI {
class App;
}

namespace velmora::app {

void add_run_command(CLI::App& app, int& status);
void add_modules_command(CLI::App& app, int& status);
void add_analyze_command(CLI::App& app, int& status);
void add_synth_command(CLI::App& app, int& status);

// Parses the command line and runs the chosen subcommand: the exit status,
// 2 for a command line that cannot be understood.
int parse_and_run(CLI::App& app, int& status, int argc, const char* const* argv);

}  // namespace velmora::app
