"""velmora installed as its users install it: the Python package with pip
into a venv, and the Debian package, unpacked and run where it lies. Every
run is from a temporary folder, without PYTHONPATH or LD_LIBRARY_PATH
pointing at the build; pip reuses the release build (VELMORA_BUILD_DIR).
`make test-packaging` makes the Debian package first."""
import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VELMORA_BUILD_DIR", REPO / "build"))
CPOL = REPO.parent / "shared" / "data" / "cpol_200601200050.nc"
PYTHON = "/usr/bin/python3"
VERSION = re.search(r"project\(velmora\s+VERSION\s+([0-9.]+)", (REPO / "CMakeLists.txt").read_text())[1]
CORE = "_core" + sysconfig.get_config_var("EXT_SUFFIX")
LIBRARIES = ["libvelmora.so", "libvelmora_host.so", "libvelmora_pictures.so"]

# Analyzes the CPOL volume, writes its files with the pictures (drawn by
# libvelmora_pictures.so, opened beside libvelmora_host.so), and prints the
# cells, the package's folder and the velmora libraries the process mapped.
ANALYZE = """
import os, sys, velmora
a = velmora.analyze(sys.argv[1], level=40)
a.to_files("out")
print(len(a.cells))
print(os.path.dirname(os.path.realpath(velmora.__file__)))
mapped = {line.split()[-1] for line in open("/proc/self/maps") if len(line.split()) > 5}
print("\\n".join(sorted(p for p in mapped if os.path.basename(p).startswith(("libvelmora", "_core.")))))
"""


def user_env(**extra):
    """A user's environment: nothing that points Python or the loader at the build."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "VELMORA_BUILD_DIR")}
    env.update(extra)
    return env


def run(*args, **kwargs):
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    assert r.returncode == 0, f"{' '.join(map(str, args))}: exit {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r


def need_cpol():
    if not CPOL.exists():
        pytest.skip(f"real radar volume not found: {CPOL} (the analyses of the installed package are skipped)")


def run_paths(path):
    """The RUNPATH (or RPATH) entries of an ELF file."""
    found = re.findall(r"Library r(?:un)?path: \[(.*)\]", run("readelf", "-d", path).stdout)
    return [entry for paths in found for entry in paths.split(":")]


def elf_files(root):
    return sorted(p for p in Path(root).rglob("*") if p.is_file() and p.read_bytes()[:4] == b"\x7fELF")


def check_analysis(out, folder, package, library_folder):
    """The lines ANALYZE printed: 7 cells (of at least 10 km³), the package where expected, every
    velmora library mapped from library_folder and _core.so from the
    package, and the pictures drawn."""
    lines = out.splitlines()
    assert lines[0] == "7"
    assert Path(lines[1]) == package.resolve()
    mapped = {Path(p).name: Path(p).parent for p in lines[2:]}
    assert mapped == {CORE: package.resolve(), **{name: library_folder.resolve() for name in LIBRARIES}}
    assert (folder / "out" / "cells.png").stat().st_size > 0 and (folder / "out" / "plan.png").stat().st_size > 0


# ---- pip into a venv -------------------------------------------------------

@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A venv seeing Debian's packages, with velmora installed from this tree
    by pip as README says, offline."""
    root = tmp_path_factory.mktemp("pip")
    run(PYTHON, "-m", "venv", "--system-site-packages", root / "venv")
    python = root / "venv" / "bin" / "python"
    reuse = {"VELMORA_BUILD_DIR": str(BUILD)} if (BUILD / "CMakeCache.txt").is_file() else {}
    run(python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index", "--no-cache-dir", REPO,
        cwd=root, env=user_env(**reuse))
    package = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))",
                       cwd=root, env=user_env()).stdout.strip()) / "velmora"
    return python, package


