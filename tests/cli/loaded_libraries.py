#!/usr/bin/python3
"""Commands that draw nothing load no rendering library.

Runs each command with the dynamic loader's file log (LD_DEBUG=files) and
fails when any process of it loaded OpenGL, X11 or VTK's rendering, or when
the picture library is not loaded by a command that draws.
Usage: loaded_libraries.py BUILD_DIR DATA_DIR EXAMPLES_DIR
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

RENDERING = re.compile(r"file=(\S*(libGL|libGLX|libEGL|libX11|libxcb|vtkRendering|libvelmora_pictures)\S*)")


def loaded(velmora, args, work):
    log = os.path.join(work, "ld")
    for old in glob.glob(log + ".*"):
        os.remove(old)
    # The GL driver frees nothing at exit: not what this test is about.
    env = dict(os.environ, LD_DEBUG="files", LD_DEBUG_OUTPUT=log, ASAN_OPTIONS="detect_leaks=0")
    run = subprocess.run([velmora, *args], cwd=work, env=env, capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        sys.exit(f"velmora {' '.join(args)}: status {run.returncode}\n{run.stderr}")
    found = set()
    for name in glob.glob(log + ".*"):
        with open(name, errors="replace") as f:
            found.update(m.group(1) for m in RENDERING.finditer(f.read()))
    return found


def main():
    build, data, examples = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    velmora = os.path.abspath(os.path.join(build, "velmora"))
    cpol = os.path.join(data, "cpol_200601200050.nc")
    with tempfile.TemporaryDirectory() as work:
        volume = cpol if os.path.exists(cpol) else os.path.join(work, "scene.nc")
        if volume != cpol:
            print(f"{cpol} absent: the synthetic volume instead")
            subprocess.run([velmora, "synth", volume], cwd=work, check=True, capture_output=True)
        subprocess.run([velmora, "synth", "--series", "2", "series"], cwd=work, check=True, capture_output=True)
        os.remove(os.path.join(work, "series", "truth.csv"))
        quiet = [["modules"], ["modules", "ThreshMin"], ["analyze", volume, "--no-picture", "--out", "a"],
                 ["track", "series/series_000.nc", "series/series_001.nc", "--no-picture", "--out", "t"],
                 ["verify", "t"], ["watch", "series", "--out", "w", "--once", "--settle", "0", "--no-picture"],
                 ["run", os.path.join(examples, "Isosurface.json")]]
        odim = os.path.join(data, "odim_nldhl_201106101140.h5")
        if os.path.exists(odim):
            quiet.append(["grid", odim, "--out", "grid.nc"])
        failures = []
        for args in quiet:
            libs = loaded(velmora, args, work)
            if libs:
                failures.append(f"velmora {' '.join(args)} loaded {', '.join(sorted(libs))}")
        drawn = loaded(velmora, ["analyze", volume, "--out", "p"], work)
        if not any("libvelmora_pictures" in lib for lib in drawn):
            failures.append("velmora analyze with pictures did not load libvelmora_pictures.so")
    if failures:
        sys.exit("\n".join(failures))
    print(f"{len(quiet)} commands that draw nothing loaded no rendering library")


if __name__ == "__main__":
    main()
