#!/usr/bin/python3
"""Dealiasing of radial velocity against references, and its cost.

Canberra (ODIM, 2018-12-20 06:06 UTC): velmora's dealiasing of VRADH against
the Bureau of Meteorology's own VRADDH in the same file. Per sweep: of the
gates the Bureau unfolded (|VRADDH - VRADH| > 2 m/s), the share within
2 m/s of VRADDH after ours (target >= 90 %); of the other gates, the share
still within 2 m/s (target >= 99.5 %).

KLIX (NEXRAD message 1, Katrina's rainbands): the share of neighbouring gate
pairs (along the ray, and between neighbouring rays) that differ by more
than the Nyquist velocity, before and after (target <= 0.5 % after).

Cost: the median time of reading each volume's velocity with and without
dealiasing, beside the median of `velmora analyze` of the same polar file
(reflectivity), and their ratio (target <= 30 %).

Run: make bench-dealias  (PYTHONPATH=build/python /usr/bin/python3 bench/dealias_bench.py)
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import velmora

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data")


def beam(sweep):
    """Each gate's azimuth (radians), height above the radar (m, 4/3 earth) and the sweep's elevation (radians)."""
    e = np.deg2rad(sweep["fixed_angle"])
    rays, gates = sweep["values"].shape
    r = sweep["range_first"] + sweep["gate_spacing"] * np.arange(gates)
    ke = 4.0 / 3.0 * 6371e3
    h = np.sqrt(r ** 2 + ke ** 2 + 2 * r * ke * np.sin(e)) - ke
    return np.repeat(np.deg2rad(np.asarray(sweep["azimuth"]))[:, None], gates, 1), np.broadcast_to(h, (rays, gates)), e


def reference_wind(sweeps, top_elevation=11.0):
    """The wind of each 500 m layer, least squares of u sin a cos e + v cos a cos e over the reference's
    sweeps up to top_elevation (a velocity-azimuth display): {layer: (u, v)}, from 200 gates up."""
    rows = []
    for s in sweeps:
        if s["fixed_angle"] <= top_elevation:
            a, h, e = beam(s)
            ok = np.isfinite(s["values"])
            rows.append((np.sin(a[ok]) * np.cos(e), np.cos(a[ok]) * np.cos(e), h[ok] // 500, s["values"][ok]))
    sa, ca, layer, v = (np.concatenate(c) for c in zip(*rows))
    wind = {}
    for k in np.unique(layer):
        m = layer == k
        if m.sum() >= 200:
            wind[int(k)] = np.linalg.lstsq(np.stack([sa[m], ca[m]], 1), v[m], rcond=None)[0]
    return wind


def wind_radial(sweep, wind):
    """The reference wind's radial velocity at each gate; NaN above or below its layers."""
    a, h, e = beam(sweep)
    out = np.full(a.shape, np.nan)
    layer = (h // 500).astype(int)
    for k, (u, v) in wind.items():
        m = layer == k
        out[m] = (u * np.sin(a[m]) + v * np.cos(a[m])) * np.cos(e)
    return out


def shares(mv, bv, ov, where):
    """Of the gates in where: those the Bureau unfolded and how many ours agree on, the others and how many stay."""
    both = np.isfinite(mv) & np.isfinite(bv) & where
    unfolded = both & (np.abs(bv - mv) > 2)
    others = both & ~unfolded
    right = np.abs(ov - bv) <= 2
    return np.array([unfolded.sum(), (unfolded & right).sum(), others.sum(), (others & right).sum()])


def percent(n, of):
    return 100.0 * n / of if of else 100.0


def canberra(path):
    raw = velmora.read_polar(path, field="VRADH")
    bureau = velmora.read_polar(path, field="VRADDH")
    ours = velmora.read_polar(path, field="VRADH", dealias=True)
    wind = reference_wind(bureau["sweeps"])
    print(f"Canberra {os.path.basename(path)}: VRADH dealiased against the Bureau's VRADDH (within 2 m/s); beside, the "
          "gates where the wind says which fold is right (the Bureau's value within Vn/2 of the wind its sweeps up "
          "to 11 degrees give)")
    print(f"{'sweep':>10} {'elev':>5} {'unfolded':>9} {'agree':>7} {'share':>7}   {'others':>7} {'stay':>7} {'share':>8}"
          f"   {'told':>5} {'share':>7} {'share':>8}")
    worst = [100.0, 100.0]
    total, told_total = np.zeros(4), np.zeros(4)
    apart = [[], []]   # where ours and the Bureau's differ: each one's distance from the wind
    for m, b, o in zip(raw["sweeps"], bureau["sweeps"], ours["sweeps"]):
        mv, bv, ov = m["values"], b["values"], o["values"]
        n_u, r_u, n_o, r_o = n = shares(mv, bv, ov, np.ones(mv.shape, bool))
        radial = wind_radial(m, wind)
        told = shares(mv, bv, ov, np.abs(bv - radial) < m["nyquist"] / 2)
        differ = np.isfinite(mv) & np.isfinite(bv) & np.isfinite(radial) & (np.abs(ov - bv) > 2)
        apart[0].append(np.abs(ov - radial)[differ])
        apart[1].append(np.abs(bv - radial)[differ])
        total += n
        told_total += told
        s_u, s_o = percent(r_u, n_u), percent(r_o, n_o)
        worst = [min(worst[0], s_u), min(worst[1], s_o)]
        print(f"{m['name']:>10} {m['fixed_angle']:5.1f} {n_u:9d} {r_u:7d} {s_u:6.1f}%   {n_o:7d} {r_o:7d} {s_o:7.2f}%"
              f"   {told[0]:5d} {percent(told[1], told[0]):6.1f}% {percent(told[3], told[2]):7.2f}%")
    print(f"{'all':>10} {'':5} {int(total[0]):9d} {int(total[1]):7d} {percent(total[1], total[0]):6.1f}%   "
          f"{int(total[2]):7d} {int(total[3]):7d} {percent(total[3], total[2]):7.2f}%"
          f"   {int(told_total[0]):5d} {percent(told_total[1], told_total[0]):6.1f}% "
          f"{percent(told_total[3], told_total[2]):7.2f}%")
    print(f"worst sweep: unfolded {worst[0]:.1f} % (target >= 90), others {worst[1]:.2f} % (target >= 99.5)")
    ours_off, bureau_off = (np.concatenate(a) for a in apart)
    print(f"where ours and the Bureau's differ ({ours_off.size} gates): median distance from the wind, ours "
          f"{np.median(ours_off):.1f} m/s, the Bureau's {np.median(bureau_off):.1f} m/s")


def folds(sweep, values):
    """Neighbouring gate pairs with values, and those differing by more than the Nyquist velocity."""
    v = values
    pairs = big = 0
    for a, b in ((v[:, 1:], v[:, :-1]), (v[1:, :], v[:-1, :])):
        ok = np.isfinite(a) & np.isfinite(b)
        pairs += ok.sum()
        big += (ok & (np.abs(a - b) > sweep["nyquist"])).sum()
    return pairs, big


def klix(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        vol = velmora.read_polar(path, field="VEL", dealias=True)
    print(f"\nKLIX {os.path.basename(path)}: neighbouring gate pairs differing by more than the Nyquist velocity")
    print(f"{'sweep':>18} {'elev':>5} {'Vn':>5} {'pairs':>8} {'before':>8} {'after':>8}")
    tot = np.zeros(3)
    for s in vol["sweeps"]:
        if s["nyquist"] is None:
            continue
        pairs, before = folds(s, s["raw"])
        _, after = folds(s, s["values"])
        tot += (pairs, before, after)
        print(f"{s['name']:>18} {s['fixed_angle']:5.2f} {s['nyquist']:5.1f} {pairs:8d} "
              f"{100.0 * before / max(pairs, 1):7.3f}% {100.0 * after / max(pairs, 1):7.3f}%")
    print(f"{'all':>18} {'':5} {'':5} {int(tot[0]):8d} {100 * tot[1] / tot[0]:7.3f}% {100 * tot[2] / tot[0]:7.3f}%"
          "   (target after <= 0.5 %)")


def median_time(f, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def cost(paths, velmora_bin, runs):
    print(f"\nCost (medians of {runs}): dealiasing beside `velmora analyze` of the same polar volume")
    print(f"{'volume':>32} {'read':>7} {'read+dealias':>13} {'dealias':>8} {'analyze':>8} {'ratio':>7}")
    for path, field in paths:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            plain = median_time(lambda: velmora.read_polar(path, field=field), runs)
            dealiased = median_time(lambda: velmora.read_polar(path, field=field, dealias=True), runs)
        out = tempfile.mkdtemp(prefix="velmora-dealias-bench-")
        try:
            analyze = median_time(lambda: subprocess.run([velmora_bin, "analyze", path, "--out", out], check=True,
                                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), runs)
        finally:
            shutil.rmtree(out, ignore_errors=True)
        extra = dealiased - plain
        print(f"{os.path.basename(path):>32} {plain:6.3f}s {dealiased:12.3f}s {extra:7.3f}s {analyze:7.3f}s "
              f"{100 * extra / analyze:6.1f}%")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--data", default=DATA)
    p.add_argument("--velmora", default=os.path.join(HERE, "..", "build", "velmora"))
    p.add_argument("--runs", type=int, default=5)
    a = p.parse_args()
    au = os.path.join(a.data, "odim_au40_201812200606.h5")
    lix = os.path.join(a.data, "nexrad2_klix_200508281801.gz")
    missing = [f for f in (au, lix) if not os.path.exists(f)]
    if missing:
        print(f"dealias_bench: skipped, the data are absent: {', '.join(missing)}")
        return 0
    canberra(au)
    klix(lix)
    cost([(au, "VRADH"), (lix, "VEL")], a.velmora, a.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