def test_pip_package_holds_its_libraries_found_through_origin(venv):
    _, package = venv
    assert sorted(p.name for p in package.glob("*.so")) == sorted([CORE, *LIBRARIES])
    for library in package.glob("*.so"):
        assert all(entry.startswith("$ORIGIN") for entry in run_paths(library)), library


def test_pip_package_analyzes_and_draws_from_outside_the_tree(venv, tmp_path):
    need_cpol()
    python, package = venv
    r = run(python, "-c", ANALYZE, CPOL, cwd=tmp_path, env=user_env())
    check_analysis(r.stdout, tmp_path, package, package)


def test_pip_package_runs_as_a_module(venv, tmp_path):
    python, _ = venv
    r = run(python, "-m", "velmora", "--help", cwd=tmp_path, env=user_env())
    assert r.stdout == "usage: python3 -m velmora batch FILE... [--help]\n"
    assert run(python, "-m", "velmora", "batch", "--help", cwd=tmp_path, env=user_env()).stdout.startswith(
        "usage: velmora batch")


# ---- the Debian package ------------------------------------------------------

@pytest.fixture(scope="module")
def deb():
    path = BUILD / f"velmora_{VERSION}_amd64.deb"
    if not path.is_file():
        pytest.skip(f"no Debian package at {path} (make deb makes it; make test-packaging runs these tests after)")
    return path


@pytest.fixture(scope="module")
def unpacked(deb, tmp_path_factory):
    root = tmp_path_factory.mktemp("deb")
    run("dpkg-deb", "-x", deb, root)
    return root


def control(deb, field):
    return run("dpkg-deb", "-f", deb, field).stdout.strip()


def test_deb_names_and_layout(deb, unpacked):
    assert [control(deb, f) for f in ("Package", "Version", "Architecture")] == ["velmora", VERSION, "amd64"]
    usr = unpacked / "usr"
    python = usr / "lib" / "python3" / "dist-packages" / "velmora"
    wanted = [usr / "bin" / "velmora", usr / "libexec" / "velmora", python / "__init__.py", python / CORE,
              usr / "share" / "doc" / "velmora" / "cli.md", usr / "share" / "velmora" / "examples" / "ThreshMin.json",
              *(usr / "lib" / name for name in LIBRARIES)]
    assert [p for p in wanted if not p.is_file()] == []
    # Nothing else in usr/lib: the Python package only where Debian's python3 looks.
    assert sorted(p.name for p in (usr / "lib").iterdir()) == sorted(["python3", *LIBRARIES])
    assert [d for d in unpacked.rglob("*") if d.is_dir() and not any(d.iterdir())] == []
    for binary in elf_files(unpacked):
        assert all(entry.startswith("$ORIGIN") for entry in run_paths(binary)), binary


def test_deb_program_analyzes_where_it_lies(unpacked, tmp_path):
    need_cpol()
    r = run(unpacked / "usr" / "bin" / "velmora", "analyze", CPOL, "--var", "DT", "--level", "40", "--out",
            tmp_path / "out", cwd=tmp_path, env=user_env())
    assert r.stdout.startswith("7 storm cells at 40 dBZ in cpol_200601200050.nc (DT)")
    assert (tmp_path / "out" / "cells.png").stat().st_size > 0 and (tmp_path / "out" / "plan.png").stat().st_size > 0


def test_deb_python_package_finds_the_libraries(unpacked, tmp_path):
    need_cpol()
    lib = unpacked / "usr" / "lib"
    package = lib / "python3" / "dist-packages" / "velmora"
    # PYTHONPATH stands for Debian's python3, which looks in /usr/lib/python3/dist-packages.
    r = run(PYTHON, "-c", ANALYZE, CPOL, cwd=tmp_path, env=user_env(PYTHONPATH=str(package.parent)))
    check_analysis(r.stdout, tmp_path, package, lib)


def test_deb_batch_finds_the_python_package(unpacked, tmp_path):
    r = run(unpacked / "usr" / "bin" / "velmora", "batch", "--help", cwd=tmp_path, env=user_env())
    assert r.stdout.startswith("usage: velmora batch")


