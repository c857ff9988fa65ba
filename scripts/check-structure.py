#!/usr/bin/python3
"""Checks which parts of the tree may include which, and prints every breach:

- lib/ includes, with quotes, only its own headers and those of host/ and
  host/include/ (never a front end's: cli/, python/, fuzz/, viewer/), and
  no Python headers;
- modules/ includes only its own files, host/include/ and the standard
  library;
- host/ includes only its own files, the standard library and the system's
  (POSIX) headers: nothing of lib/, the front ends or any file format.

Every #include line counts, in any branch of a conditional. The length of
functions and circles of includes are clang-tidy's checks
(readability-function-size, misc-header-include-cycle; .clang-tidy).

/usr/bin/python3 scripts/check-structure.py [--root DIR] [--self-test]

Exit status 0 when the tree keeps every rule, 1 with the list of breaches.
"""
import argparse
import os
import re
import sys
import tempfile

AREAS = ("modules", "host", "lib")
FRONT_ENDS = ("cli", "python", "fuzz", "viewer")
SOURCE_SUFFIXES = (".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inl", ".ipp", ".tpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]*)[>"]')

# --------------------------------------------------------------------------
# Headers a part may name in angle brackets.

CXX_HEADERS = set("""
algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
condition_variable coroutine deque exception execution expected filesystem format forward_list fstream
functional future initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale
map memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex
scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept stop_token
streambuf string string_view strstream syncstream system_error thread tuple type_traits typeindex typeinfo
unordered_map unordered_set utility valarray variant vector version
""".split())
C_HEADERS = set("""
assert complex ctype errno fenv float inttypes iso646 limits locale math setjmp signal stdalign stdarg
stdbool stddef stdint stdio stdlib string tgmath time uchar wchar wctype
""".split())
STANDARD_HEADERS = (CXX_HEADERS | {"c" + h for h in C_HEADERS} | {h + ".h" for h in C_HEADERS}
                    # the compiler's own: vector instructions, the processor's features
                    | {"immintrin.h", "x86intrin.h", "emmintrin.h", "smmintrin.h", "nmmintrin.h",
                       "xmmintrin.h", "pmmintrin.h", "tmmintrin.h", "cpuid.h"})
POSIX_HEADERS = set("""
aio.h arpa/inet.h dirent.h dlfcn.h fcntl.h fnmatch.h glob.h grp.h langinfo.h libgen.h link.h
netdb.h net/if.h netinet/in.h netinet/tcp.h poll.h pthread.h pwd.h regex.h sched.h semaphore.h spawn.h
strings.h syslog.h termios.h unistd.h utime.h wordexp.h malloc.h execinfo.h features.h endian.h
""".split())
POSIX_PREFIXES = ("sys/", "linux/", "bits/", "asm/")


def standard_header(name):
    return name in STANDARD_HEADERS


def system_header(name):
    return standard_header(name) or name in POSIX_HEADERS or name.startswith(POSIX_PREFIXES)


# --------------------------------------------------------------------------
# The tree's rules.

def includes_of(text):
    """(line, quoted, name) of every #include line."""
    out = []
    for n, line in enumerate(text.splitlines(), 1):
        m = INCLUDE.match(line)
        if m:
            out.append((n, m.group(1) == '"', m.group(2)))
    return out


def source_files(root, area):
    out = []
    for d, dirs, files in os.walk(os.path.join(root, area)):
        dirs.sort()
        for f in sorted(files):
            if f.endswith(SOURCE_SUFFIXES):
                out.append(os.path.relpath(os.path.join(d, f), root))
    return out


