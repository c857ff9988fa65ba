// The progress bar: nested ranges map a module's percent into the whole.
#include "progress.h"

#include <gtest/gtest.h>

#include "temp_files.h"

namespace {

using K = vhost::ProgressEvent::Kind;
using velmora::app::ProgressBar;

vhost::ProgressEvent check(int p, std::string text = {}) { return {K::Check, p, 0, std::move(text)}; }
vhost::ProgressEvent push(int lo, int hi) { return {K::Push, lo, hi, {}}; }
vhost::ProgressEvent pop() { return {K::Pop, 0, 0, {}}; }

TEST(ProgressBar, NestedRangesMapIntoTheOuterRange) {
    ProgressBar bar(nullptr);
    bar.begin("mesh");
    // Each step: the events, then the percent of the whole.
    const std::vector<std::pair<std::vector<vhost::ProgressEvent>, double>> steps{
        {{push(0, 50), check(50)}, 25},
        {{push(50, 100), check(0)}, 25},   // 25 .. 50 of the whole
        {{check(40)}, 35},
        {{pop(), pop(), push(100, 50), check(0)}, 50},   // reversed ends are put in order
        {{pop(), pop(), check(150)}, 100},               // more pops than pushes keep the whole range
        {{check(-20)}, 0},
    };
    for (const auto& [events, percent] : steps) {
        for (const auto& e : events) bar.on_event(e);
        EXPECT_DOUBLE_EQ(bar.percent(), percent);
    }
    // A new call starts with the whole range again.
    bar.on_event(push(0, 10));
    bar.begin("next");
    bar.on_event(check(50));
    EXPECT_DOUBLE_EQ(bar.percent(), 50.0);
}

TEST(ProgressBar, DrawsOnOneLineAndErasesIt) {
    apptest::Capture out;
    {
        ProgressBar bar(out.stream(), 10);
        bar.clear();   // nothing drawn, nothing to erase
        bar.begin("rain MakeRainMeshLinear_update");
        bar.on_event(push(50, 100));
        bar.on_event(check(60, "mesh\nlines"));
        bar.clear();
    }
    EXPECT_EQ(out.text(), "\rrain MakeRainMeshLinear_update [########..]  80% mesh lines\033[K\r\033[K");
}

}  // namespace
