"""The Python package velmora, built with CMake.

The .py files come from python/velmora; the compiled part (the extension
velmora._core and the libraries it loads: libvelmora.so, libvelmora_host.so,
libvelmora_pictures.so) is built by CMake and installed into the package
folder by the install component `wheel`, with the run path $ORIGIN.

A configured release build is reused, so that a pip install after `make`
only links what changed: the folder VELMORA_BUILD_DIR names, or build/ in
this tree. Without one, a build of its own is configured under setuptools'
build_temp. CMAKE_BUILD_PARALLEL_LEVEL sets the jobs of a build.
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist

ROOT = Path(__file__).resolve().parent
# What the package needs built: the extension (and with it libvelmora.so and
# libvelmora_host.so) and the drawing library opened beside the host library.
TARGETS = ["velmora_python", "velmora_pictures"]
RELEASE_TYPES = {"Release", "RelWithDebInfo", "MinSizeRel"}


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(velmora\s+VERSION\s+([0-9.]+)", text)[1]


def interpreter():
    """The interpreter the extension is for: the one a venv was made from."""
    return os.path.realpath(getattr(sys, "_base_executable", None) or sys.executable)


def cmake_cache(folder):
    entries = {}
    for line in (folder / "CMakeCache.txt").read_text().splitlines():
        m = re.match(r"([A-Za-z_][^:=]*):[A-Z_]+=(.*)", line)
        if m:
            entries[m[1]] = m[2]
    return entries


def unusable(folder, own_tree):
    """Why the configured build in `folder` can not give this interpreter's
    package, or "". own_tree: the build must be of this source tree."""
    cache = cmake_cache(folder)
    home = cache.get("CMAKE_HOME_DIRECTORY", "")
    if own_tree and os.path.realpath(home) != str(ROOT):
        return f"it builds {home}, not {ROOT}"
    if cache.get("CMAKE_BUILD_TYPE") not in RELEASE_TYPES:
        return f"its build type is {cache.get('CMAKE_BUILD_TYPE') or 'none'}, not a release"
    for option, wanted in (("VELMORA_PYTHON", True), ("VELMORA_SANITIZE", False), ("VELMORA_FUZZ", False)):
        value = cache.get(option, "OFF")
        if (value.upper() in ("1", "ON", "YES", "TRUE", "Y")) != wanted:
            return f"{option} is {value}"
    built_for = cache.get("Python_EXECUTABLE", "/usr/bin/python3")
    if os.path.realpath(built_for) != interpreter():
        return f"it is for {built_for}, not {interpreter()}"
    return ""


def reusable_build():
    """The configured release build to reuse, or None."""
    named = os.environ.get("VELMORA_BUILD_DIR")
    if named:
        folder = Path(named).resolve()
        if not (folder / "CMakeCache.txt").is_file():
            sys.exit(f"velmora: VELMORA_BUILD_DIR={named} is not a configured CMake build (no CMakeCache.txt)")
        why = unusable(folder, own_tree=False)
        if why:
            sys.exit(f"velmora: can not build the package in VELMORA_BUILD_DIR={named}: {why}")
        return folder
    folder = ROOT / "build"
    if (folder / "CMakeCache.txt").is_file():
        why = unusable(folder, own_tree=True)
        if not why:
            return folder
        print(f"velmora: not reusing {folder}: {why}", file=sys.stderr)
    return None


def run(*command):
    print("velmora:", " ".join(str(c) for c in command), file=sys.stderr, flush=True)
    subprocess.run([str(c) for c in command], check=True)


class CMakeBuild(build_ext):
    """Builds the compiled part with CMake and installs it into the package
    folder under build_lib."""

    def run(self):
        if self.inplace:
            sys.exit("velmora: no editable install; PYTHONPATH=build/python uses the build tree as it is")
        folder = reusable_build() or self.configure_own()
        jobs = [] if os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") else ["--parallel", str(os.cpu_count() or 1)]
        run("cmake", "--build", folder, "--target", *TARGETS, *jobs)
        package = Path(self.build_lib).resolve()
        run("cmake", "--install", folder, "--component", "wheel", "--prefix", package, "--strip")
        core = package / "velmora" / ("_core" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not core.is_file():
            sys.exit(f"velmora: the build in {folder} made no {core.name} (is it for another Python?)")

    def configure_own(self):
        folder = Path(self.build_temp).resolve() / "cmake"
        if not (folder / "CMakeCache.txt").is_file():
            options = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVELMORA_BENCH=OFF", f"-DPython_EXECUTABLE={interpreter()}"]
            if shutil.which("ccache"):
                options += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
            run("cmake", "-S", ROOT, "-B", folder, *options)
        return folder

    def get_outputs(self):
        package = Path(self.build_lib) / "velmora"
        return [str(p) for p in sorted(package.glob("*.so"))]


class FreshPackage(build_py):
    """Starts the package folder under build_lib afresh: setuptools keeps
    what an earlier build put there, and a module removed since would
    still go into the wheel."""

    def run(self):
        shutil.rmtree(Path(self.build_lib) / "velmora", ignore_errors=True)
        super().run()


class SourceDist(sdist):
    """The sdist carries the whole tree CMake builds from (every file git
    tracks but for hidden folders and files), not only the Python files."""

    def make_distribution(self):
        if (ROOT / ".git").exists():
            tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True, text=True)
            self.filelist.extend(f for f in tracked.stdout.splitlines() if not f.startswith("."))
            self.filelist.sort()
            self.filelist.remove_duplicates()
        super().make_distribution()


# setuptools' own build folders go inside build/setuptools, apart from the
# CMake build in build/ (whose lib/ would otherwise take build/lib).
WORK = "build/setuptools"
os.makedirs(ROOT / WORK, exist_ok=True)

setup(
    version=project_version(),
    packages=["velmora"],
    package_dir={"velmora": "python/velmora"},
    ext_modules=[Extension("velmora._core", sources=[])],
    cmdclass={"build_py": FreshPackage, "build_ext": CMakeBuild, "sdist": SourceDist},
    options={"build": {"build_base": WORK}, "egg_info": {"egg_base": WORK}},
    zip_safe=False,
)
