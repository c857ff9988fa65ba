#include "module_test.h"

namespace vtest {

void ModuleTest::expect_all_released() const {
    if (host.outstanding_arrays() != 0)
        ADD_FAILURE() << host.outstanding_arrays() << " host array(s) left unreleased";
    if (host.bad_releases() != 0) ADD_FAILURE() << host.bad_releases() << " release(s) of arrays the host never handed out";
}

void ModuleTest::run(vhost::Object& instance, const Messages& expected, std::string_view entry) {
    std::size_t before = host.reports().size();
    EXPECT_EQ(host.call(instance, entry), 1);
    expect_all_released();
    Messages got;
    for (std::size_t i = before; i < host.reports().size(); ++i) {
        got.push_back(host.reports()[i].text);
        EXPECT_EQ(host.reports()[i].severity, 32);
    }
    EXPECT_EQ(got, expected);
}

std::string ModuleTest::run_stdout(vhost::Object& instance, const Messages& expected, std::string_view entry) {
    ::testing::internal::CaptureStdout();
    run(instance, expected, entry);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string msg(const std::string& name, const std::string& rest) { return name + " : " + rest; }

}  // namespace vtest
