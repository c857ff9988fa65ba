// velmora: runs networks of the library's modules on the substitute host.
// Each subcommand lives in a file of its own and adds itself to the program.
#include <CLI/CLI.hpp>
#include <csignal>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"velmora: analysis and display modules for 3-D weather-radar volumes, run on velmora's own host."};
    app.require_subcommand(1);
    app.footer(
        "Examples:\n"
        "  velmora analyze cpol.nc --var DT --level 40   the storm cells of a radar volume\n"
        "  velmora analyze                         the same on the built-in synthetic volume\n"
        "  velmora track series/*.nc --out tracks  the storm cells of a series followed over time\n"
        "  velmora modules                         the modules and the host's own operations\n"
        "  velmora modules ThreshMin               what an instance of ThreshMin declares\n"
        "  velmora run examples/ThreshMin.json --dump out.json\n"
        "  velmora run out.json                    a dump reads back as a network\n"
        "  velmora batch data/*.nc --out results   many volumes at once on Dask (velmora batch --help)\n"
        "The network file format is described in docs/networks.md, the command line in docs/cli.md.");
    // A file that outgrows the limit of file sizes (ulimit -f) fails its
    // write, which velmora reports, rather than killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    int status = 0;
    velmora::cli::add_commands(app, status);
    return velmora::cli::parse_and_run(app, status, argc, argv);
}
