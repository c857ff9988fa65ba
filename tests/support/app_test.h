// What the tests of the program share: the message a call throws, a network file run, the command line and what it prints.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "run/runner.h"
#include "temp_files.h"

namespace vtest {

// The message of the E that f throws; "" when it throws none.
template <class E = std::exception, class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// Runs a network file as `velmora run` does (dumped when dump is given); its exit status. The modules' standard
// output is dropped.
inline int run_file(const std::string& network, Capture& err, const std::string& dump = {}, bool writes_anywhere = false,
                    std::int64_t dump_limit = velmora::kDefaultDumpLimit) {
    velmora::RunOptions o;
    o.network = network;
    o.dump = dump;
    o.dump_limit = dump_limit;
    o.writes_anywhere = writes_anywhere;
    ::testing::internal::CaptureStdout();
    const int status = velmora::run_network(o, err.stream());
    ::testing::internal::GetCapturedStdout();
    return status;
}

// The program's exit status for a command line (command_line.cpp: the one test
// file that compiles the command line's parser).
int cli(const std::vector<std::string>& args);

// The exit status of a command line and what it printed to standard output
// and to standard error.
struct Printed {
    int status = 0;
    std::string out, err;
};
inline Printed cli_printed(const std::vector<std::string>& args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Printed p;
    p.status = cli(args);
    p.err = ::testing::internal::GetCapturedStderr();
    p.out = ::testing::internal::GetCapturedStdout();
    return p;
}

}  // namespace vtest
