"""velmora watch: latency, the share of recording, and the nowcast's scores.

Latency is timed from the last byte of a volume in the watched folder (a
rename into place: a writer's last act) to latest.json naming that volume's
products, with --settle 0 and inotify, on a watcher that runs throughout:
a CPOL-size gridded volume (CPOL itself), the KLIX polar volume including
its gridding, and the KLOT real-time chunks (the E chunk's arrival; the
chunks before it arrive first and are decoded, and their sweeps gridded,
as they come: the E chunk comes once the watcher is idle, as it is between
real chunks seconds apart). Each kind
arrives --repeat times with its times moved on, so that each is a new
volume of the series. Then a network, the three Belgian radars of one
time, one folder each: two volumes in, the watcher idle, then the third,
timed to latest.json naming the mosaic (a new watcher each time, started
before the first volume). Targets: 0.3 s, 1.5 s, 1.5 s, 1.5 s. Beside each, the
watcher's own time for the volume, the part of it spent recording (the
state database, the forecasts, the products renamed into place), and as a
reference `velmora grid` (KLIX, KLOT) or `velmora analyze` (CPOL) as whole
processes, medians of the same number of runs.

Then the table of CSI per lead on `velmora synth --series` (cells that
move, grow, decay, split and merge) for the nowcast against Lagrangian and
Eulerian persistence; the target: the nowcast beats both at +30 min.

The restart time after 1,000 volumes and the checkpoint's cost against an
analysis are build/bench/watch_state_bench's.

    make bench-watch
    /usr/bin/python3 bench/watch_bench.py [--repeat N] [--build DIR] [--series N]
"""
import argparse
import gzip
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA = os.path.join(ROOT, "..", "shared", "data")
CPOL = os.path.join(DATA, "cpol_200601200050.nc")
KLIX = os.path.join(DATA, "nexrad2_klix_200508281801.gz")
KLOT = os.path.join(DATA, "nexrad2_chunks_klot_20260328.tar.gz")
BELGIUM = [os.path.join(DATA, f"odim_{r}_201906060000.h5") for r in ("bejab", "bewid", "behel")]


