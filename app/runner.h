// `velmora run`: a network file built on the substitute host, its
// instances called in dataflow order, and the tree written as a dump.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::app {

struct RunOptions {
    std::string network;                  // the network file
    std::vector<std::string> overrides;   // "INSTANCE.PARAM=VALUE"
    std::string dump;                     // where the dump goes; empty: none
    bool verbose = false;                 // each call and the dump noted on err
};

// Exit statuses of a run.
inline constexpr int run_ok = 0;
inline constexpr int run_fault = 1;     // the run went wrong: a missing entry point, arrays left unreleased, no dump
inline constexpr int run_invalid = 2;   // the network cannot be run; nothing was called

// Runs the network. The library's standard output is left as it is; the
// texts reported through the error channel and the runner's own messages
// go to err; a progress bar too when progress is true.
int run_network(const RunOptions& options, std::FILE* err, bool progress);

}  // namespace velmora::app
