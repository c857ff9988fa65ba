// The update frame, exercised through small updates written here.
#include "frame.h"

#include <gtest/gtest-spi.h>

#include <stdexcept>

#include "module_test.h"

namespace {

using velmora::Active;
using velmora::Frame;
using velmora::HostArray;
using vtest::msg;

// A ThreshMin instance, with an `active` switch of its own, is the object the fake updates run on.
class FrameTest : public vtest::ModuleTest {
protected:
    vhost::Object* inst = nullptr;
    void SetUp() override {
        ModuleTest::SetUp();
        vhost::Object& g = host.add_field("grid");
        field(g).nnodes(2).floats("ze", {1.0f, 2.0f});
        inst = &host.add_instance("mod", "ThreshMin");
        host.link("mod.in", "grid");
        inst->add_int("active", 1);
    }
    template <class Body>
    int call(Active a, Body&& body) {
        OMobj_id i = host.id_of(*inst);
        return velmora::run_update(&i, a, body);
    }
};

TEST_F(FrameTest, OneReportOfTheLastMessageAndResultOne) {
    EXPECT_EQ(call(Active::No, [](Frame& f) {
        int v = 0;
        if (!f.get_int("no_such", v)) f.fail("%s : can not get no_such.\n");
        f.fail("%s : later %d.\n", 7);   // a later message replaces the earlier
    }), 1);
    ASSERT_EQ(host.reports().size(), 1u);
    EXPECT_EQ(host.reports()[0].object, "mod");
    EXPECT_EQ(host.reports()[0].severity, 32);
    EXPECT_EQ(host.reports()[0].text, msg("mod", "later 7.\n"));
}

TEST_F(FrameTest, ArraysAreReleasedOnEveryPath) {
    auto grab = [](Frame& f, HostArray<float>& a) {
        OMobj_id in = f.find("in", OM_OBJ_RW);
        int type = 0;
        FLDget_node_data(&in, 0, &type, a.out_chars(), a.size_out(), OM_GET_ARRAY_RD);
    };
    call(Active::No, [&](Frame& f) {
        HostArray<float> a;
        grab(f, a);
        EXPECT_EQ(a.size(), 2);
        EXPECT_EQ(host.outstanding_arrays(), 1);
        HostArray<float> moved = std::move(a);   // move-only: released once
        grab(f, a);                              // a moved-from guard can be refilled
    });
    expect_all_released();
    // An exception inside the body: released, reported, result still 1.
    EXPECT_EQ(call(Active::No, [&](Frame& f) {
        HostArray<float> a;
        grab(f, a);
        throw std::bad_alloc();
    }), 1);
    expect_all_released();
    EXPECT_EQ(host.messages(), (vtest::Messages{msg("mod", "can not allocate memory.\n")}));
}

TEST_F(FrameTest, AForgottenReleaseFailsTheSuite) {
    float* leaked = nullptr;
    call(Active::No, [&](Frame& f) {
        OMobj_id in = f.find("in", OM_OBJ_RW);
        int type = 0;
        std::int64_t n = 0;
        FLDget_node_data(&in, 0, &type, reinterpret_cast<char**>(&leaked), &n, OM_GET_ARRAY_RD);
        // A failure path that returns without ARRfree_f.
        f.fail("%s : can not get something.\n");
    });
    EXPECT_NONFATAL_FAILURE(expect_all_released(), "1 host array(s) left unreleased");
    ARRfree_f(leaked, __FILE__, __LINE__);
    ARRfree_f(leaked, __FILE__, __LINE__);   // a second release is caught too
    EXPECT_NONFATAL_FAILURE(expect_all_released(), "release(s) of arrays the host never handed out");
    host.reset();
}

}  // namespace
