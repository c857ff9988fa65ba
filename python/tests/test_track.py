"""velmora.track gives the table `velmora track` writes."""
import numpy as np
import pandas as pd
import pytest

import velmora
from conftest import command


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    d = tmp_path_factory.mktemp("series")
    assert command("synth", "--series", "6", d).returncode == 0
    return sorted(d.glob("series_*.nc"))


def test_track_as_the_command(series, tmp_path):
    r = command("track", *series, "--out", tmp_path / "t", "--no-picture")
    assert r.returncode == 0, r.stderr
    csv = pd.read_csv(tmp_path / "t" / "tracks.csv")
    # Any order in, time order out; analyses or paths alike.
    df = velmora.track(list(reversed(series)))
    assert list(df.columns) == list(csv.columns)
    for col in ["track", "cell", "voxels", "event", "source"]:
        assert list(df[col]) == list(csv[col]), col
    for col in ["x_km", "y_km", "volume_km3", "u_ms", "v_ms"]:   # tracks.csv rounds: 3 and 2 decimals
        np.testing.assert_allclose(df[col], csv[col], atol=6e-3, err_msg=col)
    assert list(df["parent"]) == list(csv["parent"].fillna(0).astype(int))
    assert (df["time"].dt.strftime("%Y-%m-%dT%H:%M:%SZ") == csv["time"]).all()
    again = velmora.track([velmora.analyze(p) for p in series])
    assert again[["track", "event", "parent"]].equals(df[["track", "event", "parent"]])


def test_track_refuses_what_cannot_be_tracked(series, scene):
    with pytest.raises(ValueError, match="same time"):
        velmora.track([series[0], series[0]])
    with pytest.raises(ValueError, match=r"scene.nc has no time \(it gives none\), series_000.nc has one"):
        velmora.track([series[0], series[1], scene])
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(scene) as ds:
        v = ds["DT"].isel(time=0).load()
    with pytest.raises(ValueError, match="another grid"):
        velmora.track([scene, velmora.analyze(v.isel(x=slice(0, 40)))])
    with pytest.raises(ValueError, match="max_speed"):
        velmora.track(series, max_speed=0)
