"""The raw result of the analysis carries the cell properties of
cell_properties.csv, column by column."""
import numpy as np
import pandas as pd
import pytest

from velmora import _core
from conftest import command


def test_properties_as_the_command(scene, tmp_path):
    raw = _core.analyze_file(str(scene), "DT", 40.0, 8, _core.only_time, _core.max_volume_nodes)
    props = raw["properties"]
    r = command("analyze", scene, "--out", tmp_path / "cmd", "--no-picture")
    assert r.returncode == 0, r.stderr
    csv = pd.read_csv(tmp_path / "cmd" / "cell_properties.csv")
    assert list(props) == list(csv.columns)
    assert props["cell"].dtype == np.int32 and props["vil_kg_m2"].dtype == np.float64
    np.testing.assert_array_equal(props["cell"], raw["cells"]["cell"])
    for name in csv.columns:
        # the file holds 8 significant digits
        np.testing.assert_allclose(props[name], csv[name], rtol=1e-7, equal_nan=True, err_msg=name)


def test_no_echo_has_the_columns_and_no_rows():
    values = np.zeros((2, 3, 4), dtype=np.float32)
    x, y, z = np.arange(4.0), np.arange(3.0), np.array([0.5, 1.0])
    raw = _core.analyze_array(values, x, y, z, "km", "km", "DT", "dBZ", 40.0, 8, _core.max_volume_nodes)
    assert raw["outcome"] == "no echo"
    assert "echo_top_50_km" in raw["properties"]
    assert all(len(a) == 0 for a in raw["properties"].values())


def test_cells_divided_at_their_cores_as_the_command(cpol, tmp_path):
    import velmora
    a = velmora.analyze(cpol, split_levels=[50], echo_tops=[30, 45])
    r = command("analyze", cpol, "--out", tmp_path / "cmd", "--no-picture", "--split-levels", "50",
                "--echo-tops", "30,45")
    assert r.returncode == 0, r.stderr
    csv = pd.read_csv(tmp_path / "cmd" / "cell_properties.csv")
    assert list(a.cells["cell"]) == list(csv["cell"]) and list(a.cells["parent"]) == list(csv["parent"])
    assert (a.cells["parent"] != a.cells["cell"]).sum() == 2          # cell 2 divides in three
    np.testing.assert_allclose(a.cells["echo_top_45_km"], csv["echo_top_45_km"], rtol=1e-7, equal_nan=True)
    a.to_files(tmp_path / "py", picture=False)
    assert (tmp_path / "py" / "cell_properties.csv").read_text() == (tmp_path / "cmd" / "cell_properties.csv").read_text()
    with pytest.raises(ValueError):
        velmora.analyze(cpol, split_levels=[35])                      # under the level of the cells
