"""velmora.analyze() from Python against the command it mirrors, side by side.

Time: the call on an xarray.DataArray already in memory against the command's
compute time (reading the volume and running the network, as its --timings
give them), medians of --repeat runs. Memory: the peak resident memory an
analysis adds to a process that holds the volume as a numpy array, against
the same analysis reading the file, each in a fresh process.

/usr/bin/python3 bench/python_analyze_bench.py [--repeat 5] [--sizes 300,500]
(PYTHONPATH=build/python; make bench-python runs it.)
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build"))
VELMORA = os.path.join(BUILD, "velmora")
CPOL = os.path.join(ROOT, "..", "shared", "data", "cpol_200601200050.nc")
# A step of --timings: "velmora: <step>   0.012 s ..."; the read and the
# module instances "name (Module)" are the compute, the rest is writing.
STEP = re.compile(r"^velmora: (.*?)\s+(\d+\.\d+) s")


def command_compute(volume, out):
    r = subprocess.run([VELMORA, "analyze", volume, "--no-picture", "--timings", "--out", out],
                       capture_output=True, text=True, check=True)
    total = 0.0
    for line in r.stderr.splitlines():
        m = STEP.match(line)
        if m and (m.group(1).startswith("read ") or m.group(1).endswith(")")):
            total += float(m.group(2))
    return total


# Run in a fresh interpreter: the peak resident memory the analysis adds,
# measured from the moment the volume is in memory (or, for a file, from the
# moment the package is imported).
MEMORY_PROBE = r"""
import json, sys
import numpy as np
import velmora

def resident(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) / 1024.0
    return 0.0

path, form = sys.argv[1], sys.argv[2]
if form == "array":
    import xarray as xr
    with xr.open_dataset(path) as ds:
        da = ds["DT"].load()
    volume = da
else:
    volume = path
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")                      # the peak starts again from here
before = resident("VmRSS:")
a = velmora.analyze(volume)
print(json.dumps({"added_mb": resident("VmHWM:") - before, "cells": len(a.cells)}))
"""


def memory_added(volume, form):
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    r = subprocess.run([sys.executable, "-c", MEMORY_PROBE, volume, form], capture_output=True, text=True, env=env,
                       check=True)
    return json.loads(r.stdout)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--sizes", default="300,500", help="edges of synthetic volumes n x n x 50")
    a = p.parse_args()
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import velmora
    import xarray as xr

    with tempfile.TemporaryDirectory() as tmp:
        volumes = []
        if os.path.exists(CPOL):
            volumes.append(("CPOL 111x81x40", CPOL))
        else:
            print(f"(no CPOL volume at {CPOL}: synthetic volumes only)")
        for n in [int(s) for s in a.sizes.split(",") if s]:
            path = os.path.join(tmp, f"synth{n}.nc")
            subprocess.run([VELMORA, "synth", "--nx", str(n), "--ny", str(n), "--nz", "50", "--cells",
                            str(max(5, n * n // 2500)), path], check=True, capture_output=True)
            volumes.append((f"{n}x{n}x50", path))

        print(f"medians of {a.repeat}; time ratio = analyze(DataArray) / command compute; "
              "memory = peak MB added by one analysis")
        print(f"{'volume':>16} {'command s':>10} {'analyze s':>10} {'ratio':>6} {'file MB':>8} {'array MB':>9} "
              f"{'cells':>6}")
        for name, path in volumes:
            with xr.open_dataset(path) as ds:
                da = ds["DT"].load()
            velmora.analyze(da)   # warm: the first call loads what the later ones reuse
            cmd, py = [], []
            for _ in range(a.repeat):
                # Side by side: one of each in turn, so that a busy moment hits both.
                cmd.append(command_compute(path, os.path.join(tmp, "out")))
                t = time.perf_counter()
                cells = len(velmora.analyze(da).cells)
                py.append(time.perf_counter() - t)
            c, q = statistics.median(cmd), statistics.median(py)
            from_file = memory_added(path, "file")
            from_array = memory_added(path, "array")
            assert from_file["cells"] == from_array["cells"] == cells
            print(f"{name:>16} {c:10.3f} {q:10.3f} {q / c:6.2f} {from_file['added_mb']:8.0f} "
                  f"{from_array['added_mb']:9.0f} {cells:6d}")


if __name__ == "__main__":
    main()
