// velmora watch of a network, one folder per radar: its volumes grouped into time steps by their times and their
// arrivals, each step one mosaic, a step made at its deadline without the radars that did not come, their late
// volumes skipped across restarts, and a watcher killed at random moments ending as one never interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

#include "../polar/polar_files.h"
#include "app_test.h"
#include "realtime/network_steps.h"
#include "watch_support.h"

namespace {

namespace fs = std::filesystem;
using velmora::realtime::NetworkSteps;
using velmora::realtime::StepVolume;
using velmora::realtime::VolumeOutcome;
using State = VolumeOutcome::State;

StepVolume arrived(const std::string& radar, double time, double arrival) {
    StepVolume v;
    v.name = radar + "/" + std::to_string(int(time)), v.radar = radar, v.time = time, v.arrival = arrival;
    return v;
}

TEST(NetworkSteps, VolumesOfATimeMakeAStepWhenAllAreInOrAtTheDeadlineAndLateOnesAreSkipped) {
    NetworkSteps steps({"a", "b", "c"}, 300, 60);
    EXPECT_FALSE(steps.add(arrived("a", 1000, 2000)));
    EXPECT_FALSE(steps.add(arrived("b", 1020, 2010)));
    EXPECT_TRUE(steps.holds("b/1020"));
    EXPECT_FALSE(steps.ready(2059));
    EXPECT_DOUBLE_EQ(steps.seconds_to_deadline(2030), 30);
    EXPECT_FALSE(steps.add(arrived("c", 1040, 2020)));
    auto whole = steps.take_ready(2021);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->volumes.size(), 3u);
    EXPECT_TRUE(whole->missing.empty());
    EXPECT_EQ(whole->name(), "a/1000");
    // The next time: c's volume does not come by the deadline, 60 s after a's came.
    EXPECT_FALSE(steps.add(arrived("b", 1320, 2300)));   // b first: the radars stay in their order
    EXPECT_FALSE(steps.add(arrived("a", 1300, 2310)));
    EXPECT_FALSE(steps.ready(2359.9));
    auto partial = steps.take_ready(2360);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->name(), "a/1300");
    EXPECT_EQ(partial->missing, std::vector<std::string>{"c"});
    // c's volume of that time, late, is skipped, also by a watcher started again; its next one begins a step.
    const std::string late = "it came after the mosaic of its time was made without it";
    EXPECT_EQ(steps.add(arrived("c", 1340, 2370)).value_or(""), late);
    NetworkSteps again({"a", "b", "c"}, 300, 60);
    again.restore_made(steps.made_text());
    EXPECT_EQ(again.add(arrived("c", 1340, 2370)).value_or(""), late);
    EXPECT_FALSE(again.add(arrived("c", 1640, 2680)));
    EXPECT_FALSE(again.ready(2700));
    // Any folder's name is kept, the times to the bit; a damaged state remembers no step.
    NetworkSteps blanks({"radar one", "b"}, 300, 60);
    EXPECT_FALSE(blanks.add(arrived("b", 1000.1, 2000.3)));
    ASSERT_TRUE(blanks.take_ready(2060.3));
    NetworkSteps restored({"radar one", "b"}, 300, 60), damaged({"radar one", "b"}, 300, 60);
    restored.restore_made(blanks.made_text());
    EXPECT_EQ(restored.made_text(), blanks.made_text());
    EXPECT_EQ(restored.add(arrived("radar one", 1010, 2070)).value_or(""), late);
    damaged.restore_made(blanks.made_text().substr(0, 20));
    EXPECT_FALSE(damaged.add(arrived("radar one", 1010, 2070)));
    // A volume that came after a waiting step's deadline joins no step (a watcher that looked in time made the step
    // without it), and two volumes of one radar never share a step; volumes further apart than max_age neither.
    EXPECT_EQ(again.add(arrived("a", 1650, 2745)).value_or(""),
              "it came after the deadline of the mosaic of its time, which is made without it");
    EXPECT_FALSE(again.add(arrived("c", 1660, 2690)));
    EXPECT_FALSE(again.add(arrived("b", 1990, 2695)));
    auto first = again.take_ready(2741);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->volumes.size(), 1u);
    EXPECT_EQ(first->missing, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(again.take_ready(2751)->name(), "c/1660");
    EXPECT_EQ(again.take_ready(2756)->name(), "b/1990");
    EXPECT_FALSE(again.waiting());
}

// A storm (dBZ of a Gaussian core, weaker above 6 km, none above 10 km) at sx km east, sy km north of radar a.
struct Storm {
    double sx = 25, sy = 15;
    double dbz(double x, double y, double h) const {
        double v = 55 - (std::pow(x - sx, 2) + std::pow(y - sy, 2)) / 1.5;
        if (h > 6) v -= 4 * (h - 6);
        return h > 10 || v < 5 ? polartest::kSceneNone : v;
    }
};

