#!/usr/bin/python3
"""velmora.batch.analyze_many on CPOL-size volumes: throughput serially in
one process and on LocalClusters of 1 and 2 single-threaded worker
processes, the 2-worker / 1-worker ratio and Dask's overhead per volume.

    PYTHONPATH=build/python /usr/bin/python3 bench/batch_bench.py [--volumes 100] [--repeat 1]

The volumes: links to the CPOL volume (../shared/data, when present) and
synthetic volumes of its size (111 x 81 x 40) from `velmora synth`, half
each. Each way is warmed up first (imports, the first analysis on every
worker), so the figures are those of a running batch. Two serial processes
side by side, without Dask, give what the machine itself allows two
workers. Not a test."""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
CPOL = REPO.parent / "shared" / "data" / "cpol_200601200050.nc"


def make_volumes(work, n, velmora):
    """n volumes in work: links to CPOL and synthetic volumes of its size
    (10 distinct ones, linked as often as needed)."""
    synthetic = []
    for seed in range(1, 11):
        p = work / f"synth_{seed:02d}.nc"
        subprocess.run([velmora, "synth", str(p), "--nx", "111", "--ny", "81", "--nz", "40", "--cells", "8",
                        "--seed", str(seed)], check=True, capture_output=True)
        synthetic.append(p)
    paths = []
    for i in range(n):
        target = CPOL if CPOL.exists() and i % 2 == 0 else synthetic[i % len(synthetic)]
        link = work / f"volume_{i:03d}.nc"
        os.symlink(target, link)
        paths.append(str(link))
    return paths


def serial(paths):
    from velmora.batch import analyze_one
    import pandas as pd
    analyze_one(paths[0])                                   # imports and first use
    start = time.perf_counter()
    pd.concat([analyze_one(p).assign(source=p) for p in paths], ignore_index=True)
    return time.perf_counter() - start


def two_processes(paths):
    """The machine's own ceiling for 2 workers: two serial runs on half the
    volumes each, side by side in processes of their own, without Dask."""
    halves = [paths[0::2], paths[1::2]]
    children = [subprocess.Popen([sys.executable, __file__, "--serial-child", *h], stdout=subprocess.PIPE, text=True)
                for h in halves]
    return max(float(c.communicate()[0]) for c in children)


def on_cluster(paths, workers):
    from distributed import Client, wait

    from velmora.batch import analyze_many, analyze_one, local_cluster
    with local_cluster(workers) as cluster, Client(cluster) as client:
        # imports and first use on every worker, in the thread that runs its tasks
        wait([client.submit(analyze_one, paths[0], workers=[w], pure=False) for w in client.scheduler_info()["workers"]])
        r = analyze_many(paths, client=client, progress=False)
    if r.summary["failed"]:
        sys.exit(f"batch_bench: {r.summary['failed']} volumes failed: {r.failures['error'].iloc[0]}")
    return r.summary["seconds"]


def main():
    # The serial runs work as the workers do, so that the difference is
    # Dask's: one thread each (Dask starts its workers with OMP_NUM_THREADS=1,
    # which velmora's reading honours), and glibc's malloc on huge pages (as
    # local_cluster starts them).
    os.environ["OMP_NUM_THREADS"] = "1"
    if "glibc.malloc.hugetlb" not in os.environ.get("GLIBC_TUNABLES", ""):
        tunables = os.environ.get("GLIBC_TUNABLES", "")
        os.environ["GLIBC_TUNABLES"] = f"{tunables}:glibc.malloc.hugetlb=1" if tunables else "glibc.malloc.hugetlb=1"
        os.execv(sys.executable, [sys.executable, *sys.argv])
    if sys.argv[1:2] == ["--serial-child"]:
        print(serial(sys.argv[2:]))
        return
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--volumes", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=1, help="runs of each way; medians are reported")
    ap.add_argument("--velmora", default=str(REPO / "build" / "velmora"))
    ap.add_argument("--keep", action="store_true", help="keep the volumes' folder")
    args = ap.parse_args()
    if not CPOL.exists():
        print(f"batch_bench: {CPOL} not found; synthetic volumes only", file=sys.stderr)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-batch-bench-"))
    try:
        paths = make_volumes(work, args.volumes, args.velmora)
        ways = {"serial": serial, "1 worker": lambda p: on_cluster(p, 1), "2 workers": lambda p: on_cluster(p, 2),
                "2 serial processes": two_processes}
        times = {k: [] for k in ways}
        for r in range(args.repeat):
            for name, way in ways.items():
                t = way(paths)
                times[name].append(t)
                print(f"  run {r + 1}/{args.repeat} {name}: {t:.2f} s", file=sys.stderr)
    finally:
        if args.keep:
            print(f"batch_bench: volumes kept in {work}", file=sys.stderr)
        else:
            shutil.rmtree(work)
    n = len(paths)
    med = {k: statistics.median(v) for k, v in times.items()}
    print(f"velmora.batch on {n} CPOL-size volumes (111 x 81 x 40), medians of {args.repeat} run(s), "
          f"{os.cpu_count()} cores")
    for name, t in med.items():
        print(f"  {name:18s} {n / t:7.2f} volumes/s  {1000 * t / n:7.1f} ms/volume")
    print(f"  2 workers / 1 worker throughput: {med['1 worker'] / med['2 workers']:.2f}x "
          f"(2 serial processes / 1, the machine's own: {med['serial'] / med['2 serial processes']:.2f}x)")
    overhead = (med["1 worker"] - med["serial"]) / n
    print(f"  Dask overhead per volume (1 worker vs serial): {1000 * overhead:.1f} ms, "
          f"{100 * overhead / (med['serial'] / n):.1f} % of the serial time per volume")


if __name__ == "__main__":
    main()
