"""What the pictures cost: `velmora analyze` on the CPOL volume (the
synthetic volume when it is absent) with the hail levels, without pictures
(--no-picture) and with them (cells.png, plan.png, mesh.png), alternately;
and `velmora track` of the 12-volume synthetic series with and without its
series pictures (tracks.png, hail_swath.png). Prints the medians of the wall
time and the peak memory of each case with their ratio to the case without
pictures, and the median time of each picture from --timings. The target: a
picture costs at most 0.15 s and 40 MB on CPOL.

/usr/bin/python3 bench/picture_cost.py [--repeat 5] [--velmora build/velmora] [--data ../shared/data]
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
REPO = os.path.dirname(HERE)
LEVELS = ["--freezing-level", "4.5", "--minus20-level", "7.5"]
PICTURES = ("cells.png", "plan.png", "mesh.png")


def run(cmd):
    """Wall time (s), peak resident memory (MB) and standard error of cmd."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - t0
        err.seek(0)
        text = err.read().decode(errors="replace")
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"{' '.join(cmd)} failed:\n{text}")
        return wall, usage.ru_maxrss / 1024.0, text


def draw_seconds(err, name):
    m = re.search(rf"^velmora: draw {re.escape(name)}\s+([0-9.]+) s", err, re.MULTILINE)
    return float(m.group(1)) if m else None


def compare(title, cases, repeat):
    """Runs the cases in turn repeat times; prints medians, ratios to the first."""
    wall = {name: [] for name, _ in cases}
    peak = {name: [] for name, _ in cases}
    drawn = {p: [] for p in PICTURES}
    for r in range(repeat):
        for name, cmd in cases:
            w, mb, err = run(cmd)
            wall[name].append(w)
            peak[name].append(mb)
            for p in PICTURES:
                s = draw_seconds(err, p)
                if s is not None and name != cases[0][0]:
                    drawn[p].append(s)
        print(f"  run {r + 1}/{repeat} done", file=sys.stderr)
    ref_w, ref_m = statistics.median(wall[cases[0][0]]), statistics.median(peak[cases[0][0]])
    print(f"{title}, medians of {repeat}")
    print(f"  {'case':<22} {'wall s':>7} {'ratio':>6} {'peak MB':>8} {'ratio':>6} {'added s':>8} {'added MB':>9}")
    for name, _ in cases:
        w, m = statistics.median(wall[name]), statistics.median(peak[name])
        print(f"  {name:<22} {w:7.3f} {w / ref_w:6.2f} {m:8.1f} {m / ref_m:6.2f} {w - ref_w:8.3f} {m - ref_m:9.1f}")
    for p, times in drawn.items():
        if times:
            print(f"  draw {p:<17} {statistics.median(times):7.3f} s (from --timings; target at most 0.15 s)")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--velmora", default=os.path.join(REPO, "build", "velmora"))
    p.add_argument("--data", default=os.path.join(REPO, "..", "shared", "data"))
    p.add_argument("--repeat", type=int, default=5)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="velmora-pictures-")
    try:
        volume = os.path.join(a.data, "cpol_200601200050.nc")
        if not os.path.exists(volume):
            print(f"{volume} absent: the synthetic volume instead")
            volume = os.path.join(work, "scene.nc")
            subprocess.run([a.velmora, "synth", volume], check=True, stdout=subprocess.DEVNULL)
        analyze = [a.velmora, "analyze", volume, "--timings", *LEVELS]
        compare(f"velmora analyze {os.path.basename(volume)}",
                [("--no-picture", analyze + ["--no-picture", "--out", os.path.join(work, "a")]),
                 ("cells, plan, mesh .png", analyze + ["--out", os.path.join(work, "b")])], a.repeat)
        series = os.path.join(work, "series")
        subprocess.run([a.velmora, "synth", "--series", "12", series], check=True, stdout=subprocess.DEVNULL)
        volumes = sorted(os.path.join(series, f) for f in os.listdir(series) if f.endswith(".nc"))
        track = [a.velmora, "track", *volumes, *LEVELS]
        compare("velmora track, 12 synthetic volumes",
                [("--no-picture", track + ["--no-picture", "--out", os.path.join(work, "t")]),
                 ("tracks, hail_swath .png", track + ["--out", os.path.join(work, "u")]),
                 ("--pictures (per volume)", track + ["--pictures", "--out", os.path.join(work, "v")])], a.repeat)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
