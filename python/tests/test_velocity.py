"""Radial velocity from Python and the command: its Nyquist velocity, dealiased, and derived into shear."""
import netCDF4
import numpy as np
import pytest

import velmora
from conftest import DATA, command

ELEVATIONS = [0.5, 1.5, 2.5]
NYQUIST = 10.0


def truth(az, el, rng):
    """A wind of 25 m/s toward the north-east seen along the beam, m/s."""
    a, e = np.radians(az)[:, None], np.radians(el)[:, None]
    return (15.0 * np.sin(a) + 20.0 * np.cos(a)) * np.cos(e) * np.ones_like(rng)


def write(path, nyquist, start="2024-05-01T12:00:00Z", cell=None):
    """A CF/Radial volume of three sweeps of the wind folded at NYQUIST, with DBZH of 30 dBZ (with cell, (x, y)
    km, 50 dBZ within 6 km of it and 0 dBZ elsewhere) from start; nyquist_velocity per ray as given per sweep
    (-9999 where the file says none)."""
    n, gates = len(ELEVATIONS), 80
    rng = 250.0 + 500.0 * np.arange(gates)
    az, el = np.tile(np.arange(360) + 0.5, n), np.repeat(ELEVATIONS, 360)
    v = truth(az, el, rng)
    folded = v - 2 * NYQUIST * np.floor((v + NYQUIST) / (2 * NYQUIST))
    with netCDF4.Dataset(path, "w") as nc:
        nc.setncatts(dict(Conventions="CF/Radial", version="1.4", time_coverage_start=start))
        for dim, size in (("time", 360 * n), ("range", gates), ("sweep", n)):
            nc.createDimension(dim, size)
        for name, kind, dims, data in (
                ("time", "f8", ("time",), np.arange(360 * n) * 0.05), ("range", "f4", ("range",), rng),
                ("latitude", "f8", (), -35.66), ("longitude", "f8", (), 149.51), ("altitude", "f8", (), 1383.0),
                ("azimuth", "f4", ("time",), az), ("elevation", "f4", ("time",), el),
                ("fixed_angle", "f4", ("sweep",), ELEVATIONS), ("sweep_number", "i4", ("sweep",), np.arange(n)),
                ("sweep_start_ray_index", "i4", ("sweep",), np.arange(n) * 360),
                ("sweep_end_ray_index", "i4", ("sweep",), np.arange(n) * 360 + 359),
                ("nyquist_velocity", "f4", ("time",), np.repeat(nyquist, 360))):
            nc.createVariable(name, kind, dims)[...] = data
        nc["time"].units = "seconds since " + start
        vel = nc.createVariable("VEL", "f4", ("time", "range"))
        vel.setncatts(dict(standard_name="radial_velocity_of_scatterers_away_from_instrument", units="m/s"))
        vel[:] = folded
        z = nc.createVariable("DBZH", "f4", ("time", "range"))
        z.setncatts(dict(standard_name="equivalent_reflectivity_factor", units="dBZ"))
        z[:] = np.full_like(folded, 30.0)
        if cell is not None:
            a, ground = np.radians(az)[:, None], rng[None, :] / 1000.0 * np.cos(np.radians(el))[:, None]
            near = np.hypot(ground * np.sin(a) - cell[0], ground * np.cos(a) - cell[1]) < 6.0
            z[:] = np.where(near, 50.0, 0.0)
    return path, v.reshape(n, 360, gates), folded.reshape(n, 360, gates)


