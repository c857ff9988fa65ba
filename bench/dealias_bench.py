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


def canberra(path):
    raw = velmora.read_polar(path, field="VRADH")
    bureau = velmora.read_polar(path, field="VRADDH")
    ours = velmora.read_polar(path, field="VRADH", dealias=True)
    print(f"Canberra {os.path.basename(path)}: VRADH dealiased against the Bureau's VRADDH (within 2 m/s)")
    print(f"{'sweep':>10} {'elev':>5} {'unfolded':>9} {'agree':>7} {'share':>7}   {'others':>7} {'stay':>7} {'share':>8}")
    worst = [100.0, 100.0]
    total = np.zeros(4)
    for m, b, o in zip(raw["sweeps"], bureau["sweeps"], ours["sweeps"]):
        mv, bv, ov = m["values"], b["values"], o["values"]
        both = np.isfinite(mv) & np.isfinite(bv)
        unfolded = both & (np.abs(bv - mv) > 2)
        others = both & ~unfolded
        right = np.abs(ov - bv) <= 2
        n_u, r_u, n_o, r_o = unfolded.sum(), (unfolded & right).sum(), others.sum(), (others & right).sum()
        total += (n_u, r_u, n_o, r_o)
        s_u = 100.0 * r_u / n_u if n_u else 100.0
        s_o = 100.0 * r_o / n_o if n_o else 100.0
        worst = [min(worst[0], s_u), min(worst[1], s_o)]
        print(f"{m['name']:>10} {m['fixed_angle']:5.1f} {n_u:9d} {r_u:7d} {s_u:6.1f}%   {n_o:7d} {r_o:7d} {s_o:7.2f}%")
    print(f"{'all':>10} {'':5} {int(total[0]):9d} {int(total[1]):7d} {100 * total[1] / total[0]:6.1f}%   "
          f"{int(total[2]):7d} {int(total[3]):7d} {100 * total[3] / total[2]:7.2f}%")
    print(f"worst sweep: unfolded {worst[0]:.1f} % (target >= 90), others {worst[1]:.2f} % (target >= 99.5)")


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
