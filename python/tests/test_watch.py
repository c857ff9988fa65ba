"""velmora watch as a process: killed at random moments, stopped by SIGTERM, and on a full disk."""
import os
import random
import resource
import shutil
import signal
import sqlite3
import subprocess
import time

import numpy as np
import pytest

from conftest import VELMORA, command


def products(out):
    """Every file the watcher wrote (its path within out -> its bytes), its state database and lock aside."""
    files = {}
    for root, _, names in os.walk(out):
        for name in names:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, out)
            if not rel.startswith("watch."):
                with open(path, "rb") as f:
                    files[rel] = f.read()
    return files


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    d = tmp_path_factory.mktemp("series")
    assert command("synth", "--series", "36", d).returncode == 0
    os.remove(d / "truth.csv")
    return d


def watch_args(series, out, *more):
    return [str(VELMORA), "watch", str(series), "--out", str(out), "--settle", "0", "--no-picture", *more]


def test_killed_at_random_moments_it_ends_as_a_run_never_interrupted(series, tmp_path):
    out, arriving = tmp_path / "out", tmp_path / "in"
    # The run never interrupted, made in the same place (the analyses' network.json name their folder).
    shutil.copytree(series, arriving)
    assert subprocess.run(watch_args(arriving, out, "--once"), capture_output=True).returncode == 0
    reference = products(out)
    shutil.rmtree(out)
    shutil.rmtree(arriving)
    arriving.mkdir()
    # Twenty runs killed at random moments, each with two more volumes arrived: every run has work in hand.
    rng = random.Random(36)
    for run in range(20):
        for k in range(2 * run, min(36, 2 * run + 2)):
            shutil.copy(series / f"series_{k:03d}.nc", arriving)
        p = subprocess.Popen(watch_args(arriving, out, "--once"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.02, 0.3))
        p.kill()
        p.wait()
    r = subprocess.run(watch_args(arriving, out, "--once"), capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    again = products(out)
    assert sorted(again) == sorted(reference)
    for name in reference:
        assert again[name] == reference[name], name
    with sqlite3.connect(out / "watch.db") as db:
        names = [n for (n,) in db.execute("SELECT name FROM volumes")]
        states = dict(db.execute("SELECT name, state FROM files"))
    assert sorted(names) == [f"series_{k:03d}.nc" for k in range(36)]
    assert set(states.values()) == {"done"} and len(states) == 36


def test_sigterm_finishes_the_volume_in_hand(series, tmp_path):
    out = tmp_path / "out"
    p = subprocess.Popen(watch_args(series, out), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = [p.stdout.readline(), p.stdout.readline()]   # the greeting, the first volume
    assert "forecast and verified" in lines[1], lines
    p.send_signal(signal.SIGTERM)
    rest, err = p.communicate(timeout=30)
    assert p.returncode == 0, err
    done = [line for line in lines + rest.splitlines() if "forecast and verified" in line]
    with sqlite3.connect(out / "watch.db") as db:
        (volumes,) = db.execute("SELECT COUNT(*) FROM volumes").fetchone()
    assert volumes == len(done) < 36
    assert rest.splitlines()[-1] == f"{volumes} volumes done in {out}"
    assert not (out / ".velmora-staging").exists()


def test_a_full_disk_leaves_the_products_as_they_were_and_the_volume_to_be_retried(series, tmp_path):
    some = tmp_path / "in"
    some.mkdir()
    for k in range(3):
        shutil.copy(series / f"series_{k:03d}.nc", some)
    out = tmp_path / "out"
    assert command("watch", some, "--out", out, "--once", "--settle", "0", "--no-picture").returncode == 0
    before = products(out)
    shutil.copy(series / "series_003.nc", some)

    def full_disk():
        # No file of the process grows past 40 kB (writes fail as on a full disk, EFBIG rather than ENOSPC): the
        # state database opens (its shared memory file takes 32 kB), the analysis fails to write.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (40960, 40960))

    r = subprocess.run(watch_args(some, out, "--once"), capture_output=True, text=True, preexec_fn=full_disk)
    assert r.returncode == 1
    assert "series_003.nc: " in r.stderr and "the output folder takes no more: tried again later" in r.stderr, r.stderr
    after = products(out)
    for name, data in before.items():
        assert after.get(name) == data, name
    # Space again: the volume is done, as if the disk had never filled.
    assert command("watch", some, "--out", out, "--once", "--settle", "0", "--no-picture").returncode == 0
    whole = tmp_path / "whole"
    assert command("watch", some, "--out", whole, "--once", "--settle", "0", "--no-picture").returncode == 0
    for name in ("tracks.csv", "verify.csv", "volumes.csv", "volumes/series_003/forecast.csv"):
        assert (out / name).read_bytes() == (whole / name).read_bytes(), name


def test_watch_yields_each_volume_and_verify_gives_the_table(series, tmp_path):
    import pandas as pd
    import velmora
    some = tmp_path / "in"
    some.mkdir()
    for k in range(8):
        shutil.copy(series / f"series_{k:03d}.nc", some)
    out = tmp_path / "out"
    got = velmora.watch(some, out, once=True, settle=0)
    first = next(got)
    assert (first.name, first.state, first.time) == ("series_000.nc", "done", np.datetime64("2006-01-20T00:00:00"))
    # One watcher per output folder, in this process too.
    with pytest.raises(RuntimeError, match="is already watched by another velmora watch"):
        next(velmora.watch(some, out, once=True, settle=0))
    rest = list(got)
    assert [v.name for v in rest] == [f"series_{k:03d}.nc" for k in range(1, 8)]
    assert all(v.state == "done" and v.cells > 0 for v in rest)
    f = rest[-1].forecast()
    assert list(f.columns[:4]) == ["track", "cell", "lead_min", "valid_time"]
    assert sorted(set(f["lead_min"])) == [10, 20, 30, 45, 60]
    assert len(f) == 5 * rest[-1].cells
    # Started again with nothing new: nothing to yield.
    assert list(velmora.watch(some, out, once=True, settle=0)) == []
    table = velmora.verify(out)
    csv = pd.read_csv(out / "verify.csv")
    assert list(table.columns) == list(csv.columns)
    for col in ["lead_min", "method", "volumes", "hits", "misses", "false_alarms", "centres"]:
        assert list(table[col]) == list(csv[col]), col
    np.testing.assert_allclose(table["csi"], csv["csi"], atol=1e-4)
    with pytest.raises(ValueError, match="leads: 0 is not from 0.5 to 360 min"):
        velmora.verify(out, leads=[0])
    with pytest.raises(RuntimeError, match="volumes.csv: cannot be read"):
        velmora.verify(tmp_path)


def test_watch_takes_the_hail_levels_and_refuses_a_sounding_that_cannot_be_used(series, tmp_path):
    import pandas as pd
    import velmora
    some = tmp_path / "in"
    some.mkdir()
    for k in range(2):
        shutil.copy(series / f"series_{k:03d}.nc", some)
    done = list(velmora.watch(some, tmp_path / "out", once=True, settle=0, freezing_level=2, minus20_level=4))
    assert [v.state for v in done] == ["done", "done"]
    tracks = pd.read_csv(tmp_path / "out" / "tracks.csv")
    assert {"shi", "mesh_mm", "posh_pct", "poh_pct"} <= set(tracks.columns)
    assert (tmp_path / "out" / "volumes" / "series_001" / "mesh.nc").exists()
    (tmp_path / "warm.csv").write_text("height_m,temperature_c\n0,30\n9000,5\n")
    with pytest.raises(ValueError, match="warm.csv never reaches 0 °C"):
        next(velmora.watch(some, tmp_path / "out2", once=True, settle=0, sounding=tmp_path / "warm.csv"))
    with pytest.raises(ValueError, match="chunk_timeout: 0 is not from 1 to 1000000 s"):
        next(velmora.watch(some, tmp_path / "out3", once=True, chunk_timeout=0))


def test_a_network_folder_gives_one_mosaic_per_time_naming_the_radars_that_did_not_come(tmp_path):
    import velmora
    from conftest import DATA
    volumes = {r: DATA / f"odim_{r}_201906060000.h5" for r in ("bejab", "bewid")}
    if not all(p.exists() for p in volumes.values()):
        pytest.skip("the Belgian radars' volumes (odim_be*_201906060000.h5) are absent")
    folder = tmp_path / "in"
    arrived = time.time() - 100   # both came at once, and the deadline is past
    for radar, path in volumes.items():
        (folder / radar).mkdir(parents=True)
        os.utime(shutil.copy(path, folder / radar), (arrived, arrived))
    (folder / "behel").mkdir()
    got = list(velmora.watch(folder, tmp_path / "out", once=True, settle=0, deadline=0,
                             polar=dict(origin=(50.7, 4.6), extent=(-100, 100, -100, 100))))
    assert [(v.name, v.state, v.radars, v.missing) for v in got] == [
        ("bejab/odim_bejab_201906060000.h5", "done", ["bejab", "bewid"], ["behel"])]
    assert got[0].cells > 0
    with pytest.raises(ValueError, match="deadline"):
        next(velmora.watch(folder, tmp_path / "other", deadline=-1))