def installed_closure(names):
    """The installed packages that `names` bring with them: their Depends
    and Pre-Depends, every alternative, virtual names through Provides."""
    fmt = "${Package}\t${db:Status-Abbrev}\t${Depends}, ${Pre-Depends}\t${Provides}\n"
    depends, providers = {}, {}
    for line in run("dpkg-query", "-W", "-f", fmt).stdout.splitlines():
        name, status, deps, provides = line.split("\t")
        if not status.startswith("ii"):
            continue
        depends[name] = [re.split(r"[\s(:]", alt.strip())[0] for alt in re.split(r"[,|]", deps) if alt.strip()]
        for virtual in provides.split(","):
            if virtual.strip():
                providers.setdefault(re.split(r"[\s(:]", virtual.strip())[0], []).append(name)
    seen, todo = set(), list(names)
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        todo += depends.get(name, []) + providers.get(name, [])
    return seen


def owners(paths):
    """The Debian package of each path (None when no package holds it); a
    library is looked up as the loader found it and under /usr (merged /usr)."""
    candidates = {p: {str(p), os.path.realpath(p)} for p in paths}
    for p, names in candidates.items():
        names |= {"/usr" + n for n in list(names) if n.startswith("/lib")}
        names |= {n[len("/usr"):] for n in list(names) if n.startswith("/usr/lib")}
    queried = sorted(set().union(*candidates.values())) if candidates else []
    r = subprocess.run(["dpkg", "-S", *queried], capture_output=True, text=True)
    found = {}
    for line in r.stdout.splitlines():
        if line.startswith("diversion "):
            continue
        packages, path = line.rsplit(": ", 1)
        found[path] = packages.split(",")[0].strip().split(":")[0]
    return {p: next((found[n] for n in sorted(names) if n in found), None) for p, names in candidates.items()}


def test_deb_depends_cover_every_library_the_binaries_load(deb, unpacked):
    libraries = set()
    for binary in elf_files(unpacked):
        out = run("ldd", binary, env=user_env()).stdout
        assert "not found" not in out, f"{binary}:\n{out}"
        for path in re.findall(r"=> (/\S+)", out):
            if not Path(path).resolve().is_relative_to(unpacked.resolve()):
                libraries.add(path)
    packages = owners(sorted(libraries))
    assert [p for p, owner in packages.items() if owner is None] == []
    covered = installed_closure(re.split(r"[\s(:]", d.strip())[0] for d in control(deb, "Depends").split(","))
    assert sorted({f"{owner} ({p})" for p, owner in packages.items() if owner not in covered}) == []


def imported_modules(folder):
    """The top-level modules the package's .py files import, but for the
    standard library and itself."""
    names = set()
    for source in folder.glob("*.py"):
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.Import):
                names |= {alias.name.split(".")[0] for alias in node.names}
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                names.add(node.module.split(".")[0])
    return names - set(sys.stdlib_module_names) - {"velmora"}


def test_deb_depends_cover_what_the_python_side_imports_and_starts(deb, unpacked):
    modules = imported_modules(unpacked / "usr" / "lib" / "python3" / "dist-packages" / "velmora")
    assert {"numpy", "pandas", "xarray", "matplotlib", "distributed"} <= modules
    origins = {name: importlib.util.find_spec(name) for name in sorted(modules)}
    assert [name for name, found in origins.items() if found is None] == [], "not installed here: can not check"
    # What the program starts: python3 for `velmora batch` (pictures need no X server).
    started = [PYTHON]
    assert None not in started
    paths = [found.origin for found in origins.values()] + started
    packages = owners(paths)
    covered = installed_closure(re.split(r"[\s(:]", d.strip())[0] for d in control(deb, "Depends").split(","))
    assert sorted(f"{owner} ({p})" for p, owner in packages.items() if owner not in covered) == []
