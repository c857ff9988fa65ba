// A temporary directory per test, and what a run writes to a stream.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vtest {

// A directory of its own for each test, removed at the end.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("velmora-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
private:
    std::filesystem::path path_;
};

// A stream whose text is collected in memory.
class Capture {
public:
    Capture() { f_ = ::open_memstream(&buf_, &len_); }
    ~Capture() {
        if (f_) std::fclose(f_);
        std::free(buf_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::FILE* stream() { return f_; }
    std::string text() {
        std::fflush(f_);
        return std::string(buf_, len_);
    }
private:
    char* buf_ = nullptr;
    std::size_t len_ = 0;
    std::FILE* f_ = nullptr;
};

// Runs in a directory of its own, so that a writer module's file lands there.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir); }
    ~InDirectory() { std::filesystem::current_path(old_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;
private:
    std::filesystem::path old_;
};

}  // namespace vtest
