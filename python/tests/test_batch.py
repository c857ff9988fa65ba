"""velmora.batch.analyze_many and `velmora batch` give the table of analyzing each file alone, whatever the
workers, a failing volume or a worker killed mid-batch."""
import io
import os
import pathlib
import shutil
import signal
import subprocess
import threading
import time

import pandas as pd
import pytest

import velmora
from conftest import DATA, VELMORA, command

distributed = pytest.importorskip("distributed")
from velmora.batch import analyze_many, local_cluster, summary_line  # noqa: E402

# Debian's tornado and distributed 2022.12 warn about each other.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def volumes(tmp_path_factory):
    """Six small synthetic volumes, and a file that is no volume in the middle."""
    d = tmp_path_factory.mktemp("volumes")
    for seed in range(1, 7):
        assert command("synth", d / f"v{seed}.nc", "--nx", "48", "--ny", "40", "--nz", "16", "--cells", "4", "--seed",
                       seed).returncode == 0
    (d / "bad.nc").write_text("not a volume\n")
    return [str(d / f"{name}.nc") for name in ("v1", "v2", "v3", "bad", "v4", "v5", "v6")]


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(autouse=True)
def workers_keep_no_arrays(request):
    yield
    if "client" in request.fixturenames:
        assert set(request.getfixturevalue("client").run(velmora.outstanding_arrays).values()) == {0}


def alone(paths):
    """The table and failures of analyzing each file on its own, here."""
    frames, failures = [], []
    for p in paths:
        try:
            cells = velmora.analyze(p).cells
        except Exception as e:  # noqa: BLE001
            failures.append((p, str(e)))
            continue
        frames.append(cells.assign(source=p, time=cells["time"] if "time" in cells else pd.NaT))
    table = pd.concat(frames, ignore_index=True)
    return table[["source", "time"] + [c for c in table.columns if c not in ("source", "time")]], failures


def assert_as_alone(result, paths):
    table, failures = alone(paths)
    pd.testing.assert_frame_equal(result.cells, table)
    assert list(zip(result.failures["source"], result.failures["error"])) == failures
    assert (result.summary["done"], result.summary["failed"], result.summary["cells"]) == \
        (len(paths) - len(failures), len(failures), len(table))


def test_as_each_file_alone_with_a_failing_volume_on_one_worker_or_two(client, volumes):
    two = analyze_many(volumes, client=client.scheduler.address, progress=False)
    assert_as_alone(two, volumes)
    assert two.failures["source"].tolist() == [volumes[3]]
    cells, failures = two
    assert cells is two.cells and failures is two.failures
    one = analyze_many(volumes, workers=1, progress=False)            # a LocalCluster of its own
    pd.testing.assert_frame_equal(one.cells, two.cells)
    pd.testing.assert_frame_equal(one.failures, two.failures)


def test_out_folders_as_the_command(client, volumes, tmp_path):
    twin = tmp_path / "other" / "v1.nc"                                # a second v1: folder v1-2
    twin.parent.mkdir()
    shutil.copy(volumes[0], twin)
    paths = [volumes[0], volumes[3], str(twin), volumes[1]]
    for _ in range(2):                                                 # the second run replaces the first
        r = analyze_many(paths, client=client, out=tmp_path / "out", picture=False, progress=False)
        assert sorted(os.listdir(tmp_path / "out")) == [".velmora-results", "cells.csv", "failures.csv", "v1", "v1-2",
                                                        "v2"]
    assert command("analyze", volumes[0], "--out", tmp_path / "cmd", "--no-picture").returncode == 0
    for folder in ("v1", "v1-2"):
        assert sorted(os.listdir(tmp_path / "out" / folder)) == sorted(os.listdir(tmp_path / "cmd"))
        assert (tmp_path / "out" / folder / "cells.csv").read_text() == (tmp_path / "cmd" / "cells.csv").read_text()
    assert pd.read_csv(tmp_path / "out" / "cells.csv")["source"].tolist() == r.cells["source"].tolist()
    assert pd.read_csv(tmp_path / "out" / "failures.csv")["source"].tolist() == [volumes[3]]


