// A network's volumes as a watcher receives them: one folder per radar, and
// each volume that arrives put into a time step with the other radars'
// volumes of its time. A step is made into one mosaic as soon as every
// radar's volume is in, or at its deadline with the radars that came.
//
// Grouping follows the same rule as a network's files given at once
// (polar/network.h): a step holds at most one volume of each radar, its
// volumes no more than max_age apart. When a volume arrived is told by its
// file's modification time, not by when the watcher looked, so a watcher
// started again after a crash groups the folder as the one that died would
// have: a volume that arrived after its step's deadline joins no step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "polar/polar.h"
#include "realtime/state_store.h"

namespace velmora::realtime {

// The system clock, s since 1970 (files' times are told in it).
double since_1970();

// A radar's volume waiting for its step.
struct StepVolume {
    std::string name;                   // in the watched folder: radar/file, or radar/VOLUME of chunks
    std::string radar;                  // its folder
    FileRecord record;
    double time = 0;                    // of the volume, s since 1970
    double arrival = 0;                 // when its last byte came, s since 1970
    std::optional<polar::PolarVolume> volume;   // read as it came
};

struct TimeStep {
    std::vector<StepVolume> volumes;    // in the order of the radars
    double deadline = 0;                // s since 1970: made then with the radars that came
    std::vector<std::string> missing;   // the radars whose volume did not come (once ready)
    // The step's name: its first volume's.
    const std::string& name() const { return volumes.front().name; }
};

class NetworkSteps {
public:
    // radars: the network's folders; max_age: s between a step's volumes at
    // most; deadline: s after a step's first volume arrived that it is made
    // without the radars still missing.
    NetworkSteps(std::vector<std::string> radars, double max_age, double deadline);

    const std::vector<std::string>& radars() const { return radars_; }
    // A radar folder seen after the start joins the network.
    void add_radar(const std::string& radar);
    // Whether a volume is in a step waiting.
    bool holds(const std::string& name) const;
    // Puts a volume into its step; the reason it is skipped when it came
    // after the deadline of a step made without it.
    std::optional<std::string> add(StepVolume v);
    // Whether a step waits, and whether one is ready at now.
    bool waiting() const { return !waiting_.empty(); }
    bool ready(double now) const;
    // The first step ready at now (s since 1970): every radar in, or its
    // deadline passed; its missing radars named. Taken out of the waiting
    // steps, and remembered as made.
    std::optional<TimeStep> take_ready(double now);
    // A step taken but not made after all (its output folder full): waits again.
    void put_back(TimeStep s);
    // Seconds until the next deadline (a large number when none waits).
    double seconds_to_deadline(double now) const;

    // The steps made lately, as text for the watcher's state, and back.
    std::string made_text() const;
    void restore_made(const std::string& text);

private:
    struct Made {
        double first = 0, last = 0, deadline = 0;
        std::vector<std::string> radars;
    };
    bool fits(const std::vector<StepVolume>& step, const StepVolume& v) const;
    std::vector<TimeStep>::const_iterator first_ready(double now) const;
    void remember(const TimeStep& s);

    std::vector<std::string> radars_;
    double max_age_, deadline_;
    std::vector<TimeStep> waiting_;     // in the order they opened
    std::vector<Made> made_;            // the newest last, a few
};

}  // namespace velmora::realtime
