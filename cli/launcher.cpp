// The `velmora` command as users start it: it starts the program proper
// (libexec/velmora beside it in the build tree, ../libexec/velmora when
// installed) with glibc's malloc placing large blocks on transparent huge
// pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1).
//
// Why a separate start: an analysis fills a few hundred MB of fresh memory
// (the volume, VTK's surfaces, the modules' own buffers), and on virtual
// machines each 4 KB page fault costs microseconds: huge pages cut the
// faults by an order of magnitude and the wall time of a large analysis by
// a third. glibc reads its tunables only as a process starts, so they have
// to be in the environment before the program is loaded; an exec of this
// small launcher costs about a millisecond. A GLIBC_TUNABLES that already
// says how to use huge pages is left as the user set it.
//
// `velmora batch ...` is the Python package's (python3 -m velmora batch, on
// Dask): the launcher starts Debian's interpreter with the package beside the
// program on PYTHONPATH, build/python in the build tree,
// lib/python3.X/site-packages when installed by CMake,
// lib/python3/dist-packages when installed by the Debian package.
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string own_folder() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void add_huge_pages() {
    const char* current = std::getenv("GLIBC_TUNABLES");
    std::string tunables = current ? current : "";
    if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
    tunables += tunables.empty() ? "glibc.malloc.hugetlb=1" : ":glibc.malloc.hugetlb=1";
    ::setenv("GLIBC_TUNABLES", tunables.c_str(), 1);
}

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder that holds the package velmora beside the program, or "".
std::string package_folder(const std::string& folder) {
    std::vector<std::string> places{folder + "/python", folder + "/../lib/python3/dist-packages"};
    glob_t found{};
    if (::glob((folder + "/../lib/python3*/site-packages").c_str(), 0, nullptr, &found) == 0)
        places.insert(places.end(), found.gl_pathv, found.gl_pathv + found.gl_pathc);
    ::globfree(&found);
    for (const auto& place : places)
        if (is_file(place + "/velmora/__init__.py")) return place;
    return "";
}

int start_batch(const std::string& folder, char** argv) {
    constexpr const char* python = "/usr/bin/python3";
    const std::string package = package_folder(folder);
    if (package.empty()) {
        std::fprintf(stderr, "velmora batch: the Python package velmora is not beside this program (looked in %s/python, "
                     "%s/../lib/python3/dist-packages and %s/../lib/python3*/site-packages); it is built when "
                     "VELMORA_PYTHON is ON\n",
                     folder.c_str(), folder.c_str(), folder.c_str());
        return 127;
    }
    if (::access(python, X_OK) != 0) {
        std::fprintf(stderr, "velmora batch: needs %s (Debian package python3): %s\n", python, std::strerror(errno));
        return 127;
    }
    const char* current = std::getenv("PYTHONPATH");
    const std::string path = current && *current ? package + ":" + current : package;
    ::setenv("PYTHONPATH", path.c_str(), 1);
    std::vector<char*> args{const_cast<char*>(python), const_cast<char*>("-m"), const_cast<char*>("velmora")};
    for (char** a = argv + 1; *a; ++a) args.push_back(*a);
    args.push_back(nullptr);
    ::execv(python, args.data());
    std::fprintf(stderr, "velmora batch: can not start %s: %s\n", python, std::strerror(errno));
    return 127;
}

}  // namespace

int main(int, char** argv) {
    add_huge_pages();
    const std::string folder = own_folder();
    if (argv[0] && argv[1] && std::strcmp(argv[1], "batch") == 0) return start_batch(folder, argv);
    std::string program;
    for (const char* place : {"/libexec/velmora", "/../libexec/velmora"}) {
        program = folder + place;
        if (::access(program.c_str(), X_OK) == 0) break;
    }
    // argv[0] stays as the user typed it: usage and messages name the command.
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "velmora: can not start %s: %s\n", program.c_str(), std::strerror(errno));
    return 127;
}
