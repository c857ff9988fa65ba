// A progress bar on a terminal, fed by the progress the modules report to
// the host: a module's percent maps into the range its caller pushed, and
// nested ranges into the outer ones.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host.h"
#include "run/runner.h"

namespace velmora::cli {

class ProgressBar final : public ProgressWatcher {
public:
    explicit ProgressBar(std::FILE* out, int width = 30) : out_(out), width_(width) {}
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // A new call: the label is shown before the bar; ranges start afresh.
    void begin(const std::string& label) override;
    void on_event(const vhost::ProgressEvent& e) override;
    // Erases the bar, so that the next line starts clean.
    void clear() override;

    // The overall percent of the last check, 0 to 100.
    double percent() const { return percent_; }

private:
    void draw(std::string_view text);

    std::FILE* out_;
    int width_;
    std::string label_;
    struct Range {
        double lo, hi;
    };
    std::vector<Range> ranges_{{0.0, 100.0}};
    double percent_ = 0.0;
    bool drawn_ = false;
    std::string shown_;   // the line on the terminal while drawn_
};

}  // namespace velmora::cli
