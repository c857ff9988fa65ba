#include "module_test.h"

#include <cstring>

namespace vtest {

void set_params(vhost::Object& o, std::initializer_list<Param> params) {
    for (const auto& p : params) {
        vhost::Object& v = o.at(p.path);
        if (const auto* i = std::get_if<std::int64_t>(&p.value))
            v.set_int(*i);
        else if (const auto* r = std::get_if<double>(&p.value))
            v.set_real(*r);
        else
            v.set_str(std::get<std::string>(p.value));
    }
}

void ModuleTest::expect_all_released() const {
    if (host.outstanding_arrays() != 0)
        ADD_FAILURE() << host.outstanding_arrays() << " host array(s) left unreleased";
    if (host.bad_releases() != 0) ADD_FAILURE() << host.bad_releases() << " release(s) of arrays the host never handed out";
}

void ModuleTest::call(vhost::Object& instance, const Messages& expected, std::string_view entry, std::string* console) {
    std::size_t before = host.reports().size();
    if (console) ::testing::internal::CaptureStdout();
    const int result = host.call(instance, entry);
    if (console) {
        std::fflush(stdout);
        *console = ::testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(result, 1);
    expect_all_released();
    Messages got;
    for (std::size_t i = before; i < host.reports().size(); ++i) {
        got.push_back(host.reports()[i].text);
        EXPECT_EQ(host.reports()[i].severity, 32);
    }
    EXPECT_EQ(got, expected);
}

vhost::Object& ModuleTest::instance(const std::string& name, std::string_view module,
                                    std::initializer_list<std::pair<const char*, const char*>> links,
                                    std::initializer_list<Param> params) {
    vhost::Object& o = host.add_instance(name, module);
    for (const auto& [input, target] : links) host.link(name + "." + input, target);
    set_params(o, params);
    return o;
}

vhost::Object& ModuleTest::relink(vhost::Object& holder, const std::string& name, int type, std::int64_t n) {
    vhost::Object& a = host.root().add_free_array("free" + std::to_string(host.root().children().size()), type);
    a.resize(n);
    holder.make_link(name, a.path());
    return a;
}

void InstanceTest::expect_failures(const std::vector<Failure>& cases, const std::function<void()>& check,
                                   const std::string& console) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build();
        c.spoil();
        EXPECT_EQ(run_stdout(*inst, {msg(inst->name(), c.message)}), console);
        EXPECT_EQ(done(), 0);
        if (check) check();
    }
}

void InstanceTest::expect_idle(const std::vector<std::function<void()>>& cases, const std::function<void()>& check) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("idle case " + std::to_string(i));
        build();
        cases[i]();
        EXPECT_EQ(run_stdout(*inst, {}), "");
        EXPECT_EQ(done(), 0);
        if (check) check();
    }
}

void expect_points(const vhost::FieldRef& f, const std::vector<float>& xyz) {
    const auto n = static_cast<std::int64_t>(xyz.size() / 3);
    EXPECT_EQ(f.nnodes(), n);
    EXPECT_EQ(f.nspace(), 3);
    EXPECT_EQ(f.coord(), xyz);
    ASSERT_EQ(f.ncell_sets(), 1);
    EXPECT_EQ(f.cell_type(0), "Point");
    EXPECT_EQ(f.cell_set(0).at("ncells").int_value(), n);
    std::vector<std::int64_t> connect(static_cast<std::size_t>(n));
    for (std::int64_t m = 0; m < n; ++m) connect[static_cast<std::size_t>(m)] = m;
    EXPECT_EQ(f.connect(0), connect);
}

void expect_component(const vhost::FieldRef& f, int c, int type, int veclen, const std::string& label,
                      const std::string& units, std::optional<double> null) {
    SCOPED_TRACE("component " + std::to_string(c));
    ASSERT_LT(c, f.ncomp());
    EXPECT_EQ(f.type(c), type);
    EXPECT_EQ(f.veclen(c), veclen);
    EXPECT_EQ(f.label(c), label);
    EXPECT_EQ(f.units(c), units);
    EXPECT_EQ(f.null_flag(c), null.has_value());
    EXPECT_EQ(f.null_value(c), null.value_or(f.null_value(c)));
}

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
    std::vector<std::uint32_t> b(v.size());
    if (!v.empty()) std::memcpy(b.data(), v.data(), v.size() * sizeof(float));
    return b;
}

}  // namespace vtest
