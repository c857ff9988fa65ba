"""The mosaic of the three Belgian radars against each radar gridded alone.

Every radar is gridded alone on the mosaic's grid (`--origin 50.7,4.6
--extent -200,200,-200,200`), and the highest of the three at each point
taken: the reference of what the radars saw. The mosaic (`velmora grid` of
the three) should keep the columns whose highest value reaches 40 and 45 dBZ
there, and add few of its own. The mosaic's levels are above sea level, a
radar's alone above its antenna: the reference is the highest of the radars
alone both ways, on the mosaic's own points (each radar's levels lowered by
its antenna's height) and on the levels above each antenna. It prints, for
each combination, the columns kept and added and their ratios, and the time
of the mosaic's gridding against the sum of the single radars' (each on
the same grid, and each on its own default grid): medians of --repeat runs of `velmora grid --timings`.

    make bench-mosaic
    /usr/bin/python3 bench/mosaic_bench.py [--repeat N]
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile

import numpy as np
import netCDF4

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VELMORA = os.path.join(ROOT, "build", "velmora")
DATA = os.path.join(ROOT, "..", "shared", "data")
RADARS = ["bejab", "bewid", "behel"]
GRID = ["--origin", "50.7,4.6", "--extent", "-200,200,-200,200"]


def grid(files, out, extra=()):
    """velmora grid of files into out: the CPU seconds of the whole process (this machine is shared: the wall
    clock times the waits for a core), the wall seconds of its gridding step, and what it printed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = subprocess.run([VELMORA, "grid", *files, "--out", out, "--timings", *extra], capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if run.returncode != 0:
        sys.exit(f"velmora grid failed: {run.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    wall = float(re.search(r"^grid\s+([0-9.]+) s", run.stderr, re.M).group(1))
    return cpu, wall, run.stdout


def column_max(path):
    with netCDF4.Dataset(path) as nc:
        field = next(v for v in nc.variables.values() if v.dimensions == ("time", "z", "y", "x") and v.dtype.kind == "f")
        v = np.ma.filled(field[0].astype(np.float64), np.nan)
    with np.errstate(all="ignore"):
        return np.nanmax(np.where(np.isnan(v), -np.inf, v), axis=0)


def altitudes(files):
    """Each radar's antenna height, km above sea level, as the mosaic states it."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "mosaic.nc")
        grid(files, out, [*GRID[:2], "--extent", "-2,2,-2,2"])
        with netCDF4.Dataset(out) as nc:
            return [float(h) / 1000.0 for h in nc["radar_altitude"][:]]


def kept_lines(reference, m, combine):
    for level in (40, 45):
        ref = reference >= level
        kept = np.count_nonzero(ref & (m >= level))
        added = np.count_nonzero(~ref & (m >= level))
        print(f"  {level} dBZ, {combine:8s}  {kept:6d} / {np.count_nonzero(ref):6d} ({kept / max(1, np.count_nonzero(ref)):.3f})"
              f"   {added:5d} ({added / max(1, np.count_nonzero(ref)):.3f})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    files = [os.path.join(DATA, f"odim_{r}_201906060000.h5") for r in RADARS]
    if not all(os.path.exists(f) for f in files):
        print("bench-mosaic: the Belgian volumes are not in ../shared/data; nothing measured")
        return
    heights = altitudes(files)
    with tempfile.TemporaryDirectory() as tmp:
        alone, alone_same, alone_own = [], [], []
        for r, f in zip(RADARS, files):
            out = os.path.join(tmp, f"{r}.nc")
            runs = [grid([f], out, GRID)[:2] for _ in range(args.repeat)]
            alone_same.append([statistics.median(t) for t in zip(*runs)])
            alone.append(column_max(out))
            runs = [grid([f], os.path.join(tmp, f"{r}-own.nc"))[:2] for _ in range(args.repeat)]
            alone_own.append([statistics.median(t) for t in zip(*runs)])
        highest = np.maximum.reduce(alone)
        points = []
        for r, f, h in zip(RADARS, files, heights):
            out = os.path.join(tmp, f"{r}-points.nc")
            grid([f], out, [*GRID, "--levels", f"{0.5 - h:.3f},{15.0 - h:.3f}"])
            points.append(column_max(out))
        highest_points = np.maximum.reduce(points)
        references = (("on the mosaic's points", highest_points), ("above each antenna", highest))
        for name, reference in references:
            print(f"reference: the highest of the radars alone, {name}: {np.count_nonzero(reference >= 40)} columns "
                  f"reach 40 dBZ, {np.count_nonzero(reference >= 45)} reach 45 dBZ")
        print("columns whose highest value reaches   mosaic kept / reference (ratio)   added by the mosaic (ratio)")
        mosaic_time = None
        for combine in ["weighted", "nearest", "max"]:
            out = os.path.join(tmp, f"mosaic-{combine}.nc")
            runs, printed = [], ""
            for _ in range(args.repeat if combine == "weighted" else 1):
                cpu, wall, printed = grid(files, out, [*GRID, "--combine", combine])
                runs.append((cpu, wall))
            if combine == "weighted":
                mosaic_time = [statistics.median(t) for t in zip(*runs)]
                overlaps = printed
            m = column_max(out)
            for name, reference in references:
                print(f" against the radars alone {name}:")
                kept_lines(reference, m, combine)
        print()
        print(overlaps.strip())
        print()
        print(f"medians of {args.repeat} runs       CPU of the process   wall of the gridding step")
        print(f"  mosaic of the three          {mosaic_time[0]:8.2f} s           {mosaic_time[1]:8.2f} s")
        for name, alone_runs in (("same grid", alone_same), ("own default grids", alone_own)):
            cpu, wall = sum(t[0] for t in alone_runs), sum(t[1] for t in alone_runs)
            print(f"  sum of the three alone, {name}: {cpu:.2f} s ({mosaic_time[0] / cpu:.2f})   "
                  f"{wall:.2f} s ({mosaic_time[1] / wall:.2f})   (mosaic / sum)")


if __name__ == "__main__":
    main()
