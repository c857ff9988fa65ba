"""to_files from memory writes the volume, which reads back; plot draws the plan view."""
import pandas as pd
import pytest

import velmora


def test_to_files_from_memory_writes_the_volume(scene, tmp_path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(scene) as ds:
        a = velmora.analyze(ds["DT"].load(), origin=(52.95, 4.79))
    printed = a.to_files(tmp_path / "out", picture=False).splitlines()
    # Named after the file xarray read it from and its variable, and listed first among the files written.
    assert printed[printed.index(next(l for l in printed if l.startswith("results in "))) + 1] == "  scene_DT.nc"
    back = velmora.analyze(tmp_path / "out" / "scene_DT.nc")
    assert back.origin == (52.95, 4.79)
    pd.testing.assert_frame_equal(back.cells, a.cells, check_exact=False, rtol=1e-6)
    # Without a file behind it, after its variable; never under the name of a file of the analysis.
    b = velmora.analyze(a.labels.values.astype("float32") * 50, var="mesh", x=a.x_km, y=a.y_km, z=a.z_km)
    b.to_files(tmp_path / "numpy", picture=False)
    assert (tmp_path / "numpy" / "volume_mesh.nc").exists()
    assert velmora._analyze.volume_file_name("V T", "/data/cpol 1.nc") == "cpol_1_V_T.nc"
    assert velmora._analyze.volume_file_name("") == "volume.nc"


def test_plot_draws_the_plan_view(scene, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    a = velmora.analyze(scene)
    ax = a.plot()
    assert ax.get_xlabel() == "x (km)" and len(ax.texts) == 5
    ax.figure.savefig(tmp_path / "plan.png")
    plt.close(ax.figure)
    assert (tmp_path / "plan.png").stat().st_size > 1000
    with pytest.raises(ValueError, match="no origin"):
        a.plot(lonlat=True)
    ax = velmora.analyze(scene, origin=(-12.25, 131.04)).plot(lonlat=True)
    lon, lat = ax.texts[0].get_position()
    assert ax.get_xlabel() == "longitude (°E)" and 130.3 < lon < 131.8 and -12.6 < lat < -11.9
    # The map context of plan.png: the radar's cross at the origin, range
    # rings, and Darwin's coast where velmora's map file is at hand.
    lines = {tuple(line.get_color()) if not isinstance(line.get_color(), str) else line.get_color(): line
             for line in ax.lines}
    radar = [line for line in ax.lines if line.get_marker() == "+"]
    assert len(radar) == 1 and tuple(radar[0].get_xydata()[0]) == (131.04, -12.25)
    assert "0.45" in lines
    if velmora._core.map_file():
        assert "#26406f" in lines
    plt.close(ax.figure)


def test_plot_title_has_the_time_and_weak_echo_is_blank(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    xr = pytest.importorskip("xarray")
    values = np.full((1, 4, 20, 20), -10.0, np.float32)
    values[:, :, 5:12, 5:12] = 50.0
    km = dict(units="km")
    da = xr.DataArray(values, dims=("time", "z", "y", "x"), name="DT",
                      coords=dict(time=[np.datetime64("2006-01-20T00:50:08", "ns")],
                                  z=("z", np.arange(4.0) + 0.5, km), y=("y", np.arange(20.0), km),
                                  x=("x", np.arange(20.0), km)))
    ax = velmora.analyze(da).plot()
    assert ax.get_title().startswith("2006-01-20T00:50:08Z")
    shown = ax.collections[0].get_array()
    assert shown.mask.sum() == 400 - 49     # below 5 dBZ: not painted
    plt.close(ax.figure)


def test_to_files_replaces_only_velmoras_results(scene, tmp_path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(scene) as ds:
        a = velmora.analyze(ds["DT"].load())
    out = tmp_path / "out"
    a.to_files(out, picture=False)
    a.to_files(out, picture=False)                     # its own results: replaced
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"], "nothing left beside"
    (out / "notes.txt").write_text("mine\n")
    with pytest.raises(ValueError) as e:
        a.to_files(out, picture=False)
    assert str(e.value) == (f"velmora analyze: --out: {out} holds notes.txt, which velmora did not write: velmora "
                            "replaces only a folder of its own results (move notes.txt away, or choose another folder)")
    assert (out / "notes.txt").read_text() == "mine\n" and (out / "scene_DT.nc").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]
