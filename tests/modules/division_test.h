// The division modules' fixture: an empty field of `nnodes` nodes linked to the instance, and the reference check.
#pragma once

#include <cstdio>

#include "labeling_reference.h"
#include "module_test.h"

namespace vtest {

// The range lines the division modules print before their table.
inline std::string ranges(int end_no) {
    char text[64];
    std::snprintf(text, sizeof text, "end_no   = %d.\nstart_no = 0.\n", end_no);
    return text;
}

class DivisionTest : public InstanceTest {
protected:
    DivisionTest(std::string name, std::string module, std::int64_t nnodes)
        : name_(std::move(name)), module_(std::move(module)), nnodes_(nnodes) {}

    vhost::Object* in = nullptr;

    void build() override { build(nnodes_); }
    void build(std::int64_t nnodes) {
        host.reset();
        in = &host.add_field("cells");
        field(*in).nnodes(nnodes).nspace(3);
        inst = &instance(name_, module_, {{"in", "cells"}});
    }
    vhost::FieldRef out() { return field(*inst, "out_nd"); }
    int param(const char* name) { return static_cast<int>(inst->at(name).int_value()); }
    // no_min, no_max and done, as the update left them.
    std::vector<int> range() { return {param("no_min"), param("no_max"), param("done")}; }
    // Runs on the field's cells read as `expanded` (`per` nodes each); `before`: printed ahead of the labelling.
    void expect_reference(const std::vector<std::int64_t>& expanded, int per, int min_cells,
                          const std::string& before = "") {
        inst->at("min_cells").set_int(min_cells);
        std::vector<int> labels;
        vref::Labelling l = vref::label(expanded, per, field(*in).nnodes(), labels, 0);
        vref::Filtered flt = vref::filter(expanded, per, labels, min_cells, l.result);
        EXPECT_EQ(run_stdout(*inst, {}), before + l.console + ranges(l.result) + flt.console);
        EXPECT_EQ(out().int_values(0), labels);
        EXPECT_EQ(range(), (std::vector<int>{flt.no_min, flt.no_max, 1}));
    }

private:
    std::string name_, module_;
    std::int64_t nnodes_;
};

}  // namespace vtest
