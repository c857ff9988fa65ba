"""How `velmora analyze` grows with the volume, next to the same analysis in
the Python radar stack (analyze_pipeline.py): wall time and peak memory of
each as a child process, on the CPOL volume and on synthetic storm volumes of
growing size. The cell counts of both must agree.

/usr/bin/python3 bench/analyze_scale.py [--sizes 175x175x50,700x700x50]
    [--repeat 3] [--velmora build/velmora] [--work DIR] [--keep]
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
CPOL = os.path.join(REPO, "..", "shared", "data", "cpol_200601200050.nc")
PIPELINE = os.path.join(HERE, "analyze_pipeline.py")
PYTHON = "/usr/bin/python3"
# The storm density of the large scene: about 200 cells on 700 x 700 km.
CELLS_PER_KM2 = 200 / (700 * 700)
SEED = 7


def run(cmd):
    """Runs cmd as a child; its wall time (s), peak resident memory (bytes)
    and standard output. ru_maxrss of wait4 is the child's own peak, in KiB."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=out, stderr=err)
        # Reaped here, not by Popen, for the child's rusage.
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - t0
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        text = out.read().decode(errors="replace")
        if child.returncode != 0:
            sys.exit(f"{' '.join(cmd)} failed with status {child.returncode}:\n{err.read().decode(errors='replace')}")
    return wall, usage.ru_maxrss * 1024, text


def velmora_cells(out):
    # The modules may print diagnostics before the table: the first line of
    # its own counts.
    m = re.search(r"^(\d+) storm cells? at ", out, re.MULTILINE)
    if not m:
        sys.exit(f"velmora printed no cell count:\n{out}")
    return int(m.group(1))


def python_cells(out):
    m = re.search(r"^cells: (\d+)\s*$", out.strip().splitlines()[-1] if out.strip() else "")
    if not m:
        sys.exit(f"the Python pipeline printed no cell count:\n{out}")
    return int(m.group(1))


def parse_sizes(text):
    sizes = []
    for s in text.split(","):
        nx, ny, nz = (int(n) for n in s.lower().split("x"))
        sizes.append((nx, ny, nz))
    return sizes


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--velmora", default=os.path.join(REPO, "build", "velmora"))
    p.add_argument("--sizes", default="175x175x50,350x350x50,500x500x50,700x700x50",
                   help="synthetic volumes NXxNYxNZ, comma separated (cells scaled to the area)")
    p.add_argument("--repeat", type=int, default=3, help="runs of each program per case; medians are quoted")
    p.add_argument("--work", help="folder for volumes and results (default: a temporary one)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    p.add_argument("--no-cpol", action="store_true", help="skip the CPOL volume")
    a = p.parse_args()
    if not os.access(a.velmora, os.X_OK):
        sys.exit(f"{a.velmora} is not a program: build first (make build)")

    work = a.work or tempfile.mkdtemp(prefix="velmora-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        cases = []   # (name, volume, level, voxels)
        if a.no_cpol:
            pass
        elif os.path.exists(CPOL):
            cases.append(("cpol 111x81x40", CPOL, 40.0, 111 * 81 * 40))
        else:
            print(f"notice: {os.path.normpath(CPOL)} is absent; the CPOL case is skipped")
        for nx, ny, nz in parse_sizes(a.sizes):
            cells = max(1, round(CELLS_PER_KM2 * nx * ny))
            path = os.path.join(work, f"synth_{nx}x{ny}x{nz}.nc")
            subprocess.run([a.velmora, "synth", path, "--nx", str(nx), "--ny", str(ny), "--nz", str(nz),
                            "--cells", str(cells), "--seed", str(SEED)], check=True, stdout=subprocess.DEVNULL)
            cases.append((f"synth {nx}x{ny}x{nz}", path, 35.0, nx * ny * nz))

        rows, mismatch = [], False
        for name, volume, level, voxels in cases:
            out_v, out_p = os.path.join(work, "velmora-out"), os.path.join(work, "python-out")
            v_runs, p_runs = [], []
            for r in range(a.repeat):
                # Alternating, so that a slow spell of the machine hits both.
                v_runs.append(run([a.velmora, "analyze", volume, "--var", "DT", "--level", f"{level:g}",
                                   "--no-picture", "--out", out_v]))
                p_runs.append(run([PYTHON, PIPELINE, volume, "--var", "DT", "--level", f"{level:g}",
                                   "--out", out_p]))
                print(f"  {name} run {r + 1}/{a.repeat}: velmora {v_runs[-1][0]:.2f} s, python {p_runs[-1][0]:.2f} s",
                      file=sys.stderr, flush=True)
            vt = statistics.median(t for t, _, _ in v_runs)
            pt = statistics.median(t for t, _, _ in p_runs)
            vm = statistics.median(m for _, m, _ in v_runs)
            pm = statistics.median(m for _, m, _ in p_runs)
            vc, pc = velmora_cells(v_runs[-1][2]), python_cells(p_runs[-1][2])
            if vc != pc:
                mismatch = True
            rows.append((name, voxels, vt, pt, vm, pm, vc, pc))

        head = (f"{'case':<20} {'voxels':>11} {'velmora s':>9} {'python s':>9} {'t v/p':>6} "
                f"{'velmora MB':>10} {'python MB':>9} {'m v/p':>6} {'cells v':>7} {'cells p':>7} "
                f"{'v ns/vox':>8} {'p ns/vox':>8} {'v B/vox':>7} {'p B/vox':>7}")
        sys.stderr.flush()
        print(f"velmora analyze vs the Python pipeline, medians of {a.repeat} run(s), peak RSS per child")
        print(head)
        print("-" * len(head))
        for name, voxels, vt, pt, vm, pm, vc, pc in rows:
            print(f"{name:<20} {voxels:>11,} {vt:>9.2f} {pt:>9.2f} {vt / pt:>6.2f} "
                  f"{vm / 2**20:>10.0f} {pm / 2**20:>9.0f} {vm / pm:>6.2f} {vc:>7} {pc:>7} "
                  f"{vt / voxels * 1e9:>8.0f} {pt / voxels * 1e9:>8.0f} {vm / voxels:>7.1f} {pm / voxels:>7.1f}"
                  + ("   MISMATCH" if vc != pc else ""))
        if mismatch:
            print("MISMATCH: velmora and the Python pipeline found different numbers of cells", file=sys.stderr)
            return 1
        return 0
    finally:
        if a.keep:
            print(f"volumes and results kept in {work}")
        elif not a.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