def test_nyquist_read_and_velocity_dealiased_beside_the_raw(tmp_path):
    path, wind, folded = write(tmp_path / "vel.nc", [NYQUIST, -9999.0, NYQUIST])
    plain = velmora.read_polar(path, field="VEL")
    assert [s["nyquist"] for s in plain["sweeps"]] == [NYQUIST, None, NYQUIST]
    assert not any(s["range_folded"].any() for s in plain["sweeps"])
    assert "raw" not in plain["sweeps"][0]
    with pytest.warns(UserWarning, match=r"vel.nc: sweep 1: no Nyquist velocity in the file: not dealiased"):
        v = velmora.read_polar(path, field="VEL", dealias=True)
    for k, s in enumerate(v["sweeps"]):
        np.testing.assert_allclose(s["raw"], folded[k], atol=1e-4)
        np.testing.assert_allclose(s["values"], folded[k] if k == 1 else wind[k], atol=1e-3)
    with pytest.raises(ValueError, match="DBZH is not a radial velocity: nothing to dealias"):
        velmora.read_polar(path, field="DBZH", dealias=True)
    # Relative to a storm moving with the wind, the air is still.
    with pytest.warns(UserWarning):
        still = velmora.read_polar(path, field="VEL", dealias=True, storm_motion=(15, 20))
    for k in (0, 2):
        np.testing.assert_allclose(still["sweeps"][k]["values"], 0, atol=1e-3)


def test_grid_command_dealiases_and_grids_shear(tmp_path):
    path, _, _ = write(tmp_path / "vel.nc", [NYQUIST] * 3)
    grid = dict(extent=(-30, 30, -30, 30), levels=(0.5, 1.5))
    raw = velmora.grid(path, field="VEL", **grid)
    dealiased = velmora.grid(path, field="VEL", dealias=True, **grid)
    assert np.nanmax(np.abs(raw.values)) <= NYQUIST + 1e-3
    assert np.nanmax(dealiased.values) > 20
    # The field as measured rides beside the dealiased one, each saying which it is.
    assert "VEL_raw" not in raw.coords
    np.testing.assert_array_equal(dealiased["VEL_raw"].values, raw.values)
    assert dealiased.attrs["long_name"] == "Radial velocity, dealiased"
    assert dealiased["VEL_raw"].attrs["long_name"] == "Radial velocity as measured"
    out = tmp_path / "shear.nc"
    r = command("grid", path, "--field", "azshear", "--out", out, "--extent", "-30,30,-30,30", "--levels", "0.5,1.5")
    assert r.returncode == 0, r.stderr
    with netCDF4.Dataset(out) as nc:   # the variable keeps its field's name and units
        assert nc["azshear"].units == "s-1"
        shear = np.ma.filled(nc["azshear"][:], np.nan)
    # A uniform wind: its shear is at most its speed over the range, below 1e-3 s-1 beyond 25 km.
    assert np.isfinite(shear).sum() > 1000
    assert np.nanmedian(np.abs(shear)) < 1e-3
    r = command("grid", path, "--field", "DBZH", "--dealias", "--out", tmp_path / "z.nc")
    assert r.returncode == 2
    assert "DBZH is not a radial velocity: nothing to dealias" in r.stderr


def test_canberra_grid_file_holds_the_measured_field_beside_the_dealiased_one(tmp_path):
    canberra = DATA / "odim_au40_201812200606.h5"
    if not canberra.exists():
        pytest.skip(f"the real ODIM volume {canberra} is absent")
    out = tmp_path / "vel.nc"
    grid = dict(extent=(-60, 60, -60, 60), spacing=(2, 2, 1), levels=(1, 6))
    v = velmora.grid(canberra, out, field="VRADH", dealias=True, **grid)
    measured = velmora.grid(canberra, field="VRADH", **grid)
    with netCDF4.Dataset(out) as nc:
        assert nc["VRADH"].long_name == "Radial velocity, dealiased"
        assert "VRADH_raw is the same field as measured" in nc["VRADH"].comment
        assert nc["VRADH_raw"].long_name == "Radial velocity as measured"
        assert nc["VRADH_raw"].comment.startswith("Folded at the Nyquist velocity")
        assert nc["VRADH_raw"].units == nc["VRADH"].units == "m/s"
        raw = np.ma.filled(nc["VRADH_raw"][0], np.nan)
        unfolded = np.ma.filled(nc["VRADH"][0], np.nan)
    np.testing.assert_array_equal(raw, measured.values)
    np.testing.assert_array_equal(v["VRADH_raw"].values, measured.values)
    np.testing.assert_array_equal(unfolded, v.values)
    assert np.nanmax(np.abs(raw)) <= 39.0
    assert (np.abs(unfolded - raw) > 2).sum() > 0


