"""How long a command takes as a whole process, start-up included.

Each command runs as users start it (build/velmora, the launcher) and is
timed from fork to exit, median of --repeat runs. The reference, in the
same run, is the same command with the picture library preloaded
(LD_PRELOAD=libvelmora_pictures.so): every command loaded VTK's rendering,
OpenGL and X11 at start before the pictures moved into a library of their
own. The targets are 0.02 s for `velmora modules` and 0.06 s for a CPOL
analysis without its pictures.

    make bench-startup
    /usr/bin/python3 bench/startup_bench.py [--repeat N] [--build DIR]
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CPOL = os.path.join(ROOT, "..", "shared", "data", "cpol_200601200050.nc")


def seconds(cmd, cwd, env, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def libraries(cmd, cwd):
    """The number of shared objects the program proper maps."""
    log = os.path.join(cwd, "ld")
    env = dict(os.environ, LD_DEBUG="files", LD_DEBUG_OUTPUT=log)
    subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    counts = []
    for name in os.listdir(cwd):
        if name.startswith("ld."):
            with open(os.path.join(cwd, name), errors="replace") as f:
                counts.append(sum(1 for line in f if "calling init:" in line))
            os.remove(os.path.join(cwd, name))
    return max(counts, default=0)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--repeat", type=int, default=15)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    a = p.parse_args()
    velmora = os.path.abspath(os.path.join(a.build, "velmora"))
    preload = dict(os.environ, LD_PRELOAD=os.path.abspath(os.path.join(a.build, "libvelmora_pictures.so")))
    with tempfile.TemporaryDirectory() as work:
        volume = CPOL
        if not os.path.exists(volume):
            print(f"{CPOL} absent: the synthetic volume instead")
            volume = os.path.join(work, "scene.nc")
            subprocess.run([velmora, "synth", volume], check=True, stdout=subprocess.DEVNULL)
        commands = [("modules", ["modules"], 0.02),
                    ("analyze --no-picture", ["analyze", volume, "--no-picture", "--out", "a"], 0.06),
                    ("analyze (pictures)", ["analyze", volume, "--out", "b"], None)]
        print(f"median of {a.repeat} whole processes; reference: the picture library loaded at start")
        print(f"{'command':24} {'libs':>5} {'velmora s':>10} {'reference s':>12} {'ratio':>6} {'target s':>9}")
        for label, args, target in commands:
            cmd = [velmora, *args]
            libs = libraries(cmd, work)
            ours = seconds(cmd, work, None, a.repeat)
            ref = seconds(cmd, work, preload, a.repeat)
            mark = "" if target is None else f"{target:9.2f}{'' if ours <= target else ' MISSED'}"
            print(f"{label:24} {libs:5d} {ours:10.3f} {ref:12.3f} {ref / ours:6.2f} {mark}")


if __name__ == "__main__":
    main()