def resolve(root, path, name, search):
    """The file (relative to root) a quoted include of name in path names: the
    including file's folder first, then the folders of search; None when
    none holds it."""
    for d in [os.path.dirname(path)] + list(search):
        candidate = os.path.normpath(os.path.join(d, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def area_of(path):
    parts = path.split(os.sep)
    if parts[0] == "host" and len(parts) > 1 and parts[1] == "include":
        return "host/include"
    return parts[0]


# Where a quoted include of each part is looked for (its build's include
# folders), and which parts it may land in.
SEARCH = {"lib": ["lib", "host", "host/include"],
          "modules": ["modules", "host/include"],
          "host": ["host", "host/include"]}
# Where else a quoted include is looked for, to name the part it belongs to.
WHEREVER = ["lib", "host", "host/include", "modules"] + list(FRONT_ENDS)
ALLOWED = {"lib": {"lib", "host", "host/include"},
           "modules": {"modules", "host/include"},
           "host": {"host", "host/include"}}


def check_includes(root, path, includes, breaches):
    part = path.split(os.sep)[0]
    for line, quoted, name in includes:
        where = f"{path}:{line}"
        if not quoted:
            first = name.split("/")[0]
            if first in FRONT_ENDS:
                breaches.append(f"{where} includes <{name}>, a front end's header")
            elif part == "lib" and (name == "Python.h" or first == "pybind11"):
                breaches.append(f"{where} includes <{name}>: lib/ knows no Python")
            elif part == "modules" and not standard_header(name):
                breaches.append(f"{where} includes <{name}>: modules/ sees only host/include/ and the standard library")
            elif part == "host" and not system_header(name):
                breaches.append(f"{where} includes <{name}>: host/ knows no library beyond the standard and the system's")
            continue
        target = resolve(root, path, name, SEARCH[part])
        if target is None:
            # Name the part it would come from, if any holds it.
            target = resolve(root, path, name, WHEREVER)
            if target is None:
                allowed = ", ".join(d + "/" for d in SEARCH[part])
                breaches.append(f'{where} includes "{name}", which is in none of {allowed}')
                continue
        if area_of(target) not in ALLOWED[part]:
            breaches.append(f'{where} includes "{name}" = {target}: {part}/ may include only '
                            + ", ".join(sorted(d + "/" for d in ALLOWED[part])))
            continue


def check_tree(root):
    breaches, nfiles = [], 0
    for area in AREAS:
        for path in source_files(root, area):
            nfiles += 1
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                check_includes(root, path, includes_of(f.read()), breaches)
    if breaches:
        print(f"{len(breaches)} includes across the parts' borders:")
        for b in breaches:
            print(f"  {b}")
        return False
    print(f"structure: the includes of {nfiles} files of {', '.join(a + '/' for a in AREAS)} keep the parts apart")
    return True


def self_test():
    failures = []
    got = includes_of('#include "a.h"\n# include <vector>\n#if 0\n  #include "b.h"\n#endif\n// #include "c.h"\n')
    if got != [(1, True, "a.h"), (2, False, "vector"), (4, True, "b.h")]:
        failures.append(f"includes: got {got}")
    with tempfile.TemporaryDirectory() as root:
        files = {"lib/p/a.cpp": '#include "p/a.h"\n#include "commands.h"\n#include "host.h"\n#include <pybind11/pybind11.h>\n',
                 "lib/p/a.h": '#include "../../cli/commands.h"\n',
                 "cli/commands.h": "",
                 "host/host.h": '#include "p/a.h"\n#include <netcdf.h>\n#include "nowhere.h"\n#include <sys/mman.h>\n',
                 "modules/M.cpp": '#include "frame.h"\n#include "om.h"\n#include "host.h"\n#include <vtkNew.h>\n',
                 "modules/frame.h": "", "host/include/om.h": ""}
        for name, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        breaches = []
        for path in ("lib/p/a.cpp", "lib/p/a.h", "host/host.h", "modules/M.cpp"):
            with open(os.path.join(root, path)) as f:
                check_includes(root, path, includes_of(f.read()), breaches)
        want = [
            'lib/p/a.cpp:2 includes "commands.h" = cli/commands.h: lib/ may include only host/, host/include/, lib/',
            "lib/p/a.cpp:4 includes <pybind11/pybind11.h>: lib/ knows no Python",
            'lib/p/a.h:1 includes "../../cli/commands.h" = cli/commands.h: lib/ may include only host/, host/include/, lib/',
            'host/host.h:1 includes "p/a.h" = lib/p/a.h: host/ may include only host/, host/include/',
            "host/host.h:2 includes <netcdf.h>: host/ knows no library beyond the standard and the system's",
            'host/host.h:3 includes "nowhere.h", which is in none of host/, host/include/',
            'modules/M.cpp:3 includes "host.h" = host/host.h: modules/ may include only host/include/, modules/',
            "modules/M.cpp:4 includes <vtkNew.h>: modules/ sees only host/include/ and the standard library"]
        if breaches != want:
            failures.append("include rules:\n    expected " + "\n             ".join(want)
                            + "\n    got      " + "\n             ".join(breaches))
    for f in failures:
        print(f"check-structure's own check failed: {f}")
    if not failures:
        print("check-structure: its include rules pass their 2 checks")
    return not failures


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                   help="the source tree (default: the one this script is in)")
    p.add_argument("--self-test", action="store_true", help="check the include rules on made-up cases")
    a = p.parse_args()
    if a.self_test:
        return 0 if self_test() else 1
    return 0 if check_tree(a.root) else 1


if __name__ == "__main__":
    sys.exit(main())