struct Radar {
    std::string name;
    double lat, lon;
    int seconds;   // after the step's time that its volume starts
};
const std::vector<Radar> kRadars = {{"a", 35.0, -97.0, 0}, {"b", 35.0, -96.45, 20}, {"c", 35.4, -96.72, 40}};

// Radar r's ODIM volume of step k (12:00 + 5 min k) into dir/<radar>/, the storm 4 km further east each step.
std::string write_volume(const std::string& dir, const Radar& r, int k) {
    const double rx = (r.lon - kRadars[0].lon) * 91.1, ry = (r.lat - kRadars[0].lat) * 111.2;
    const Storm s{25.0 + 4 * k, 15};
    char hhmmss[8];
    std::snprintf(hhmmss, sizeof hhmmss, "12%02d%02d", 5 * k + r.seconds / 60, r.seconds % 60);
    fs::create_directories(fs::path(dir) / r.name);
    const std::string path = (fs::path(dir) / r.name / (r.name + "_" + hhmmss + ".h5")).string();
    polartest::write_scene(path, hhmmss, {0.5, 1.5, 2.5, 3.5, 5, 7, 10, 14}, 100, 1000, 30, false,
                           [&](double az, double el, double range) {
                               const double km = range / 1000, d = km * std::cos(el * M_PI / 180);
                               const double h = km * std::sin(el * M_PI / 180) + d * d / (2 * 8494.7);
                               const double x = rx + d * std::sin(az * M_PI / 180), y = ry + d * std::cos(az * M_PI / 180);
                               return std::pair{s.dbz(x, y, h), 0.0};
                           });
    polartest::H5File f(path, polartest::H5File::Existing::edit);
    f.remove("/where", "lat");
    f.remove("/where", "lon");
    f.numbers("/where", {{"lat", r.lat}, {"lon", r.lon}});
    f.remove("/what", "source");
    f.text("/what", "source", "NOD:xx" + r.name);
    return path;
}

// The watcher's options: the grid about the storm's path.
velmora::realtime::WatchOptions network_options(const std::string& in, const std::string& out) {
    auto o = vtest::watch_options(in, out);
    auto& g = o.analysis.polar.grid;
    g.origin = velmora::GeoOrigin{35.0, -97.0};
    g.xmin = 5, g.xmax = 55, g.ymin = -5, g.ymax = 35, g.zmin = 0.5, g.zmax = 10;
    o.analysis.polar.mosaic.extent_given = true;
    return o;
}

void set_mtime(const std::string& path, double seconds_ago) {
    const auto t = fs::file_time_type::clock::now() - std::chrono::milliseconds(static_cast<long>(seconds_ago * 1000));
    fs::last_write_time(path, t);
}

