// What modules rely on from the substitute host beyond what every module test exercises.
#include <cstdlib>

#include "module_test.h"

namespace {

using vhost::Object;
using vhost::term;

class HostTest : public vtest::ModuleTest {
protected:
    OMobj_id id(Object& o) { return host.id_of(o); }
    OMobj_name n(const char* s) { return OMstr_to_name(s); }
};

TEST_F(HostTest, ValuesAreResolvedByNameAndTyped) {
    Object& g = host.root().add_group("g");
    g.add_int("i", 7);
    g.add_long("l", 1LL << 40);
    g.add_real("r", 2.5);
    g.add_string("s", "text");
    g.add_int("unset");
    OMobj_id gid = id(g);
    int i = 42;
    std::int64_t l = 0;
    double r = 0;
    EXPECT_EQ(OMget_name_long_val(&gid, n("l"), &l), 1);
    EXPECT_EQ(l, 1LL << 40);
    EXPECT_EQ(OMget_name_real_val(&gid, n("i"), &r), 1);   // integers read as reals
    EXPECT_EQ(r, 7.0);
    // Failures leave the local as it was.
    for (const char* bad : {"unset", "missing", "r", "s"}) EXPECT_NE(OMget_name_int_val(&gid, n(bad), &i), 1) << bad;
    EXPECT_EQ(i, 42);
    // Strings: size 0 gives a copy released with free; otherwise a bounded copy.
    char* copy = nullptr;
    ASSERT_EQ(OMget_name_str_val(&gid, n("s"), &copy, 0), 1);
    EXPECT_STREQ(copy, "text");
    std::free(copy);
    char buf[3];
    char* p = buf;
    ASSERT_EQ(OMget_name_str_val(&gid, n("s"), &p, 3), 1);
    EXPECT_STREQ(buf, "te");
    EXPECT_EQ(OMset_name_int_val(&gid, n("unset"), 3), 1);
    EXPECT_EQ(g.at("unset").int_value(), 3);
    EXPECT_NE(OMset_name_int_val(&gid, n("nothing"), 3), 1);   // undeclared names are not created
}

TEST_F(HostTest, ArraysFollowTheValuesThatSizeThemAndKeepTheirPrefix) {
    Object& e = host.root().add_group("entry");
    e.add_int("ncomp", 2);
    e.add_array("data_min", DTYPE_FLOAT, vhost::shape({term("ncomp")}));
    OMobj_id eid = id(e);
    std::int64_t size = 0;
    auto* a = static_cast<float*>(OMret_name_array_ptr(&eid, n("data_min"), 2, &size, nullptr));
    ASSERT_EQ(size, 2);
    a[0] = 1.5f;
    a[1] = 2.5f;
    // Raising the count while the array is out keeps the old pointer valid.
    e.at("ncomp").set_int(3);
    auto* b = static_cast<float*>(OMret_name_array_ptr(&eid, n("data_min"), 0, &size, nullptr));
    EXPECT_EQ(std::vector<float>(b, b + size), (std::vector<float>{1.5f, 2.5f, 0}));
    EXPECT_EQ(a[1], 2.5f);
    EXPECT_EQ(host.outstanding_arrays(), 2);
    ARRfree_f(a, __FILE__, __LINE__);
    ARRfree_f(b, __FILE__, __LINE__);
    e.at("ncomp").set_int(0);   // zero elements: no array
    EXPECT_EQ(OMret_name_array_ptr(&eid, n("data_min"), 0, &size, nullptr), nullptr);
}

TEST_F(HostTest, GroupArraysPathsAndLinks) {
    Object& m = host.root().add_group("stat");
    m.add_int("nsurf", 0);
    Object& t = m.add_group_array("sparam", vhost::shape({term("nsurf")}));
    t.add_int("ncomp", 0);
    t.add_group_array("wav", vhost::shape({term("ncomp")})).add_real("x", 0.0);
    OMobj_id mid = id(m);
    EXPECT_EQ(host.by_id(&(const OMobj_id&)OMfind_str_subobj(&mid, "sparam[0]", 0)), nullptr);
    OMset_name_int_val(&mid, n("nsurf"), 3);
    OMobj_id e2 = OMfind_str_subobj(&mid, "sparam[2]", 0);
    EXPECT_EQ(std::string(OMret_obj_name(&e2)), "sparam[2]");
    OMset_name_int_val(&e2, n("ncomp"), 2);
    OMobj_id w1 = OMfind_str_subobj(&e2, "wav[1]", 0);
    EXPECT_EQ(OMset_name_real_val(&w1, n("x"), 4.0), 1);
    EXPECT_EQ(m.at("sparam[2].wav[1].x").real_value(), 4.0);
    EXPECT_EQ(m.at("sparam[2].wav[1]").path(), "stat.sparam[2].wav[1]");
    for (const char* bad : {"sparam[3]", "sparam[", "sparam[]", "sparam[x]", "sparam.", "", ".a"})
        EXPECT_EQ(host.by_id(&(const OMobj_id&)OMfind_str_subobj(&mid, bad, 0)), nullptr) << bad;
    // A linked value reads what its target holds now; a cycle of links resolves to nothing.
    host.root().add_group("b").add_int("nsurf");
    host.link("b.nsurf", "stat.nsurf");
    OMobj_id bid = id(host.root().at("b"));
    int v = 0;
    ASSERT_EQ(OMget_name_int_val(&bid, n("nsurf"), &v), 1);
    EXPECT_EQ(v, 3);
    host.root().add_link("p", "q");
    host.root().add_link("q", "p");
    EXPECT_EQ(host.root().find("p"), nullptr);
    EXPECT_THROW(host.link("b.x.y", "stat"), std::out_of_range);
}

TEST_F(HostTest, FieldsDeriveCoordinatesAndLeaveNullsOutOfTheRange) {
    Object& f = host.add_field("f");
    vhost::FieldRef(f).uniform({3, 2}, {0.0f, 10.0f, 2.0f, 11.0f});
    OMobj_id fid = id(f);
    float* c = nullptr;
    std::int64_t size = 0;
    ASSERT_EQ(FLDget_coord(&fid, &c, &size, 0), 1);   // derived from the corners
    EXPECT_EQ(std::vector<float>(c, c + size), (std::vector<float>{0, 10, 1, 10, 2, 10, 0, 11, 1, 11, 2, 11}));
    ARRfree_f(c, __FILE__, __LINE__);
    // Node data sized by nnodes x veclen, untyped until set.
    FLDset_node_data_ncomp(&fid, 1);
    FLDset_node_data_comp(&fid, 0, 2, "wind", "m/s");
    int type = 0;
    EXPECT_NE(FLDget_node_data_type(&fid, 0, &type), 1);
    FLDset_node_data_type(&fid, 0, DTYPE_INT);
    char* data = nullptr;
    ASSERT_EQ(FLDget_node_data(&fid, 0, &type, &data, &size, 2), 1);
    EXPECT_EQ(size, 12);
    reinterpret_cast<int*>(data)[3] = -4;
    reinterpret_cast<int*>(data)[5] = 9;
    ARRfree_f(data, __FILE__, __LINE__);
    int nv = -4, flag = 0, got = 0, lo = 0, hi = 0;
    FLDset_node_null_data(&fid, 0, reinterpret_cast<char*>(&nv), DTYPE_INT);
    FLDset_node_null_flag(&fid, 0, 1);
    FLDget_node_null_data(&fid, 0, &flag, reinterpret_cast<char*>(&got));
    EXPECT_EQ(std::pair(flag, got), std::pair(1, -4));
    FLDget_node_data_minmax(&fid, 0, reinterpret_cast<char*>(&lo), reinterpret_cast<char*>(&hi));
    EXPECT_EQ(std::pair(lo, hi), std::pair(0, 9));   // the null -4 is left out
    // The transform sub-object starts as the identity.
    EXPECT_EQ(vhost::FieldRef(f).xform("mat")[10], 1.0f);
    EXPECT_EQ(vhost::FieldRef(f).xform("xlate"), (std::vector<float>{0, 0, 0}));
}

// Every module's own test builds its instances; here what is not declared.
TEST_F(HostTest, UnknownModulesAndEntriesAreRefused) {
    EXPECT_THROW(host.add_instance("x", "NoSuchModule"), std::invalid_argument);
    EXPECT_THROW(host.call(host.add_instance("t", "ThreshMin"), "Other"), std::runtime_error);
}

}  // namespace
