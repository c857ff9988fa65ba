// velmora run NETWORK.json [--dump FILE] [--set INSTANCE.PARAM=VALUE]...
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <new>
#include <memory>

#include "commands.h"
#include "table_options.h"
#include "io/output_files.h"
#include "progress.h"
#include "run/runner.h"

namespace velmora::cli {

void add_run_command(CLI::App& app, int& status) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* run = app.add_subcommand("run", "Run a network of module instances described in a JSON file");
    const std::string about =
        "Builds the fields and module instances of a network file on velmora's host, sets their parameters, links "
        "them, and calls each instance's entry points after the instances it reads from (otherwise in file order). "
        "What the modules print goes to standard output unchanged; what they report goes to standard error.\n\n";
    run->add_option("network", options->network, "The network file: fields, instances, parameter values and links (docs/networks.md)")
        ->required()
        ->type_name("NETWORK.json");
    add_option(*run, "dump", options->dump);
    add_option(*run, "dump-limit", options->dump_limit);
    add_option(*run, "set", options->overrides)->allow_extra_args(false);
    add_flag(*run, "verbose", options->verbose, "-v");
    add_flag(*run, "allow-writes-anywhere", options->writes_anywhere);
    run->footer(about +
        "Exit status: 0 when the network ran and no module reported a problem; 1 when the run went wrong "
        "(a missing entry point, host arrays left unreleased, a dump that cannot be written); 2 when the network "
        "cannot be run: a malformed file, an unknown module, parameter or link target, or a value of the wrong kind "
        "(the message names the file, the line and column, and the offending name, and nothing is run); 3 when the "
        "network ran but a module reported a problem (its message is on standard error, the dump is written; a file "
        "a writer was refused outside the run's folder is named, with --allow-writes-anywhere).");
    run->callback([options, &status] {
        if (!options->dump.empty() && same_file(options->dump, options->network)) {
            std::fprintf(stderr, "velmora run: --dump %s is the network file: velmora does not write over what it reads\n",
                         options->dump.c_str());
            status = 2;
            return;
        }
        ProgressBar bar(stderr);
        status = run_network(*options, stderr, ::isatty(STDERR_FILENO) == 1 ? &bar : nullptr);
    });
}

void add_commands(CLI::App& app, int& status) {
    add_run_command(app, status);
    add_modules_command(app, status);
    add_analyze_command(app, status);
    add_synth_command(app, status);
    add_track_command(app, status);
    add_grid_command(app, status);
    add_view_command(app, status);
    add_watch_command(app, status);
    add_verify_command(app, status);
    add_report_command(app, status);
    // `velmora batch` is the Python package's, started by the launcher; it is
    // listed here so that the program's help names it.
    auto* batch = app.add_subcommand("batch", "Analyze many radar volumes at once on Dask (velmora batch --help)");
    batch->allow_extras();
    batch->callback([&status] {
        std::fprintf(stderr, "velmora: batch runs on the Python package: start it as velmora batch\n");
        status = 2;
    });
}

int parse_and_run(CLI::App& app, int& status, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;   // --help is not a failure; anything else is a usage error
    } catch (const std::bad_alloc&) {
        // A volume or network larger than the memory: said, never an abort.
        std::fprintf(stderr, "velmora: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora: %s\n", e.what());
        return 1;
    }
    return status;
}

}  // namespace velmora::cli