def test_out_is_replaced_only_when_velmora_wrote_it(client, volumes, tmp_path):
    out = tmp_path / "out"
    analyze_many(volumes[:2], client=client, out=out, picture=False, progress=False)
    notes = out / "v1" / "my_notes.txt"
    notes.write_text("mine\n")
    before = sorted(os.listdir(out))
    says = (f"{out} holds v1/my_notes.txt, which velmora did not write: velmora replaces only a folder of its own "
            "results (move v1/my_notes.txt away, or choose another folder)")
    with pytest.raises(ValueError) as e:
        analyze_many(volumes[:2], client=client, out=out, picture=False, progress=False)
    assert str(e.value) == says
    r = command("batch", *volumes[:2], "--scheduler", client.scheduler.address, "--no-progress", "--out", out)
    assert (r.returncode, r.stderr) == (2, f"velmora batch: {says}\n")
    assert notes.read_text() == "mine\n" and sorted(os.listdir(out)) == before
    assert sorted(os.listdir(tmp_path)) == ["out"], "nothing left beside"


def test_volumes_never_take_the_batchs_own_names(client, volumes, tmp_path):
    named = tmp_path / "cells.csv.nc"
    shutil.copy(volumes[0], named)
    out = tmp_path / "out"
    r = analyze_many([str(named), volumes[1]], client=client, out=out, picture=False, progress=False)
    assert sorted(os.listdir(out)) == [".velmora-results", "cells.csv", "cells.csv-2", "failures.csv", "v2"]
    assert pd.read_csv(out / "cells.csv")["source"].tolist() == r.cells["source"].tolist()
    assert r.folders == {str(named): str(out / "cells.csv-2"), volumes[1]: str(out / "v2")}
    # A volume among the earlier results is read before they are replaced, and stays.
    inside = out / "cells.csv-2" / "again.nc"
    shutil.copy(volumes[0], inside)
    with pytest.raises(ValueError, match="holds cells.csv-2/again.nc, which velmora did not write"):
        analyze_many([str(named)], client=client, out=out, picture=False, progress=False)
    r = analyze_many([str(inside)], client=client, out=out, picture=False, progress=False)
    assert r.summary["done"] == 1 and sorted(os.listdir(out)) == [".velmora-results", "again", "cells.csv",
                                                                  "cells.csv-2", "failures.csv"]
    assert inside.read_bytes() == named.read_bytes()


def test_cpol_twice(client, cpol, tmp_path):
    os.symlink(cpol, tmp_path / "again.nc")
    r = analyze_many([str(cpol), str(tmp_path / "again.nc")], client=client, progress=False)
    # 16 cells, 9 of them smaller than the default least volume (10 km³).
    assert r.cells.groupby("source", sort=False).size().tolist() == [7, 7]
    assert (r.cells["time"] == pd.Timestamp("2006-01-20T00:50:08")).all()
    assert len(analyze_many([str(cpol)], client=client, progress=False, min_volume=0).cells) == 16
    # The command writes the time as every file of velmora does: ISO 8601 in UTC.
    r = command("batch", cpol, "--scheduler", client.scheduler.address, "--no-progress")
    assert r.returncode == 0, r.stderr
    assert set(pd.read_csv(io.StringIO(r.stdout), dtype={"time": str})["time"]) == {"2006-01-20T00:50:08Z"}


@pytest.mark.parametrize("settings, message", [
    (dict(level=float("nan")), 'level: not a finite number from -100 to 100 dBZ: "nan"'),
    (dict(min_cells=-1), "min_cells: -1 is not from 0 to 2147483647"),
    (dict(retries=-1), "retries: -1 is not from 0 to 100"),
])
def test_settings_refused_before_the_batch(client, volumes, settings, message):
    with pytest.raises(ValueError) as e:
        analyze_many(volumes, client=client, **settings)
    assert str(e.value) == message


def test_hail_levels_as_analyze_takes_them_and_a_sounding_read_once(client, volumes, tmp_path):
    paths = [volumes[0], volumes[1]]
    r = analyze_many(paths, client=client, progress=False, freezing_level=2.0, minus20_level=4.0)
    expected = pd.concat([velmora.analyze(p, freezing_level=2.0, minus20_level=4.0).cells.assign(source=p)
                          for p in paths], ignore_index=True)
    assert {"shi", "mesh_mm", "posh_pct", "poh_pct"} <= set(r.cells.columns)
    pd.testing.assert_frame_equal(r.cells[expected.columns], expected, check_dtype=False)
    (tmp_path / "sounding.csv").write_text("height_m,temperature_c\n0,12\n2000,0\n4000,-20\n9000,-50\n")
    from_sounding = analyze_many(paths, client=client, progress=False, sounding=tmp_path / "sounding.csv")
    pd.testing.assert_frame_equal(from_sounding.cells, r.cells)
    (tmp_path / "warm.csv").write_text("height_m,temperature_c\n0,30\n9000,5\n")
    with pytest.raises(ValueError) as e:
        analyze_many(paths, client=client, progress=False, sounding=tmp_path / "warm.csv")
    assert str(e.value) == f"the sounding {tmp_path / 'warm.csv'} never reaches 0 °C"
    with pytest.raises(ValueError) as e:
        analyze_many(paths, client=client, progress=False, freezing_level=2.0)
    assert str(e.value) == "give both --freezing-level and --minus20-level (or --sounding)"


