// The fixture of every test that runs modules: a fresh host per test; every run returns 1, releases every array
// and reports exactly the expected texts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "field_ref.h"
#include "host.h"

namespace vtest {

using Messages = std::vector<std::string>;

// A parameter value as a network gives it: whole number, real or text.
struct Param {
    std::string path;
    std::variant<std::int64_t, double, std::string> value;
    Param(std::string p, int v) : path(std::move(p)), value(std::int64_t{v}) {}
    Param(std::string p, double v) : path(std::move(p)), value(v) {}
    Param(std::string p, std::string v) : path(std::move(p)), value(std::move(v)) {}
};
void set_params(vhost::Object& o, std::initializer_list<Param> params);

// One way to break an update and the exact text it reports (after "<name> : ").
struct Failure {
    std::string what;
    std::function<void()> spoil;
    std::string message;
};

class ModuleTest : public ::testing::Test {
protected:
    vhost::Host& host = vhost::host();

    void SetUp() override {
        host.reset();
        host.set_error_stream(nullptr);
    }
    void TearDown() override { expect_all_released(); }

    void expect_all_released() const;
    // Calls the instance's entry (its update by default) and checks it as above.
    void run(vhost::Object& instance, const Messages& expected, std::string_view entry = {}) {
        call(instance, expected, entry, nullptr);
    }
    // The same, returning what the module wrote to standard output.
    std::string run_stdout(vhost::Object& instance, const Messages& expected, std::string_view entry = {}) {
        std::string console;
        call(instance, expected, entry, &console);
        return console;
    }
    // Links holder's array `name` to a free array of n values of `type` (empty, or of the wrong length).
    vhost::Object& relink(vhost::Object& holder, const std::string& name, int type, std::int64_t n = 0);

    vhost::Object* grid = nullptr;
    // A fresh host holding an empty field "grid".
    vhost::FieldRef new_grid() {
        host.reset();
        grid = &host.add_field("grid");
        return field(*grid);
    }
    vhost::FieldRef field(vhost::Object& o) { return vhost::FieldRef(o); }
    vhost::FieldRef field(vhost::Object& inst, std::string_view path) { return vhost::FieldRef(inst.at(path)); }
    // An instance of a module with its field inputs linked (input -> target).
    vhost::Object& instance(const std::string& name, std::string_view module,
                            std::initializer_list<std::pair<const char*, const char*>> links = {},
                            std::initializer_list<Param> params = {});

private:
    void call(vhost::Object& instance, const Messages& expected, std::string_view entry, std::string* console);
};

// A test of one module instance `inst`, which build() makes afresh before each test and each case of a table.
class InstanceTest : public ModuleTest {
protected:
    vhost::Object* inst = nullptr;

    void SetUp() override {
        ModuleTest::SetUp();
        build();
    }
    virtual void build() = 0;

    std::int64_t done() { return inst->at("done").int_value(); }
    void unset(const std::string& path) { inst->at(path).clear_value(); }

    using Failure = vtest::Failure;
    // For each case: build(), spoil, update; the one message, `console` on standard output, done 0, then `check`.
    void expect_failures(const std::vector<Failure>& cases, const std::function<void()>& check = {},
                         const std::string& console = "");
    // For each way of leaving the update nothing to do: no message, nothing on standard output, done 0, `check`.
    void expect_idle(const std::vector<std::function<void()>>& cases, const std::function<void()>& check = {});
    // A case that clears parameter `path`: "can not get <path>.".
    Failure unset_case(const std::string& path) {
        return {"no " + path, [this, path] { unset(path); }, "can not get " + path + ".\n"};
    }
};

// Points as the display modules write them: nspace 3, the coordinates xyz, one Point cell set naming each node.
void expect_points(const vhost::FieldRef& f, const std::vector<float>& xyz);

// Component c of f: its type, veclen, label and units, and its null value if flagged (no value: no flag).
void expect_component(const vhost::FieldRef& f, int c, int type, int veclen, const std::string& label,
                      const std::string& units = "", std::optional<double> null = std::nullopt);

// "<name> : <rest>", a message in the house style.
inline std::string msg(const std::string& name, const std::string& rest) { return name + " : " + rest; }

// Bit for bit: NaN equals NaN of the same bits, 0 and -0 differ.
std::vector<std::uint32_t> bits(const std::vector<float>& v);

}  // namespace vtest
