// A network kept live on the host, as the host the modules were written for
// keeps one: built once, run once in `velmora run` order, and afterwards,
// when a parameter changes, only the instances downstream of it called
// again, in the same order. What the modules report is collected per run.
// A live network holds what its values need: after each instance the huge
// pages of its large outputs that hold only zeros are given back (they read
// as zeros again), after each run the freed blocks kept for reuse.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "run/network.h"
#include "run/runner.h"

namespace velmora::scene {

// One run: the instances called, the texts the modules reported, whether
// every call returned 1, and how long it took.
struct RunResult {
    std::vector<std::string> instances;
    std::vector<std::string> messages;
    bool ok = true;
    double seconds = 0.0;
};

class LiveNetwork {
public:
    // Builds doc on the host (whose tree may hold fields it links to);
    // NetworkError as build_network throws it.
    explicit LiveNetwork(const Document& doc);

    const Plan& plan() const { return plan_; }
    // The instances that read, through links and in any number of steps,
    // from any of names, and those themselves, in run order.
    std::vector<std::string> downstream(const std::set<std::string>& names) const;
    // Calls the instances of names (all when empty), in run order.
    RunResult run(const std::vector<std::string>& names = {});
    // Sets parameter path of instance to value as a network file's "params"
    // do (NetworkError when it does not fit), then runs what is downstream.
    RunResult set(const std::string& instance, const std::string& path, const Json& value);
    // Calls one entry point of one instance (a pick, a clear, a save).
    RunResult call(const std::string& instance, const std::string& entry);
    // Sets several parameters, then runs what is downstream of them all.
    struct Change {
        std::string instance, path;
        Json value;
    };
    RunResult set(const std::vector<Change>& changes);
    vhost::Object& instance(const std::string& name) const;
    bool has(const std::string& name) const;
    // Instances for which skip says true are not called (a division that
    // kept no area leaves its readers nothing to read).
    void set_skip(std::function<bool(const PlannedInstance&)> skip) { settings_.skip = std::move(skip); }
    // Also what is told after each instance (the filter of cells by volume).
    void set_settings(CallSettings settings) { settings_ = std::move(settings); }

private:
    void assign(const Change& change);
    CallSettings settings_;
    RunResult call_plan(const Plan& plan);
    Plan plan_;
    // Per instance (by run position), the instances it links to.
    std::vector<std::set<std::size_t>> reads_;
};

}  // namespace velmora::scene
