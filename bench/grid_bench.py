"""velmora grid against a SciPy KD-tree reference doing the same gridding.

The reference takes the gates velmora read (velmora.read_polar, unfiltered:
velmora grid runs with --no-despeckle to grid the same gates), places
them by the 4/3 effective earth radius model, and grids them with SciPy's
cKDTree: for every grid point the gates within its radius of influence
(z/20 + d tan 1.5 degrees, at least 0.5 km), Cressman weights, reflectivity
averaged as linear Z, no echo as zero power. It prints the whole process of
`velmora grid` (reading, gridding, writing; median of --repeat runs) against
the reference's gridding alone, and how far apart their values are.

    make bench-grid
    /usr/bin/python3 bench/grid_bench.py [POLAR_FILE] [--repeat N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import netCDF4
import numpy as np
from scipy.spatial import cKDTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build")
DEFAULT = os.path.join(ROOT, "..", "shared", "data", "nexrad2_klix_200508281801.gz")
R = 4.0 / 3.0 * 6371.0   # km


def gates_of(volume):
    """x, y, h (km) and linear Z of every gate with a value; no echo is 0."""
    xs, ys, hs, zs = [], [], [], []
    for s in volume["sweeps"]:
        values = np.asarray(s["values"], dtype=np.float64)
        rays, gates = values.shape
        r = (s["range_first"] + s["gate_spacing"] * np.arange(gates)) / 1000.0
        e = np.radians(np.asarray(s["elevation"], dtype=np.float64))[:, None]
        a = np.radians(np.asarray(s["azimuth"], dtype=np.float64))[:, None]
        h = np.sqrt(r * r + R * R + 2.0 * r * R * np.sin(e)) - R
        g = R * np.arcsin(r * np.cos(e) / (R + h))
        keep = ~np.isnan(values)
        xs.append((g * np.sin(a))[keep])
        ys.append((g * np.cos(a))[keep])
        hs.append(np.broadcast_to(h, values.shape)[keep])
        z = np.where(np.isneginf(values), 0.0, 10.0 ** (values / 10.0))
        zs.append(z[keep])
    return np.concatenate(xs), np.concatenate(ys), np.concatenate(hs), np.concatenate(zs)


def reference_grid(volume, x, y, z, roi_min=0.5, roi_angle=1.5, chunk=20000):
    """The grid (z, y, x) in dBZ, NaN where no gate reaches or only no echo."""
    gx, gy, gh, gz = gates_of(volume)
    tree = cKDTree(np.column_stack([gx, gy, gh]))
    Z, Y, X = np.meshgrid(z, y, x, indexing="ij")
    points = np.column_stack([X.ravel(), Y.ravel(), Z.ravel()])
    roi = np.maximum(roi_min, points[:, 2] / 20.0 + np.hypot(points[:, 0], points[:, 1]) * np.tan(np.radians(roi_angle)))
    out = np.full(len(points), np.nan)
    for start in range(0, len(points), chunk):
        p, rho = points[start:start + chunk], roi[start:start + chunk]
        k = 64
        todo = np.arange(len(p))
        while len(todo):
            d, i = tree.query(p[todo], k=k, distance_upper_bound=rho.max(), workers=-1)
            within = d < rho[todo, None]
            # A row whose k-th neighbour is still inside its radius may have
            # more: those rows go again with more neighbours.
            full = within[:, -1]
            done = todo[~full]
            with np.errstate(invalid="ignore"):    # the neighbours not found are at infinity
                w = np.where(within, (rho[todo, None] ** 2 - d ** 2) / (rho[todo, None] ** 2 + d ** 2), 0.0)[~full]
            zi = np.where(within[~full], gz[np.minimum(i[~full], len(gz) - 1)], 0.0)
            ws, vs = w.sum(axis=1), (w * zi).sum(axis=1)
            ok = (ws > 0) & (vs > 0)
            out[start + done[ok]] = 10.0 * np.log10(vs[ok] / ws[ok])
            todo, k = todo[full], k * 4
    return out.reshape(Z.shape)


def median_run(cmd, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - t)
    return statistics.median(times), times


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("polar", nargs="?", default=DEFAULT)
    p.add_argument("--repeat", type=int, default=5, help="runs of velmora grid (default 5)")
    p.add_argument("--reference-repeat", type=int, default=1, help="runs of the reference (default 1)")
    args = p.parse_args()
    if not os.path.exists(args.polar):
        print(f"grid benchmark: {args.polar} is absent; nothing to measure", file=sys.stderr)
        return 0
    sys.path.insert(0, os.path.join(BUILD, "python"))
    import velmora

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "grid.nc")
        v_median, v_times = median_run([os.path.join(BUILD, "velmora"), "grid", args.polar, "--out", out, "--no-despeckle"], args.repeat)
        # The values compared are those of the gates the reference takes:
        # the command's own grid, without despeckling.
        with netCDF4.Dataset(out) as nc:
            name = next(n for n, v in nc.variables.items() if v.dimensions == ("time", "z", "y", "x"))
            ours = np.ma.filled(nc.variables[name][0].astype(np.float64), np.nan)
    grid = velmora.grid(args.polar)
    volume = velmora.read_polar(args.polar)
    x, y, z = (grid.coords[a].values for a in "xyz")
    ref_times = []
    for _ in range(args.reference_repeat):
        t = time.perf_counter()
        ref = reference_grid(volume, x, y, z)
        ref_times.append(time.perf_counter() - t)
    r_median = statistics.median(ref_times)
    both = ~np.isnan(ours) & ~np.isnan(ref)
    only = int((np.isnan(ours) != np.isnan(ref)).sum())
    diff = np.abs(ours[both] - ref[both])
    gates = sum(np.asarray(s["values"]).size for s in volume["sweeps"])
    print(f"{os.path.basename(args.polar)}: {len(volume['sweeps'])} sweeps, {gates} gates -> "
          f"{len(x)} x {len(y)} x {len(z)} grid ({grid.size} points, {int(both.sum())} with a value)")
    print(f"velmora grid, whole process: median {v_median:.3f} s of {len(v_times)} "
          f"({', '.join(f'{t:.3f}' for t in v_times)})")
    print(f"SciPy cKDTree reference, gridding alone: median {r_median:.2f} s of {len(ref_times)}")
    print(f"ratio reference / velmora: {r_median / v_median:.1f}x")
    print(f"values: largest difference {diff.max() if diff.size else 0.0:.2g} dB, "
          f"99.9th percentile {np.percentile(diff, 99.9) if diff.size else 0.0:.2g} dB; "
          f"points with a value in one grid only: {only}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