class Watcher:
    """velmora watch running on a folder; arrive() puts a volume in and waits for its products."""

    def __init__(self, velmora, work, name, radars=()):
        self.input = os.path.join(work, name + "-in")
        self.out = os.path.join(work, name + "-out")
        os.makedirs(self.input)
        for r in radars:
            os.makedirs(os.path.join(self.input, r))
        self.p = subprocess.Popen([velmora, "watch", self.input, "--out", self.out, "--settle", "0", "--no-picture"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.p.stdout.readline()
        if radars:
            self.p.stdout.readline()   # the network's radars

    def latest(self):
        try:
            with open(os.path.join(self.out, "latest.json")) as f:
                return json.load(f)["volume"]
        except (OSError, ValueError, KeyError):
            return None

    def arrive(self, data, name, volume=None):
        """Writes data under a name writers use while writing, renames it into place; the seconds until
        latest.json names the volume, and the watcher's line about it."""
        with open(os.path.join(self.input, "." + name + ".part"), "wb") as f:
            f.write(data)
        start = time.perf_counter()
        os.rename(os.path.join(self.input, "." + name + ".part"), os.path.join(self.input, name))
        while self.latest() != (volume or name):
            time.sleep(0.002)
        latency = time.perf_counter() - start
        return latency, self.p.stdout.readline()

    def idle(self, quiet=0.3):
        """Waits until the watcher has used no CPU for `quiet` seconds."""
        def cpu():
            with open(f"/proc/{self.p.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])     # utime, stime (clock ticks)
        before, since = cpu(), time.monotonic()
        while time.monotonic() - since < quiet:
            time.sleep(0.05)
            now = cpu()
            if now != before:
                before, since = now, time.monotonic()

    def close(self):
        self.p.terminate()
        self.p.wait()


def own_times(lines):
    """The watcher's time for each volume and the part of it recording."""
    found = [re.search(r"in ([0-9.]+) s \(([0-9.]+) s of it recording\)", line) for line in lines]
    return [float(m.group(1)) for m in found if m], [float(m.group(2)) for m in found if m]


def whole_process(cmd, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def cpol_copies(work, repeat):
    """CPOL with its time moved on by 5 minutes a copy (netCDF4 rewrites the time variable)."""
    import netCDF4
    copies = []
    for k in range(repeat):
        path = os.path.join(work, f"cpol_{k:03d}.nc")
        shutil.copy(CPOL, path)
        with netCDF4.Dataset(path, "a") as nc:
            nc["time"][:] = nc["time"][:] + 300 * (k + 1) * (60 if "min" in nc["time"].units else 1)
        with open(path, "rb") as f:
            copies.append(f.read())
    return copies


def klix_copies(repeat):
    """KLIX with the volume header's time moved on by 5 minutes a copy, gzip-compressed again."""
    plain = gzip.decompress(open(KLIX, "rb").read())
    date, ms = struct.unpack(">II", plain[12:20])
    copies = []
    for k in range(repeat):
        t = ms + 300000 * (k + 1)
        header = plain[:12] + struct.pack(">II", date + t // 86400000, t % 86400000) + plain[20:24]
        copies.append(gzip.compress(header + plain[24:], compresslevel=1))
    return copies


def klot_chunks(work):
    with tarfile.open(KLOT) as t:
        t.extractall(work)
    folder = os.path.join(work, "nexrad_chunks_KLOT")
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder))]


def klot_arrive(w, chunks, k):
    """The chunks of volume k (its start moved on by 5 minutes a volume): all but the last, then the E chunk."""
    t = 20 * 3600 + 14 * 60 + 57 + 300 * (k + 1)
    prefix = "20260328-%02d%02d%02d" % (t // 3600, t % 3600 // 60, t % 60)
    for n, path in enumerate(chunks):
        data = open(path, "rb").read()
        if n == 0:
            date, ms = struct.unpack(">II", data[12:20])
            data = data[:12] + struct.pack(">II", date, ms + 300000 * (k + 1)) + data[20:]
        name = prefix + os.path.basename(path)[15:]
        if n + 1 < len(chunks):
            with open(os.path.join(w.input, name), "wb") as f:
                f.write(data)
        else:
            # The chunks before it taken (decoded, their sweeps gridded), as they are between real chunks, which
            # come seconds apart.
            w.idle()
            return w.arrive(data, name, prefix)


def latency(args, work):
    print(f"latency from the last byte to latest.json, median of {args.repeat} volumes (--settle 0, inotify)")
    print(f"{'volume':28} {'latency s':>10} {'target':>7} {'watcher s':>10} {'recording':>10} {'reference':>22}")
    kinds = []
    if os.path.exists(CPOL):
        kinds.append(("CPOL 111x81x40 gridded", "cpol", cpol_copies(work, args.repeat), 0.3, "nc",
                      ("analyze", [args.velmora, "analyze", CPOL, "--no-picture", "--out", os.path.join(work, "a")])))
    if os.path.exists(KLIX):
        kinds.append(("KLIX polar, gridded", "klix", klix_copies(args.repeat), 1.5, "gz",
                      ("grid", [args.velmora, "grid", KLIX, "--out", os.path.join(work, "g.nc")])))
    for label, name, copies, target, ext, (ref_label, ref) in kinds:
        w = Watcher(args.velmora, work, name)
        got = [w.arrive(data, f"{name}_{k:03d}.{ext}") for k, data in enumerate(copies)]
        w.close()
        report(label, got, target, ref_label, whole_process(ref, args.repeat))
    if os.path.exists(KLOT):
        chunks = klot_chunks(work)
        joined = os.path.join(work, "klot_joined")
        with open(joined, "wb") as f:
            for c in chunks:
                f.write(open(c, "rb").read())
        w = Watcher(args.velmora, work, "klot")
        got = [klot_arrive(w, chunks, k) for k in range(args.repeat)]
        w.close()
        report("KLOT chunks, after E", got, 1.5, "grid",
               whole_process([args.velmora, "grid", joined, "--out", os.path.join(work, "k.nc")], args.repeat))
    if all(os.path.exists(p) for p in BELGIUM):
        report("Belgian three, mosaic", [network_arrive(args, work, k) for k in range(args.repeat)], 1.5, "grid",
               whole_process([args.velmora, "grid", *BELGIUM, "--out", os.path.join(work, "be.nc")], args.repeat))


def network_arrive(args, work, k):
    """A network's watcher, one folder per radar: two radars' volumes in and taken, then the third. The mosaic
    is named after the volume of the radar first by name."""
    radars = [os.path.basename(p).split("_")[1] for p in BELGIUM]
    w = Watcher(args.velmora, work, f"network{k}", radars)
    for r, path in zip(radars[:-1], BELGIUM[:-1]):
        shutil.copy(path, os.path.join(w.input, r, os.path.basename(path)))
    w.idle()
    first = min(zip(radars, BELGIUM))
    mosaic = first[0] + "/" + os.path.basename(first[1])
    w.input = os.path.join(w.input, radars[-1])
    got = w.arrive(open(BELGIUM[-1], "rb").read(), os.path.basename(BELGIUM[-1]), mosaic)
    w.close()
    return got


def report(label, got, target, ref_label, ref):
    seconds, recording = own_times([line for _, line in got])
    lat = statistics.median(t for t, _ in got)
    mark = "" if lat <= target else " MISSED"
    share = statistics.median(r / s for r, s in zip(recording, seconds)) if seconds else float("nan")
    print(f"{label:28} {lat:10.3f} {target:7.2f} {statistics.median(seconds):10.3f} {100 * share:9.1f}% "
          f"{ref_label + ' ' + format(ref, '.3f') + ' s':>22}{mark}")


def nowcast_scores(args, work):
    series = os.path.join(work, "series")
    subprocess.run([args.velmora, "synth", "--series", str(args.series), series], check=True, stdout=subprocess.DEVNULL)
    os.remove(os.path.join(series, "truth.csv"))
    out = os.path.join(work, "series-out")
    subprocess.run([args.velmora, "watch", series, "--out", out, "--once", "--settle", "0", "--no-picture"], check=True,
                   stdout=subprocess.DEVNULL)
    rows = [line.split(",") for line in open(os.path.join(out, "verify.csv")).read().splitlines()[1:]]
    print(f"\nnowcast scores on velmora synth --series {args.series} (5 minutes apart): CSI (POD, FAR), centre error km")
    print(f"{'lead min':>8} {'volumes':>8} {'nowcast':>24} {'Lagrangian':>24} {'Eulerian':>24}")
    by_lead = {}
    for r in rows:
        by_lead.setdefault(r[0], {})[r[1]] = r
    for lead, m in by_lead.items():
        cells = []
        for method in ("nowcast", "lagrangian", "eulerian"):
            r = m[method]
            cells.append(f"{r[8] or '-':>6} ({r[6] or '-':>6}, {r[7] or '-':>6}) {r[9] or '-':>5}"[:24])
        print(f"{lead:>8} {m['nowcast'][2]:>8} " + " ".join(f"{c:>24}" for c in cells))
    csi = {method: float(by_lead["30"][method][8]) for method in ("nowcast", "lagrangian", "eulerian")}
    verdict = "beats both" if csi["nowcast"] > max(csi["lagrangian"], csi["eulerian"]) else "MISSED"
    print(f"at +30 min the nowcast's CSI {csi['nowcast']:.3f} against {csi['lagrangian']:.3f} and "
          f"{csi['eulerian']:.3f}: {verdict}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--series", type=int, default=24)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = p.parse_args()
    args.velmora = os.path.abspath(os.path.join(args.build, "velmora"))
    with tempfile.TemporaryDirectory() as work:
        latency(args, work)
        nowcast_scores(args, work)


if __name__ == "__main__":
    main()
