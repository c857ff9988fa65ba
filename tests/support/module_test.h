// The fixture of every test that runs modules: a fresh host per test, and the
// checks each run must pass (result 1, no host array left unreleased, exactly
// the expected texts through the error channel).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "fields.h"
#include "host.h"

namespace vtest {

using Messages = std::vector<std::string>;

class ModuleTest : public ::testing::Test {
protected:
    vhost::Host& host = vhost::host();

    void SetUp() override {
        host.reset();
        host.set_error_stream(nullptr);
    }
    void TearDown() override { expect_all_released(); }

    // Adds a failure naming every array the modules kept.
    void expect_all_released() const;

    // Calls the instance's entry (its update by default) and checks the
    // result, the release of every array and the reported texts.
    void run(vhost::Object& instance, const Messages& expected, std::string_view entry = {});
    // The same, returning what the module wrote to standard output.
    std::string run_stdout(vhost::Object& instance, const Messages& expected, std::string_view entry = {});

    vhost::FieldRef field(vhost::Object& o) { return vhost::FieldRef(o); }
    vhost::FieldRef field(vhost::Object& inst, std::string_view path) { return vhost::FieldRef(inst.at(path)); }
};

// "<name> : <rest>", a message in the house style.
std::string msg(const std::string& name, const std::string& rest);

}  // namespace vtest
