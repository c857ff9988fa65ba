// What the fuzz targets share: a scratch folder of the process, removed when
// it ends, in which inputs become files and the writer modules write.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace velmora::fuzz {

class Scratch {
public:
    Scratch() {
        // In memory where there is a tmpfs: every input is written and read
        // back as a file.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "velmora-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("velmora fuzz: cannot make a scratch folder");
            std::abort();
        }
        root_ = pattern;
        work_ = root_ / "work";
        std::filesystem::create_directories(work_);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // The folder the writers may write in, inside a folder of its own, so
    // that one step up still stays in the scratch folder.
    const std::filesystem::path& work() const { return work_; }

    // data as the file name in the work folder; its path.
    std::string write(const std::string& name, const std::uint8_t* data, std::size_t size) const {
        const std::string path = (work_ / name).string();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path;
    }

    // Empties the work folder again (the writers' files of the last input).
    void clear() const {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(work_, ec)) std::filesystem::remove_all(e.path(), ec);
    }

private:
    std::filesystem::path root_, work_;
};

// Runs in the work folder for as long as it lives (relative file names of
// the writers land there), then goes back: libFuzzer's own paths, given
// relative to where it started, stay valid.
class InWorkFolder {
public:
    explicit InWorkFolder(const std::filesystem::path& work) : back_(std::filesystem::current_path()) {
        std::filesystem::current_path(work);
    }
    ~InWorkFolder() {
        std::error_code ec;
        std::filesystem::current_path(back_, ec);
    }
    InWorkFolder(const InWorkFolder&) = delete;
    InWorkFolder& operator=(const InWorkFolder&) = delete;

private:
    std::filesystem::path back_;
};

// The scratch folder of the process, made on first use.
inline Scratch& scratch() {
    static Scratch s;
    return s;
}

// What the modules print goes nowhere: a fuzzer runs them millions of times.
inline void silence_stdout() {
    if (!std::freopen("/dev/null", "w", stdout)) std::perror("velmora fuzz: /dev/null");
}

}  // namespace velmora::fuzz
