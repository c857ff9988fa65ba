"""to_files from memory writes the volume, which reads back; plot draws the plan view."""
import pandas as pd
import pytest

import velmora


def test_to_files_from_memory_writes_the_volume(scene, tmp_path):
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(scene) as ds:
        a = velmora.analyze(ds["DT"].load(), origin=(52.95, 4.79))
    a.to_files(tmp_path / "out", picture=False)
    back = velmora.analyze(tmp_path / "out" / "volume.nc")
    assert back.origin == (52.95, 4.79)
    pd.testing.assert_frame_equal(back.cells, a.cells, check_exact=False, rtol=1e-6)


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
    assert (out / "notes.txt").read_text() == "mine\n" and (out / "volume.nc").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]
