"""What the cell properties and the division of cells at their cores add to
`velmora analyze --no-picture`: the same synthetic volume (700 x 700 x 50 at
35 dBZ unless told) analyzed, alternately, by a velmora without them
(--baseline, e.g. one built from an earlier commit), by this velmora with its
defaults (properties, no division) and with --split-levels; medians of the
wall times, of the processor times (user + system, which other work on a
shared machine disturbs less) and of the fastest runs, and their ratios. The
runs of this velmora note their steps' times (--timings): the medians of the
division's and the properties' own times give their share of the run, the
measure that other work on the machine disturbs least.

/usr/bin/python3 bench/properties_cost.py [--baseline OLD/velmora] [--size 700x700x50]
    [--split-levels 45,50] [--repeat 5] [--velmora build/velmora] [--work DIR] [--keep]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import analyze_scale  # noqa: E402  (run, CELLS_PER_KM2, SEED)

REPO = os.path.dirname(HERE)


def run(cmd):
    """Runs cmd as a child: its wall time and processor time (s), standard output and error."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - t0
        if os.waitstatus_to_exitcode(status) != 0:
            err.seek(0)
            sys.exit(f"{' '.join(cmd)} failed:\n{err.read().decode(errors='replace')}")
        out.seek(0)
        err.seek(0)
        return (wall, usage.ru_utime + usage.ru_stime, out.read().decode(errors="replace"),
                err.read().decode(errors="replace"))


def step_seconds(err, name):
    """The time of the --timings line whose step starts with name."""
    m = re.search(rf"^velmora: {re.escape(name)}.*?\s([0-9.]+) s\s", err, re.MULTILINE)
    return float(m.group(1)) if m else None


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--velmora", default=os.path.join(REPO, "build", "velmora"))
    p.add_argument("--baseline", help="a velmora without the cell properties, for the side-by-side comparison")
    p.add_argument("--size", default="700x700x50")
    p.add_argument("--split-levels", default="45,50")
    p.add_argument("--repeat", type=int, default=5, help="runs of each case; medians are quoted")
    p.add_argument("--work", help="folder for the volume and results (default: a temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    a = p.parse_args()

    (nx, ny, nz), = analyze_scale.parse_sizes(a.size)
    work = a.work or tempfile.mkdtemp(prefix="velmora-props-")
    os.makedirs(work, exist_ok=True)
    try:
        cells = max(1, round(analyze_scale.CELLS_PER_KM2 * nx * ny))
        volume = os.path.join(work, f"synth_{nx}x{ny}x{nz}.nc")
        subprocess.run([a.velmora, "synth", volume, "--nx", str(nx), "--ny", str(ny), "--nz", str(nz),
                        "--cells", str(cells), "--seed", str(analyze_scale.SEED)], check=True,
                       stdout=subprocess.DEVNULL)
        common = ["analyze", volume, "--level", "35", "--no-picture"]
        cases = []
        if a.baseline:
            cases.append(("baseline", [a.baseline] + common + ["--out", os.path.join(work, "base")]))
        cases.append(("properties", [a.velmora] + common + ["--out", os.path.join(work, "props"), "--timings"]))
        cases.append(("properties + split", [a.velmora] + common + ["--out", os.path.join(work, "split"),
                                                                   "--split-levels", a.split_levels, "--timings"]))
        times = {name: [] for name, _ in cases}
        cpu = {name: [] for name, _ in cases}
        counts = {}
        steps = {"split cells": [], "cell properties": []}
        for r in range(a.repeat):
            line = []
            for name, cmd in cases:
                wall, used, out, err = run(cmd)
                if name == "properties + split":
                    for step in steps:
                        steps[step].append(step_seconds(err, step))
                times[name].append(wall)
                cpu[name].append(used)
                counts[name] = analyze_scale.velmora_cells(out)
                line.append(f"{name} {wall:.2f} s ({used:.2f} s cpu)")
            print(f"  run {r + 1}/{a.repeat}: " + ", ".join(line), file=sys.stderr)

        print(f"velmora analyze --no-picture on {a.size} at 35 dBZ ({nx * ny * nz} voxels), "
              f"medians of {a.repeat} run(s)")
        ref = statistics.median(times[cases[0][0]])
        ref_cpu = statistics.median(cpu[cases[0][0]])
        ref_min = min(times[cases[0][0]])
        # The fastest run is the one other work disturbed least.
        print(f"  {'case':<20} {'wall s':>7} {'ratio':>6} {'cpu s':>7} {'ratio':>6} {'min s':>7} {'ratio':>6}  cells")
        for name, _ in cases:
            med, med_cpu, least = statistics.median(times[name]), statistics.median(cpu[name]), min(times[name])
            print(f"  {name:<20} {med:7.3f} {med / ref:6.3f} {med_cpu:7.3f} {med_cpu / ref_cpu:6.3f} "
                  f"{least:7.3f} {least / ref_min:6.3f}  {counts[name]}")
        split_s, props_s = (statistics.median(steps[s]) for s in ("split cells", "cell properties"))
        total = statistics.median(times["properties + split"])
        print(f"  their own steps (--timings), medians: split cells {split_s:.3f} s, cell properties {props_s:.3f} s, "
              f"together {100 * (split_s + props_s) / total:.1f} % of the median run with both")
    finally:
        if not a.keep and not a.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
