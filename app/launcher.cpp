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
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace

int main(int, char** argv) {
    add_huge_pages();
    const std::string folder = own_folder();
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