def test_command_and_its_launcher(client, volumes, tmp_path):
    r = command("batch", *volumes[2:5], "--scheduler", client.scheduler.address, "--no-progress")
    assert r.returncode == 1, r.stderr
    table, failures = alone(volumes[2:5])
    got = pd.read_csv(io.StringIO(r.stdout))
    pd.testing.assert_frame_equal(got.drop(columns="time"), table.drop(columns="time"), check_dtype=False)
    lines = r.stderr.splitlines()
    assert lines[0] == f"velmora batch: {failures[0][0]}: {failures[0][1]}"
    assert lines[1].startswith("velmora batch: 3 volumes in ") and f": 2 done, 1 failed, {len(table)} cells" in lines[1]
    assert lines[2] == ("velmora batch: no hail columns: give --freezing-level and --minus20-level (km above sea "
                        "level) or --sounding FILE.")
    r = command("batch", volumes[0], "--scheduler", client.scheduler.address, "--no-progress", "--freezing-level", "2",
                "--minus20-level", "4")
    assert r.returncode == 0, r.stderr
    assert "mesh_mm" in r.stdout.splitlines()[0] and "no hail columns" not in r.stderr
    # Without the package beside it, the launcher says so.
    shutil.copy(VELMORA, tmp_path / "velmora")
    r = subprocess.run([str(tmp_path / "velmora"), "batch", "x.nc"], capture_output=True, text=True)
    assert r.returncode == 127
    assert r.stderr.startswith("velmora batch: the Python package velmora is not beside this program")


BELGIUM = [DATA / f"odim_{radar}_201906060000.h5" for radar in ("bejab", "bewid", "behel")]
DEN_HELDER = DATA / "odim_nldhl_201106101140.h5"
# A coarse grid about Belgium, which keeps each mosaic to a few seconds.
NETWORK_GRID = dict(origin=(50.7, 4.6), extent=(-200, 200, -200, 200), spacing=(4, 4, 1), levels=(1, 12))


@pytest.fixture
def network():
    if not all(p.exists() for p in [*BELGIUM, DEN_HELDER]):
        pytest.skip(f"the Belgian and Den Helder radar volumes are not in {DATA} (the batch's network tests are "
                    "skipped)")
    return [str(p) for p in [*BELGIUM, DEN_HELDER]]


def test_a_networks_volumes_are_one_mosaic_per_time_step(client, network, tmp_path, capfd):
    # Den Helder in 2011 and the Belgian radars in 2019: a step of Den Helder alone, which the
    # others missed, and one of the three together, each one mosaic on the series' grid.
    out = tmp_path / "out"
    r = analyze_many(network, client=client, out=out, grid=NETWORK_GRID, progress=False)
    assert "velmora batch: 4 volumes of 4 radars in 2 time steps, each one mosaic\n" in capfd.readouterr().err
    s = r.summary
    assert (s["volumes"], s["steps"], s["radars"], s["done"], s["failed"]) == (4, 2, 4, 2, 0)
    assert summary_line(s).startswith("2 time steps of 4 volumes in ") and ": 2 done, 0 failed, " in summary_line(s)
    assert r.folders == {network[3]: str(out / "odim_nldhl_201106101140"),
                         network[0]: str(out / "odim_bejab_201906060000")}
    # The Belgian step's cells are those of velmora.analyze of the three, the step named after its first file.
    mosaic = velmora.analyze(network[:3], grid=NETWORK_GRID).cells
    step = r.cells[r.cells["source"] == network[0]]
    assert list(r.cells.columns[:3]) == ["source", "files", "time"] and len(step) == len(r.cells)
    assert (step["files"] == " + ".join(network[:3])).all()
    assert len(step) == len(mosaic) > 0
    assert step["voxels"].tolist() == mosaic["voxels"].tolist()
    assert step["max_dbz"].tolist() == pytest.approx(mosaic["max_dbz"].tolist())
    assert (step["time"] == mosaic["time"]).all()
    # Both steps' folders hold their analysis of a volume on the one grid.
    netCDF4 = pytest.importorskip("netCDF4")
    axes = []
    for folder in r.folders.values():
        assert (pathlib.Path(folder) / "cell_properties.csv").exists()
        with netCDF4.Dataset(pathlib.Path(folder) / "DT.nc") as nc:
            axes.append([nc[axis][:].tolist() for axis in ("x", "y", "z")])
    assert axes[0] == axes[1]
    table = pd.read_csv(out / "cells.csv")
    assert table["files"].tolist() == step["files"].tolist()
    assert pd.read_csv(out / "failures.csv").columns.tolist() == ["source", "files", "error", "type"]


