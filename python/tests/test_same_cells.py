"""velmora.analyze gives the cells `velmora analyze` gives, cell_properties.csv column by column."""
import filecmp
import os

import numpy as np
import pandas as pd
import pytest

import velmora
from conftest import command

# The statistics module's columns of cells.csv that the DataFrame carries.
CSV_COLUMNS = {"AreaNo": "cell", "NumPoints": "voxels", "DT_Min": "min_dbz", "DT_Max": "max_dbz", "DT_SD": "sd_dbz"}


def test_scene_as_the_command(scene, tmp_path):
    a = velmora.analyze(scene)
    assert len(a.cells) == 5
    r = command("analyze", scene, "--out", tmp_path / "cmd", "--no-picture")
    assert r.returncode == 0, r.stderr
    stat = pd.read_csv(tmp_path / "cmd" / "cells.csv").rename(columns=CSV_COLUMNS)[list(CSV_COLUMNS.values())]
    csv = pd.read_csv(tmp_path / "cmd" / "cell_properties.csv").merge(stat, on=["cell", "voxels"], suffixes=("", "_s"))
    assert list(a.cells["cell"]) == list(csv["cell"]) and list(a.cells["voxels"]) == list(csv["voxels"])
    # The scene has no time: an empty field in the file, NaT in the table.
    assert csv["time"].isna().all() and a.cells["time"].isna().all()
    for col in csv.columns.drop("time"):
        # cells.csv holds 7 significant digits, cell_properties.csv 8
        np.testing.assert_allclose(a.cells[col.removesuffix("_s")], csv[col], rtol=1e-6, atol=1e-6, err_msg=col)
    # to_files writes what the command writes.
    assert a.to_files(tmp_path / "py", picture=False).splitlines()[:7] == r.stdout.splitlines()[:7]
    assert sorted(os.listdir(tmp_path / "py")) == sorted(os.listdir(tmp_path / "cmd"))
    for name in ["cells.csv", "cell_properties.csv", "surface_cells.csv", "cells_ijk.txt", "analysis.log"]:
        assert filecmp.cmp(tmp_path / "py" / name, tmp_path / "cmd" / name, shallow=False), name


def test_cpol_cells_divided_at_their_cores_and_on_the_map(cpol):
    xr = pytest.importorskip("xarray")
    a = velmora.analyze(cpol, split_levels=[50], echo_tops=[30, 45], min_volume=0)
    assert (a.cells["parent"] == a.cells["cell"]).sum() == 16
    assert (a.cells["parent"] != a.cells["cell"]).sum() == 2          # cell 2 divides in three
    # The largest face-connected objects of this scan at 40 dBZ, as a plain flood fill counts them; a
    # divided cell's parts add up to its object.
    assert a.cells.groupby("parent")["voxels"].sum().nlargest(4).tolist() == [3098, 1427, 183, 174]
    assert {"echo_top_30_km", "echo_top_45_km"} <= set(a.cells) and "echo_top_18_km" not in a.cells
    assert (a.cells["time"] == np.datetime64("2006-01-20T00:50:08")).all()
    counts = np.bincount(a.labels.values.ravel())
    assert [counts[c] for c in a.cells["cell"]] == list(a.cells["voxels"])
    # Near the radar a degree is 110.6 km of latitude on WGS 84 (the positions themselves are the C++ tests').
    assert tuple(round(d, 4) for d in a.origin) == (-12.2492, 131.0444)
    c = a.cells
    np.testing.assert_allclose(c["lat"], a.origin[0] + c["wy_km"] / 110.6, atol=2e-3)
    # The Dataset carries the origin, the DataArray alone does not.
    with xr.open_dataset(cpol) as ds:
        pd.testing.assert_frame_equal(velmora.analyze(ds, split_levels=[50], echo_tops=[30, 45], min_volume=0).cells, c)
        assert "lat" not in velmora.analyze(ds["DT"], split_levels=[50], echo_tops=[30, 45]).cells
