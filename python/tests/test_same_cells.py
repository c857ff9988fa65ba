"""velmora.analyze gives the cells `velmora analyze` gives, with the cell
properties of cell_properties.csv column by column."""
import filecmp
import os

import numpy as np
import pandas as pd
import pytest

import velmora
from velmora import _core
from conftest import command

# The statistics module's columns of cells.csv that the DataFrame carries.
CSV_COLUMNS = {"AreaNo": "cell", "NumPoints": "voxels", "DT_Min": "min_dbz", "DT_Max": "max_dbz", "DT_SD": "sd_dbz"}


def assert_as_the_command(a, volume, out, *options):
    """a's cells are those of the command with the options: cells.csv with
    the DataFrame's names joined to cell_properties.csv, and the table it
    printed; returns what it printed."""
    r = command("analyze", volume, "--out", out, "--no-picture", *options)
    assert r.returncode == 0, r.stderr
    stat = pd.read_csv(out / "cells.csv").rename(columns=CSV_COLUMNS)[list(CSV_COLUMNS.values())]
    csv = pd.read_csv(out / "cell_properties.csv").merge(stat, on=["cell", "voxels"], suffixes=("", "_stat"))
    assert list(a.cells["cell"]) == list(csv["cell"])
    assert list(a.cells["voxels"]) == list(csv["voxels"])
    for col in csv.columns:
        # cells.csv holds 7 significant digits, cell_properties.csv 8
        np.testing.assert_allclose(a.cells[col.removesuffix("_stat")], csv[col], rtol=1e-6, atol=1e-6,
                                   equal_nan=True, err_msg=col)
    rows = [line.split() for line in r.stdout.splitlines()[2:2 + len(a.cells)]]
    assert [f"{t:.1f}" for t in a.cells["top_km"]] == [r[2] for r in rows]
    assert [f"{m:.1f}" for m in a.cells["max_dbz"]] == [r[3] for r in rows]
    return r.stdout


def test_scene_as_the_command(scene, tmp_path):
    a = velmora.analyze(scene)
    assert len(a.cells) == 5
    table = assert_as_the_command(a, scene, tmp_path / "cmd")
    # a uniform grid of 1 x 1 x 0.5 km voxels
    np.testing.assert_allclose(a.cells["volume_km3"], a.cells["voxels"] * 0.5)
    # The raw result carries cell_properties.csv's columns, in its order and to its 8 digits.
    raw = _core.analyze_file(str(scene), "DT", 40.0, 8, _core.only_time, _core.max_volume_nodes)
    props, written = raw["properties"], pd.read_csv(tmp_path / "cmd" / "cell_properties.csv")
    assert list(props) == list(written.columns)
    assert props["cell"].dtype == np.int32 and props["vil_kg_m2"].dtype == np.float64
    np.testing.assert_array_equal(props["cell"], raw["cells"]["cell"])
    for name in written.columns:
        np.testing.assert_allclose(props[name], written[name], rtol=1e-7, equal_nan=True, err_msg=name)

    # to_files writes what the command writes.
    assert a.to_files(tmp_path / "py", picture=False).splitlines()[:7] == table.splitlines()[:7]
    assert sorted(os.listdir(tmp_path / "py")) == sorted(os.listdir(tmp_path / "cmd"))
    for name in ["cells.csv", "cell_properties.csv", "surface_cells.csv", "cells_ijk.txt", "analysis.log"]:
        assert filecmp.cmp(tmp_path / "py" / name, tmp_path / "cmd" / name, shallow=False), name
    # the volume written for ParaView reads back as a volume with the same cells
    b = velmora.analyze(tmp_path / "py" / "radar.vti", var="DT")
    np.testing.assert_array_equal(b.labels.values, a.labels.values)
    np.testing.assert_array_equal(b.cells["mean_dbz"], a.cells["mean_dbz"])


def test_cpol_cells_divided_at_their_cores_as_the_command_and_on_the_map(cpol, tmp_path):
    xr = pytest.importorskip("xarray")
    a = velmora.analyze(cpol, split_levels=[50], echo_tops=[30, 45])
    assert_as_the_command(a, cpol, tmp_path / "cmd", "--split-levels", "50", "--echo-tops", "30,45")
    assert (a.cells["parent"] == a.cells["cell"]).sum() == 16
    assert (a.cells["parent"] != a.cells["cell"]).sum() == 2          # cell 2 divides in three
    assert (a.cells["time"] == np.datetime64("2006-01-20T00:50:08")).all()
    counts = np.bincount(a.labels.values.ravel())
    assert [counts[c] for c in a.cells["cell"]] == list(a.cells["voxels"])
    a.to_files(tmp_path / "py", picture=False)
    assert (tmp_path / "py" / "cell_properties.csv").read_text() == (tmp_path / "cmd" / "cell_properties.csv").read_text()
    with pytest.raises(ValueError):
        velmora.analyze(cpol, split_levels=[35])                      # under the level of the cells

    # Within 60 km of the radar a degree is 110.6 km of latitude and
    # 111.32 cos(lat) km of longitude on WGS 84, to better than 0.1 %.
    lat0, lon0 = a.origin
    assert (round(lat0, 4), round(lon0, 4)) == (-12.2492, 131.0444)
    c = a.cells
    np.testing.assert_allclose(c["lat"], lat0 + c["wy_km"] / 110.6, atol=2e-3)
    np.testing.assert_allclose(c["lon"], lon0 + c["wx_km"] / (111.32 * np.cos(np.radians(c["lat"]))), atol=2e-3)
    # The Dataset carries the origin, the DataArray alone does not.
    with xr.open_dataset(cpol) as ds:
        from_dataset = velmora.analyze(ds, split_levels=[50], echo_tops=[30, 45]).cells
        alone = velmora.analyze(ds["DT"], split_levels=[50], echo_tops=[30, 45]).cells
        given = velmora.analyze(ds["DT"], origin=a.origin, split_levels=[50], echo_tops=[30, 45]).cells
    assert "lat" not in alone
    for other in (from_dataset, given):
        pd.testing.assert_frame_equal(other, c)
