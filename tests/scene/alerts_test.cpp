// Alerts: a rule read from its text (a property of the cells' table and a
// number, else a message), and a frame's crossings, one per track and
// property, at or above the threshold only.
#include <gtest/gtest.h>

#include "realtime/alerts.h"

namespace {

using namespace velmora;
using namespace velmora::realtime;

TEST(Alerts, RulesAreReadFromTheirTextOrRefusedWithAReason) {
    const AlertRule r = alert_rule("mesh_mm=25");
    EXPECT_EQ(r.property, "mesh_mm");
    EXPECT_DOUBLE_EQ(r.threshold, 25.0);
    EXPECT_DOUBLE_EQ(alert_rule("posh_pct=50.5").threshold, 50.5);
    try {
        alert_rule("hail=3");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("no cell property \"hail\" to alert on (") , std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("mesh_mm"), std::string::npos);
    }
    EXPECT_THROW(alert_rule("mesh_mm=lots"), std::invalid_argument);
    EXPECT_THROW(alert_rule("mesh_mm"), std::invalid_argument);
    EXPECT_THROW(alert_rule("=3"), std::invalid_argument);
    const auto d = default_alerts();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].property, "mesh_mm");
    EXPECT_DOUBLE_EQ(d[0].threshold, 25.0);
    EXPECT_EQ(d[1].property, "posh_pct");
    EXPECT_DOUBLE_EQ(d[1].threshold, 50.0);
}

TEST(Alerts, EachTrackCrossesOncePerPropertyAtOrAboveTheThreshold) {
    tracking::TrackedFrame t;
    PropertyTable p;
    p.hail = true;
    const double mesh[] = {30, 25, 24.9, 40};
    const int tracks[] = {1, 2, 3, 1};   // the fourth cell shares the first's track (a merge)
    for (int c = 0; c < 4; ++c) {
        tracking::Cell cell;
        cell.no = c + 1;
        t.frame.cells.push_back(cell);
        tracking::Row row;
        row.cell = static_cast<std::size_t>(c);
        row.track = tracks[c];
        t.rows.push_back(row);
        CellProperties q;
        q.cell = c + 1;
        q.mesh_mm = mesh[c];
        q.posh_pct = c == 2 ? 70 : 10;
        p.cells.push_back(q);
    }
    const AlertRule rules[] = {{"mesh_mm", 25}, {"posh_pct", 50}};
    const auto got = crossings(t, p, rules);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].track, 1);
    EXPECT_EQ(got[0].cell, 1);
    EXPECT_DOUBLE_EQ(got[0].value, 30);
    EXPECT_EQ(got[1].track, 2);   // exactly at the threshold
    EXPECT_EQ(got[1].property, "mesh_mm");
    EXPECT_EQ(got[2].track, 3);
    EXPECT_EQ(got[2].property, "posh_pct");
    // Without hail columns nothing crosses.
    p.hail = false;
    EXPECT_TRUE(crossings(t, p, rules).empty());
}

}  // namespace
