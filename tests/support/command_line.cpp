#include "app_test.h"

#include <CLI/CLI.hpp>

#include "commands.h"

namespace vtest {

int cli(const std::vector<std::string>& args) {
    CLI::App app{"velmora"};
    app.require_subcommand(1);
    int status = 0;
    velmora::cli::add_commands(app, status);
    std::vector<const char*> argv{"velmora"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return velmora::cli::parse_and_run(app, status, static_cast<int>(argv.size()), argv.data());
}

}  // namespace vtest
