"""What the hail columns add to `velmora analyze --no-picture`: the synthetic
700 x 700 x 50 volume with 200 cells (velmora synth --cells 200) analyzed,
alternately, without hail levels and with --freezing-level and
--minus20-level (the cells' hail in cell_properties.csv and mesh.nc); medians
of the wall and processor times and their ratio, and the medians of the
steps' own times from --timings (the cell properties, which now hold the
cells' hail, and mesh.nc), the measure other work on a shared machine
disturbs least. The target: at most 5 % added.

/usr/bin/python3 bench/hail_cost.py [--size 700x700x50] [--cells 200] [--repeat 5]
    [--freezing-level 3.5] [--minus20-level 6.5] [--velmora build/velmora] [--work DIR] [--keep]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import analyze_scale  # noqa: E402  (parse_sizes)
from properties_cost import run, step_seconds  # noqa: E402

REPO = os.path.dirname(HERE)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--velmora", default=os.path.join(REPO, "build", "velmora"))
    p.add_argument("--size", default="700x700x50")
    p.add_argument("--cells", type=int, default=200)
    p.add_argument("--freezing-level", default="3.5")
    p.add_argument("--minus20-level", default="6.5")
    p.add_argument("--repeat", type=int, default=5, help="runs of each case; medians are quoted")
    p.add_argument("--work", help="folder for the volume and results (default: a temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    a = p.parse_args()

    (nx, ny, nz), = analyze_scale.parse_sizes(a.size)
    work = a.work or tempfile.mkdtemp(prefix="velmora-hail-")
    os.makedirs(work, exist_ok=True)
    try:
        volume = os.path.join(work, f"synth_{nx}x{ny}x{nz}.nc")
        subprocess.run([a.velmora, "synth", volume, "--nx", str(nx), "--ny", str(ny), "--nz", str(nz),
                        "--cells", str(a.cells)], check=True, stdout=subprocess.DEVNULL)
        common = [a.velmora, "analyze", volume, "--no-picture", "--timings"]
        levels = ["--freezing-level", a.freezing_level, "--minus20-level", a.minus20_level]
        cases = [("without levels", common + ["--out", os.path.join(work, "plain")]),
                 ("with levels", common + ["--out", os.path.join(work, "hail")] + levels)]
        wall = {name: [] for name, _ in cases}
        cpu = {name: [] for name, _ in cases}
        steps = {name: {"cell properties": [], "mesh.nc": []} for name, _ in cases}
        for r in range(a.repeat):
            line = []
            for name, cmd in cases:
                w, used, _, err = run(cmd)
                wall[name].append(w)
                cpu[name].append(used)
                for step in steps[name]:
                    steps[name][step].append(step_seconds(err, step) or 0.0)
                line.append(f"{name} {w:.2f} s ({used:.2f} s cpu)")
            print(f"  run {r + 1}/{a.repeat}: " + ", ".join(line), file=sys.stderr)

        print(f"velmora analyze --no-picture on {a.size} ({nx * ny * nz} voxels, {a.cells} cells), "
              f"medians of {a.repeat} run(s)")
        ref, ref_cpu = statistics.median(wall["without levels"]), statistics.median(cpu["without levels"])
        print(f"  {'case':<16} {'wall s':>7} {'ratio':>6} {'cpu s':>7} {'ratio':>6} {'props s':>8} {'mesh s':>7}")
        for name, _ in cases:
            med, med_cpu = statistics.median(wall[name]), statistics.median(cpu[name])
            props, mesh = (statistics.median(steps[name][s]) for s in ("cell properties", "mesh.nc"))
            print(f"  {name:<16} {med:7.3f} {med / ref:6.3f} {med_cpu:7.3f} {med_cpu / ref_cpu:6.3f} "
                  f"{props:8.3f} {mesh:7.3f}")
        added = (statistics.median(steps["with levels"]["cell properties"]) +
                 statistics.median(steps["with levels"]["mesh.nc"]) -
                 statistics.median(steps["without levels"]["cell properties"]))
        print(f"  the hail's own time (properties with levels - without, + mesh.nc): {added:.3f} s, "
              f"{100 * added / ref:.1f} % of the median run without levels (target at most 5 %)")
    finally:
        if not a.keep and not a.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
