#include "realtime/network_steps.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace velmora::realtime {

namespace {

// The steps made that are remembered: enough to tell the late volumes of the
// last few.
constexpr std::size_t kMadeKept = 8;

bool has_radar(const std::vector<StepVolume>& step, const std::string& radar) {
    return std::any_of(step.begin(), step.end(), [&](const StepVolume& s) { return s.radar == radar; });
}

}  // namespace

NetworkSteps::NetworkSteps(std::vector<std::string> radars, double max_age, double deadline)
    : radars_(std::move(radars)), max_age_(max_age), deadline_(deadline) {}

void NetworkSteps::add_radar(const std::string& radar) {
    if (std::find(radars_.begin(), radars_.end(), radar) == radars_.end()) radars_.push_back(radar);
}

bool NetworkSteps::holds(const std::string& name) const {
    for (const TimeStep& s : waiting_)
        for (const StepVolume& v : s.volumes)
            if (v.name == name) return true;
    return false;
}

// A step takes a volume of a radar it lacks, the volumes' times no more
// than max_age apart.
bool NetworkSteps::fits(const std::vector<StepVolume>& step, const StepVolume& v) const {
    if (has_radar(step, v.radar)) return false;
    double first = v.time, last = v.time;
    for (const StepVolume& s : step) first = std::min(first, s.time), last = std::max(last, s.time);
    return last - first <= max_age_;
}

// A volume later than the deadline of a step of its time that lacks its
// radar is skipped: that step is (or will be) made without it, and a mosaic
// of it alone would put a step of one radar between two of the network.
// "Of its time": it fits the step and lies no more than half max_age after
// the step's last volume; further on it begins the next step (the radar's
// next volume, when the step's was lost).
std::optional<std::string> NetworkSteps::add(StepVolume v) {
    for (TimeStep& s : waiting_)
        if (v.arrival <= s.deadline && fits(s.volumes, v)) {
            s.volumes.push_back(std::move(v));
            const auto order = [this](const StepVolume& a) {
                return std::find(radars_.begin(), radars_.end(), a.radar) - radars_.begin();
            };
            std::stable_sort(s.volumes.begin(), s.volumes.end(),
                             [&](const StepVolume& a, const StepVolume& b) { return order(a) < order(b); });
            return std::nullopt;
        }
    const auto late = [&](double first, double last, double deadline) {
        return v.arrival > deadline && std::max(last, v.time) - std::min(first, v.time) <= max_age_ &&
               v.time - last <= max_age_ / 2;
    };
    for (const Made& m : made_)
        if (std::find(m.radars.begin(), m.radars.end(), v.radar) == m.radars.end() && late(m.first, m.last, m.deadline))
            return "it came after the mosaic of its time was made without it";
    for (const TimeStep& s : waiting_) {
        double first = s.volumes.front().time, last = first;
        for (const StepVolume& o : s.volumes) first = std::min(first, o.time), last = std::max(last, o.time);
        if (!has_radar(s.volumes, v.radar) && late(first, last, s.deadline))
            return "it came after the deadline of the mosaic of its time, which is made without it";
    }
    TimeStep& s = waiting_.emplace_back();
    s.deadline = v.arrival + deadline_;
    s.volumes.push_back(std::move(v));
    return std::nullopt;
}

double since_1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The ready step of the earliest first volume: every radar in, or its deadline passed.
std::vector<TimeStep>::const_iterator NetworkSteps::first_ready(double now) const {
    auto ready = waiting_.end();
    for (auto s = waiting_.begin(); s != waiting_.end(); ++s) {
        const bool whole = std::all_of(radars_.begin(), radars_.end(), [&](const std::string& r) { return has_radar(s->volumes, r); });
        if ((whole || now >= s->deadline) && (ready == waiting_.end() || s->volumes.front().time < ready->volumes.front().time))
            ready = s;
    }
    return ready;
}

bool NetworkSteps::ready(double now) const { return first_ready(now) != waiting_.end(); }

std::optional<TimeStep> NetworkSteps::take_ready(double now) {
    const auto found = first_ready(now);
    if (found == waiting_.end()) return std::nullopt;
    const auto ready = waiting_.begin() + (found - waiting_.cbegin());
    TimeStep s = std::move(*ready);
    waiting_.erase(ready);
    s.missing.clear();
    for (const std::string& r : radars_)
        if (!has_radar(s.volumes, r)) s.missing.push_back(r);
    remember(s);
    return s;
}

void NetworkSteps::put_back(TimeStep s) {
    if (!made_.empty()) made_.pop_back();
    waiting_.insert(waiting_.begin(), std::move(s));
}

void NetworkSteps::remember(const TimeStep& s) {
    Made m{s.volumes.front().time, s.volumes.front().time, s.deadline, {}};
    for (const StepVolume& v : s.volumes) {
        m.first = std::min(m.first, v.time), m.last = std::max(m.last, v.time);
        m.radars.push_back(v.radar);
    }
    made_.push_back(std::move(m));
    if (made_.size() > kMadeKept) made_.erase(made_.begin());
}

double NetworkSteps::seconds_to_deadline(double now) const {
    double wait = std::numeric_limits<double>::max();
    for (const TimeStep& s : waiting_) wait = std::min(wait, std::max(0.0, s.deadline - now));
    return wait;
}

// The steps made, as JSON (its numbers are written so that they read back
// to the bit).
std::string NetworkSteps::made_text() const {
    nlohmann::json steps = nlohmann::json::array();
    for (const Made& m : made_)
        steps.push_back({{"first", m.first}, {"last", m.last}, {"deadline", m.deadline}, {"radars", m.radars}});
    return steps.dump();
}

// What made_text wrote; anything else (a state from before, damaged) is no
// step made, which can only let a late volume through as a step of its own.
void NetworkSteps::restore_made(const std::string& text) {
    made_.clear();
    const nlohmann::json steps = nlohmann::json::parse(text, nullptr, false);
    if (!steps.is_array()) return;
    for (const nlohmann::json& m : steps) {
        if (!m.is_object() || !m.value("radars", nlohmann::json()).is_array()) continue;
        const auto number = [&](const char* key) {
            const auto v = m.find(key);
            return v != m.end() && v->is_number() ? v->get<double>() : NAN;
        };
        Made made{number("first"), number("last"), number("deadline"), {}};
        for (const nlohmann::json& r : m["radars"])
            if (r.is_string()) made.radars.push_back(r.get<std::string>());
        if (!std::isnan(made.first) && !std::isnan(made.last) && !std::isnan(made.deadline)) made_.push_back(std::move(made));
    }
}

}  // namespace velmora::realtime