def test_command_grids_a_network_over_every_radar_unless_given_an_extent(client, network, tmp_path):
    paths = [network[0], network[3]]
    out = tmp_path / "out"
    r = command("batch", *paths, "--scheduler", client.scheduler.address, "--no-progress", "--out", out,
                "--spacing", "4,4,1", "--levels", "1,12")
    assert r.returncode == 0, r.stderr
    assert r.stderr.startswith("velmora batch: 2 volumes of 2 radars in 2 time steps, each one mosaic\n")
    assert "velmora batch: 2 time steps of 2 volumes in " in r.stderr
    xmin, xmax, ymin, ymax = velmora._core.network_series(paths, dict(spacing=(4, 4, 1)))["extent"]
    netCDF4 = pytest.importorskip("netCDF4")
    for step in ("odim_bejab_201906060000", "odim_nldhl_201106101140"):
        with netCDF4.Dataset(out / step / "DT.nc") as nc:
            x, y = nc["x"][:] / 1000, nc["y"][:] / 1000
        assert (x[0], x[-1], y[0], y[-1]) == pytest.approx((xmin, xmax, ymin, ymax)), step
    assert ymax - ymin > 600, "both radars' ranges, not the default extent of one"


def test_a_time_step_that_fails_is_reported_by_its_files(client, network, tmp_path, monkeypatch):
    # A step of a file gone by the time a worker reads it: the other step is done, this one reported.
    gone = str(tmp_path / "gone.h5")
    paths = [network[0], gone]
    series = dict(steps=[[network[0]], [gone]], radars=2, origin=NETWORK_GRID["origin"],
                  extent=NETWORK_GRID["extent"])
    monkeypatch.setattr(velmora.batch, "_network", lambda names, options: series)
    out = tmp_path / "out"
    r = analyze_many(paths, client=client, out=out, grid=NETWORK_GRID, progress=False, retries=0)
    assert (r.summary["steps"], r.summary["done"], r.summary["failed"]) == (2, 1, 1)
    assert r.failures.columns.tolist() == ["source", "files", "error", "type"]
    assert r.failures[["source", "files"]].values.tolist() == [[gone, gone]] and gone in r.failures["error"][0]
    assert sorted(os.listdir(out)) == [".velmora-results", "cells.csv", "failures.csv", "odim_bejab_201906060000"]


def test_one_radars_volumes_are_each_analyzed_alone(client, network, tmp_path, capfd):
    again = tmp_path / "again.h5"
    shutil.copy(network[2], again)
    paths = [network[2], str(again)]
    r = analyze_many(paths, client=client, grid=NETWORK_GRID, progress=False)
    assert "mosaic" not in capfd.readouterr().err and "steps" not in r.summary
    expected = pd.concat([velmora.analyze(p, grid=NETWORK_GRID).cells.assign(source=p) for p in paths],
                         ignore_index=True)
    pd.testing.assert_frame_equal(r.cells, expected[["source", "time"] + [c for c in expected if c not in
                                                                            ("source", "time")]])
    assert len(r.cells) > 0 and r.summary["done"] == 2


def test_a_killed_worker_loses_no_volume(client, volumes):
    """Runs last: the killed worker's nanny starts a new one."""
    killed = []

    def kill_a_busy_worker():
        pids = client.run(os.getpid)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            busy = [w for w, keys in client.processing().items() if keys]
            if busy:
                killed.append(busy[0])
                os.kill(pids[busy[0]], signal.SIGKILL)
                return
            time.sleep(0.005)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    r = analyze_many(volumes * 3, client=client, retries=0, progress=False)
    killer.join()
    assert killed, "no worker was busy"
    assert_as_alone(r, volumes * 3)
    client.wait_for_workers(2, timeout=60)
