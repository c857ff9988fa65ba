// `velmora run`: a network file built on the substitute host, its
// instances called in dataflow order, and the tree written as a dump.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "run/dump.h"
#include "run/network.h"

namespace velmora {

struct RunOptions {
    std::string network;                  // the network file
    std::vector<std::string> overrides;   // "INSTANCE.PARAM=VALUE"
    std::string dump;                     // where the dump goes; empty: none
    std::int64_t dump_limit = kDefaultDumpLimit;   // values a dump may hold
    bool verbose = false;                 // each call and the dump noted on err
    // The writer modules write only inside the folder the run runs in,
    // unless this is true: a network from someone else cannot put files
    // elsewhere.
    bool writes_anywhere = false;
};

// Exit statuses of a run.
inline constexpr int run_ok = 0;
inline constexpr int run_fault = 1;     // the run went wrong: a missing entry point, arrays left unreleased, no dump
inline constexpr int run_invalid = 2;   // the network cannot be run; nothing was called
inline constexpr int run_reported = 3;  // the network ran, and a module reported a problem

// What follows the calls' progress (the program's bar on a terminal): told
// as each call begins and ends, and of what the modules report meanwhile.
class ProgressWatcher {
public:
    virtual ~ProgressWatcher() = default;
    virtual void begin(const std::string& label) = 0;
    virtual void on_event(const vhost::ProgressEvent& e) = 0;
    virtual void clear() = 0;
};

// How the instances of a built network are called.
struct CallSettings {
    bool verbose = false;   // each call noted on err
    bool timings = false;   // each call's time and the process's memory after it noted on err
    // Instances for which it says true are not called.
    std::function<bool(const PlannedInstance&)> skip;
    // Told of each instance whose calls all returned, after them.
    std::function<void(const PlannedInstance&)> after;
};

// Calls the instances of a plan built on the host, in order, printing what
// they report (and the runner's own notes) to err; a call that cannot be
// made ends the run. Each call made goes into record. run_ok, or run_fault
// when a call failed or arrays are left unreleased.
int call_instances(const Plan& plan, const CallSettings& settings, RunRecord& record, std::FILE* err,
                   ProgressWatcher* progress = nullptr);

// "velmora: STEP  0.123 s  150 MB resident, 300 MB at most" on err: the time
// since `since`, which becomes now.
void print_timing(std::FILE* err, const std::string& step, std::chrono::steady_clock::time_point& since);

// Runs the network. The library's standard output is left as it is; the
// texts reported through the error channel and the runner's own messages
// go to err; progress, when given, follows the calls.
int run_network(const RunOptions& options, std::FILE* err, ProgressWatcher* progress = nullptr);

}  // namespace velmora