TEST(NetworkWatch, EachTimeStepIsOneMosaicMadeWhenEveryRadarIsInOrAtItsDeadline) {
    vtest::TempDir dir;
    const std::string in = dir.file("in");
    for (int k = 0; k < 2; ++k)
        for (const Radar& r : kRadars) write_volume(in, r, k);
    // Step 2: c's volume has not come, and a's came 61 s ago: its deadline has passed.
    const std::string a2 = write_volume(in, kRadars[0], 2), b2 = write_volume(in, kRadars[1], 2);
    set_mtime(a2, 61);
    set_mtime(b2, 50);
    dir.write("in/stray.h5", "");
    dir.write("in/c/notes.txt", "radar c: new feed from May\n");
    // A radar's file without its time: recorded failed as it comes, its step made of the others.
    fs::copy_file(a2, dir.file("in/b/b_broken.h5"));
    {
        polartest::H5File f(dir.file("in/b/b_broken.h5"), polartest::H5File::Existing::edit);
        f.remove("/what", "date");
        f.remove("/what", "time");
    }
    vtest::Capture messages;
    const auto o = network_options(in, dir.file("out"));
    std::vector<VolumeOutcome> done, failed;
    for (const auto& v : vtest::watch_once(o, messages))
        (v.state == State::Done ? done : failed).push_back(v);
    ASSERT_EQ(done.size(), 3u) << messages.text();
    ASSERT_EQ(failed.size(), 3u) << messages.text();
    EXPECT_EQ(failed[0].name, "b/b_broken.h5");
    EXPECT_EQ(failed[0].state, State::Failed);
    EXPECT_NE(messages.text().find("velmora watch: b/b_broken.h5 failed: " + dir.file("in/b/b_broken.h5") +
                                   ": missing attribute what/time\n"),
              std::string::npos)
        << messages.text();
    EXPECT_EQ(done[0].name, "a/a_120000.h5");
    EXPECT_EQ(done[0].radars, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(done[2].name, "a/a_121000.h5");
    EXPECT_EQ(done[2].missing, std::vector<std::string>{"c"});
    for (const auto& v : done) EXPECT_EQ(v.cells, 1u) << v.name;
    EXPECT_NE(messages.text().find("velmora watch: c/notes.txt failed: a network's radar folders hold polar volumes "
                                   "(ODIM, NEXRAD Level II or CF/Radial)\n"),
              std::string::npos)
        << messages.text();
    EXPECT_NE(messages.text().find("velmora watch: stray.h5 failed: a network's volumes go into one folder per radar\n"),
              std::string::npos)
        << messages.text();
    EXPECT_NE(messages.text().find("velmora watch: a/a_121000.h5: its mosaic is made without c: no volume of it came "
                                   "within 60 s\n"),
              std::string::npos)
        << messages.text();
    // One track through the three mosaics, each of the three radars but the last.
    const std::string tracks = vtest::TempDir::read(dir.file("out/tracks.csv"));
    EXPECT_EQ(std::count(tracks.begin(), tracks.end(), '\n'), 4) << tracks;
    EXPECT_NE(tracks.find("\n1,"), std::string::npos);
    const std::string latest = vtest::TempDir::read(dir.file("out/latest.json"));
    EXPECT_NE(latest.find("\"missing_radars\": [\n    \"c\"\n  ]"), std::string::npos) << latest;
    EXPECT_NE(vtest::TempDir::read(dir.file("out/volumes/a_120000/radars.json")).find("\"missing_radars\": []"),
              std::string::npos);
    // c's volume of step 2 comes now, after the mosaic: skipped, by a watcher started again too.
    write_volume(in, kRadars[2], 2);
    vtest::Capture later;
    const auto late = vtest::watch_once(o, later);
    ASSERT_EQ(late.size(), 1u) << later.text();
    EXPECT_EQ(late[0].state, State::Skipped);
    EXPECT_EQ(later.text(),
              "velmora watch: c/c_121040.h5 skipped: it came after the mosaic of its time was made without it\n");
}

// The command: the network named at the start, each mosaic's radars after its cells, the deadline as given.
TEST(NetworkWatch, TheCommandNamesTheNetworkAndEachMosaicsRadars) {
    vtest::TempDir dir;
    const std::string in = dir.file("in");
    for (const Radar& r : kRadars) write_volume(in, r, 0);
    set_mtime(write_volume(in, kRadars[0], 1), 31);
    set_mtime(write_volume(in, kRadars[1], 1), 20);
    const auto p = vtest::cli_printed({"watch", in, "--out", dir.file("out"), "--once", "--no-picture", "--settle", "0",
                                       "--deadline", "30", "--origin", "35,-97", "--extent", "5,55,-5,35"});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("\na network of 3 radars, one folder each: a b c; a time step's mosaic is made when all are "
                         "in, or 30 s after its first volume came\n"),
              std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find("a/a_120000.h5: 1 cell at 2020-01-02T12:00:00Z, forecast and verified, mosaic of a, b, c in "),
              std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find(", mosaic of a, b without c in "), std::string::npos) << p.out;
    EXPECT_EQ(p.err, "velmora watch: a/a_120500.h5: its mosaic is made without c: no volume of it came within 30 s\n");
}

// The watcher as a process of its own, killed after the given seconds (none: left to finish).
void run_child(const velmora::realtime::WatchOptions& o, double kill_after) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vtest::Capture quiet;
        try {
            (void)vtest::watch_once(o, quiet);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    if (kill_after > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kill_after));
        ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (kill_after <= 0) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST(NetworkWatch, KilledAtRandomMomentsItEndsAsARunNeverInterrupted) {
    vtest::TempDir dir;
    constexpr int kSteps = 4;
    for (int k = 0; k < kSteps; ++k)
        for (const Radar& r : kRadars) write_volume(dir.file("all"), r, k);
    const std::string in = dir.file("in");
    fs::copy(dir.file("all"), in, fs::copy_options::recursive);
    run_child(network_options(in, dir.file("out")), 0);
    const auto reference = vtest::files_under(dir.file("out"));
    ASSERT_TRUE(reference.count("volumes/a_121500/grid.nc"));
    fs::remove_all(dir.file("out"));
    fs::remove_all(in);
    // Each time step's volumes arrive radar by radar, a watcher killed at a random moment after each.
    std::mt19937 random(43);
    for (int k = 0; k < kSteps; ++k)
        for (const Radar& r : kRadars) {
            char name[32];
            std::snprintf(name, sizeof name, "%s_12%02d%02d.h5", r.name.c_str(), 5 * k, r.seconds);
            fs::create_directories(fs::path(in) / r.name);
            fs::copy_file(fs::path(dir.file("all")) / r.name / name, fs::path(in) / r.name / name);
            run_child(network_options(in, dir.file("out")), std::uniform_real_distribution<double>(0.02, 0.6)(random));
        }
    run_child(network_options(in, dir.file("out")), 0);
    const auto again = vtest::files_under(dir.file("out"));
    EXPECT_EQ(again.size(), reference.size());
    for (const auto& [name, bytes] : reference) {
        const auto a = again.find(name);
        ASSERT_NE(a, again.end()) << name;
        EXPECT_TRUE(a->second == bytes) << name;
    }
}

}  // namespace