def test_rotation_tracks_of_a_track_folder(tmp_path):
    path, _, _ = write(tmp_path / "vel.nc", [NYQUIST] * 3)
    out = tmp_path / "track"
    r = command("track", path, "--out", out, "--level", "25", "--extent", "-30,30,-30,30", "--levels", "0.5,1.5")
    assert r.returncode == 0, r.stderr
    assert (out / "rotation_tracks.png").exists()
    tracks = velmora.rotation_tracks(out)
    assert set(tracks.data_vars) == {"azshear_low", "azshear_mid"}
    assert tracks["azshear_low"].dims == ("y", "x")
    assert tracks["azshear_low"].attrs["units"] == "s-1"
    assert tracks["azshear_low"].attrs["long_name"].startswith("largest azimuthal shear 0-2 km")
    with netCDF4.Dataset(out / "rotation_tracks.nc") as nc:
        low = np.ma.filled(nc["azshear_low"][:], np.nan)
        x = nc["x"][:]
    np.testing.assert_array_equal(tracks["azshear_low"].values, low)
    np.testing.assert_allclose(tracks["x"].values, x / 1000.0, rtol=1e-6)
    # A uniform wind: measured, its shear at most its speed over the range (as the grid's above).
    assert np.isfinite(low).sum() > 100
    assert np.nanmedian(np.abs(low)) < 2e-3
    assert velmora.rotation_tracks(tmp_path) is None


def test_storm_relative_velocity_of_a_cell_moving_with_the_wind_is_still(tmp_path):
    # The wind is 15 m/s east and 20 m/s north; the cell moves with it, 4.5 km and 6 km in the 5 minutes between volumes.
    first, _, _ = write(tmp_path / "a.nc", [NYQUIST] * 3, "2024-05-01T12:00:00Z", (5.0, 5.0))
    second, _, _ = write(tmp_path / "b.nc", [NYQUIST] * 3, "2024-05-01T12:05:00Z", (9.5, 11.0))
    out = tmp_path / "track"
    r = command("track", first, second, "--out", out, "--level", "40", "--extent", "-30,30,-30,30", "--levels", "0.5,1.5")
    assert r.returncode == 0, r.stderr
    for k, centre in ((0, (5.0, 5.0)), (-1, (9.5, 11.0))):
        sr = velmora.storm_relative(out, k)
        assert sr.name == "storm_relative_velocity" and sr.dims == ("z", "y", "x")
        assert sr.attrs["units"] == "m/s"
        xx, yy = np.meshgrid(sr["x"].values, sr["y"].values)
        inside = np.hypot(xx - centre[0], yy - centre[1]) < 4.0
        still = np.abs(sr.values[:, inside])
        assert np.isfinite(still).sum() > 30
        # Within the grid's noise (a 1 km grid of a cell's centre, 300 s apart); the ground-relative wind is 25 m/s.
        assert np.nanmedian(still) < 0.5, np.nanmedian(still)
        assert np.nanpercentile(still, 95) < 1.5
    assert str(sr.attrs["source"]).endswith("b.nc")
    with pytest.raises(IndexError, match="has no volume 2 \\(2 volumes\\)"):
        velmora.storm_relative(out, 2)
    # A series without velocity has none.
    z = tmp_path / "z"
    assert command("synth", "--series", "2", z).returncode == 0
    plain = tmp_path / "plain"
    files = sorted(str(p) for p in z.glob("*.nc"))
    assert command("track", *files, "--out", plain, "--no-picture").returncode == 0
    assert velmora.storm_relative(plain, 0) is None
