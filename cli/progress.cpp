#include "progress.h"

#include <algorithm>

namespace velmora::cli {

namespace {

double clamp_percent(double p) { return std::clamp(p, 0.0, 100.0); }

// A module's text, shown on one line: control characters become spaces and
// long texts are cut.
std::string one_line(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (s.size() >= 40 && (static_cast<unsigned char>(c) & 0xC0) != 0x80) break;   // whole characters
        s += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return s;
}

}  // namespace

void ProgressBar::begin(const std::string& label) {
    label_ = one_line(label);
    ranges_.assign(1, Range{0.0, 100.0});
    percent_ = 0.0;
}

void ProgressBar::on_event(const vhost::ProgressEvent& e) {
    using K = vhost::ProgressEvent::Kind;
    const Range& r = ranges_.back();
    auto map = [&](double p) { return r.lo + (r.hi - r.lo) * clamp_percent(p) / 100.0; };
    switch (e.kind) {
        case K::Push: {
            double lo = map(e.a), hi = map(e.b);
            ranges_.push_back(Range{std::min(lo, hi), std::max(lo, hi)});
            return;
        }
        case K::Pop:
            if (ranges_.size() > 1) ranges_.pop_back();   // an unmatched pop keeps the whole range
            return;
        case K::Check:
            percent_ = map(e.a);
            draw(e.text);
            return;
    }
}

void ProgressBar::draw(std::string_view text) {
    if (!out_) return;
    auto filled = static_cast<int>(percent_ / 100.0 * width_ + 0.5);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(static_cast<std::size_t>(width_), '.');
    char head[32];
    std::snprintf(head, sizeof head, "] %3d%% ", static_cast<int>(percent_ + 0.5));
    std::string line = label_ + " [" + bar + head + one_line(text);
    // A module may report thousands of times a second; the terminal sees
    // only the lines that differ.
    if (drawn_ && line == shown_) return;
    std::fprintf(out_, "\r%s\033[K", line.c_str());
    std::fflush(out_);
    shown_ = std::move(line);
    drawn_ = true;
}

void ProgressBar::clear() {
    if (!out_ || !drawn_) return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    drawn_ = false;
    shown_.clear();
}

}  // namespace velmora::cli
