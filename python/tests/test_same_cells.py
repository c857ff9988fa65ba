"""velmora.analyze gives the cells `velmora analyze` gives."""
import numpy as np
import pandas as pd
import pytest

import velmora
from conftest import command

# The statistics module's columns of cells.csv that the DataFrame carries.
CSV_COLUMNS = {"AreaNo": "cell", "NumPoints": "voxels", "DT_Min": "min_dbz", "DT_Max": "max_dbz", "DT_SD": "sd_dbz"}


def command_cells(volume, out, *extra):
    """cells.csv with the DataFrame's names joined to cell_properties.csv, and
    what the command printed."""
    r = command("analyze", volume, "--out", out, "--no-picture", *extra)
    assert r.returncode == 0, r.stderr
    stat = pd.read_csv(out / "cells.csv").rename(columns=CSV_COLUMNS)[list(CSV_COLUMNS.values())]
    props = pd.read_csv(out / "cell_properties.csv")
    return props.merge(stat, on=["cell", "voxels"], suffixes=("", "_stat")), r.stdout


def assert_same(df, csv, table):
    assert list(df["cell"]) == list(csv["cell"])
    assert list(df["voxels"]) == list(csv["voxels"])
    for col in csv.columns:
        # cells.csv holds 7 significant digits, cell_properties.csv 8
        np.testing.assert_allclose(df[col.removesuffix("_stat")], csv[col], rtol=1e-6, atol=1e-6, equal_nan=True,
                                   err_msg=col)
    rows = [l.split() for l in table.splitlines()[2:2 + len(df)]]
    assert [f"{t:.1f}" for t in df["top_km"]] == [r[2] for r in rows]
    assert [f"{m:.1f}" for m in df["max_dbz"]] == [r[3] for r in rows]


def test_cpol_16_cells_as_the_command(cpol, tmp_path):
    csv, table = command_cells(cpol, tmp_path / "cmd", "--var", "DT", "--level", "40")
    a = velmora.analyze(str(cpol), var="DT", level=40)
    assert len(a.cells) == 16
    assert_same(a.cells, csv, table)
    assert (a.cells["time"] == np.datetime64("2006-01-20T00:50:08")).all()


def test_cpol_from_xarray_as_the_command(cpol, tmp_path):
    xr = pytest.importorskip("xarray")
    csv, table = command_cells(cpol, tmp_path / "cmd")
    with xr.open_dataset(cpol) as ds:
        a = velmora.analyze(ds["DT"])
    assert "lat" not in a.cells   # the DataArray alone has no origin
    assert_same(a.cells, csv.drop(columns=["lat", "lon"]), table)
    labels = a.labels
    assert labels.dims == ("time", "z", "y", "x")
    assert int(labels.max()) == int(csv["cell"].max())
    counts = np.bincount(labels.values.ravel())
    assert [counts[c] for c in csv["cell"]] == list(csv["voxels"])


def test_scene_as_the_command(scene, tmp_path):
    csv, table = command_cells(scene, tmp_path / "cmd")
    a = velmora.analyze(scene)
    assert len(a.cells) == 5
    assert_same(a.cells, csv, table)
    # a uniform grid of 1 x 1 x 0.5 km voxels
    np.testing.assert_allclose(a.cells["volume_km3"], a.cells["voxels"] * 0.5)


def test_cpol_cells_on_the_map(cpol):
    xr = pytest.importorskip("xarray")
    a = velmora.analyze(str(cpol))
    lat0, lon0 = a.origin
    assert (round(lat0, 4), round(lon0, 4)) == (-12.2492, 131.0444)
    # Within 60 km of the radar a degree is 110.6 km of latitude and
    # 111.32 cos(lat) km of longitude on WGS 84, to better than 0.1 %.
    c = a.cells
    np.testing.assert_allclose(c["lat"], lat0 + c["wy_km"] / 110.6, atol=2e-3)
    np.testing.assert_allclose(c["lon"], lon0 + c["wx_km"] / (111.32 * np.cos(np.radians(c["lat"]))), atol=2e-3)
    with xr.open_dataset(cpol) as ds:
        from_dataset = velmora.analyze(ds).cells
        assert "lat" not in velmora.analyze(ds["DT"]).cells     # a DataArray alone has no origin
        given = velmora.analyze(ds["DT"], origin=a.origin).cells
    for other in (from_dataset, given):
        np.testing.assert_array_equal(other[["lat", "lon"]].to_numpy(), c[["lat", "lon"]].to_numpy())
