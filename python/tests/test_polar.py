"""Polar volumes from Python: a CF/Radial file written here, gridded and analyzed as the command does."""
import netCDF4
import numpy as np
import pandas as pd
import pytest

import velmora
from conftest import DATA, command

R = 4.0 / 3.0 * 6371.0
ELEVATIONS = [0.5, 1.5, 2.5, 3.5, 4.5, 6.0, 7.5, 9.0, 11.0, 13.5, 16.5, 20.0]
GRID = dict(extent=(-40, 40, -40, 40), levels=(0.5, 10))


def storm(x, y, z):
    """dBZ at x, y, z km: a core of 55 dBZ at (20, 10) over 10 dBZ, weakening upwards."""
    return 10.0 + 45.0 * np.exp(-((x - 20.0) ** 2 + (y - 10.0) ** 2) / (2 * 6.0 ** 2)) - 1.5 * z


@pytest.fixture
def cfradial(tmp_path):
    """A CF/Radial 1.4 volume of storm(), DBZH packed as shorts; the last gates of the first ray are missing."""
    return write_cfradial(tmp_path / "storm_cfradial.nc", ELEVATIONS)


def write_cfradial(path, elevations):
    n, gates, spacing = len(elevations), 160, 500.0
    rng = spacing / 2 + spacing * np.arange(gates)
    az, el = np.tile(np.arange(360) + 0.5, n), np.repeat(elevations, 360)
    r, e, a = rng / 1000.0, np.radians(el)[:, None], np.radians(az)[:, None]
    h = np.sqrt(r ** 2 + R ** 2 + 2 * r * R * np.sin(e)) - R
    s = R * np.arcsin(r * np.cos(e) / (R + h))
    values = storm(s * np.sin(a), s * np.cos(a), h)
    values[0, gates // 2:] = np.nan
    variables = {  # name: type, dimensions, values, attributes
        "time": ("f8", ("time",), np.arange(360 * n) * 0.05, {"units": "seconds since 2024-05-01T12:00:00Z"}),
        "range": ("f4", ("range",), rng, {"units": "meters"}),
        "latitude": ("f8", (), -12.25, {}), "longitude": ("f8", (), 131.04, {}), "altitude": ("f8", (), 50.0, {}),
        "azimuth": ("f4", ("time",), az, {}), "elevation": ("f4", ("time",), el, {}),
        "sweep_number": ("i4", ("sweep",), np.arange(n), {}), "fixed_angle": ("f4", ("sweep",), elevations, {}),
        "sweep_start_ray_index": ("i4", ("sweep",), np.arange(n) * 360, {}),
        "sweep_end_ray_index": ("i4", ("sweep",), np.arange(n) * 360 + 359, {}),
    }
    with netCDF4.Dataset(path, "w") as nc:
        nc.setncatts(dict(Conventions="CF/Radial", version="1.4", time_coverage_start="2024-05-01T12:00:00Z"))
        for dim, size in (("time", 360 * n), ("range", gates), ("sweep", n)):
            nc.createDimension(dim, size)
        for name, (kind, dims, data, attrs) in variables.items():
            v = nc.createVariable(name, kind, dims)
            v.setncatts(attrs)
            v[...] = data
        v = nc.createVariable("DBZH", "i2", ("time", "range"), fill_value=np.int16(-32768))
        v.setncatts(dict(standard_name="equivalent_reflectivity_factor", units="dBZ", scale_factor=np.float32(0.01),
                         add_offset=np.float32(0.0)))
        v[:] = np.ma.masked_invalid(values)
    return path


def test_grid_and_analysis_as_the_command_and_options_checked(cfradial, tmp_path):
    polar = velmora.read_polar(cfradial)
    assert polar["site"] == pytest.approx((-12.25, 131.04, 50.0))
    assert [s["fixed_angle"] for s in polar["sweeps"]] == pytest.approx(ELEVATIONS)
    assert polar["sweeps"][0]["values"].shape == (360, 160)
    g = velmora.grid(cfradial, spacing=(1, 1, 0.5), **GRID)
    assert g.dims == ("z", "y", "x") and g.shape == (20, 81, 81)
    assert (g.name, g.attrs["units"]) == ("DBZH", "dBZ")   # the field's own name
    assert float(g.origin_latitude) == pytest.approx(-12.25)
    assert g.time.values == np.datetime64("2024-05-01T12:00:00", "ns")
    assert float(g.sel(x=20, y=10, z=2)) == pytest.approx(storm(20, 10, 2), abs=1.5)   # x east, y north
    # The file straight into analyze gives the cells of its grid.
    direct = velmora.analyze(cfradial, level=40.0, grid=GRID)
    of_grid = velmora.analyze(g, level=40.0)
    assert len(direct.cells) == len(of_grid.cells) == 1
    assert direct.cells["voxels"].tolist() == of_grid.cells["voxels"].tolist()
    # Every table of cells has the volume's time: the grid carries it as a scalar coordinate.
    assert (of_grid.cells["time"] == np.datetime64("2024-05-01T12:00:00", "ns")).all()
    assert (direct.cells["time"] == of_grid.cells["time"]).all()
    # The command writes the grid beside its results, and lists it first.
    out = tmp_path / "out"
    p = command("analyze", cfradial, "--out", out, "--no-picture", "--extent", "-40,40,-40,40", "--levels", "0.5,10")
    assert p.returncode == 0, p.stderr
    assert (out / "grid.nc").exists() and (out / "cells.csv").exists()
    files = p.stdout.splitlines()
    assert files[files.index(next(l for l in files if l.startswith("results in "))) + 1] == "  grid.nc"
    assert "  time 2024-05-01T12:00:00Z" in files
    assert netCDF4.Dataset(out / "grid.nc").variables["DBZH"].units == "dBZ"
    regridded = velmora.analyze(out / "grid.nc", var="DBZH", level=40.0)
    assert regridded.cells["voxels"].tolist() == direct.cells["voxels"].tolist()

    with pytest.raises(TypeError, match="unknown grid options"):
        velmora.analyze(cfradial, grid=dict(resolution=1))
    with pytest.raises(ValueError, match=r"spacing: 3 numbers \(DX,DY,DZ\), not 2"):
        velmora.grid(cfradial, spacing=(1, 1))
    with pytest.raises(RuntimeError, match="absent.h5: no such file"):
        velmora.grid(tmp_path / "absent.h5")
    with pytest.raises(ValueError, match="is the input .*: velmora does not write over what it reads"):
        velmora.grid(cfradial, out=cfradial)
    (tmp_path / "empty.h5").write_bytes(b"")
    with pytest.raises(RuntimeError, match="empty.h5: an empty file"):
        velmora.grid(tmp_path / "empty.h5")
    with pytest.raises(ValueError, match="radius of influence of 50 km is more than the 5 km allowed"):
        velmora.grid(cfradial, roi_min=50)
    for args, message in ((["--spacing", "1,1"], "--spacing"), (["--site", "91,0,0"], "--site"),
                          (["--extent", "10,-10,0,1"], "the grid extent runs backwards")):
        p = command("grid", cfradial, "--out", tmp_path / "g.nc", *args)
        assert p.returncode == 2 and message in p.stderr, (args, p.stderr)


def test_batch_command_takes_negative_extents():
    from velmora.__main__ import _joined, _parser
    args = _parser().parse_args(_joined(["a.nc", "--extent", "-40,40,-40,40", "--origin", "-12.5,131", "--level", "35"]))
    assert args.extent == [-40, 40, -40, 40] and args.origin == [-12.5, 131] and args.level == 35


def test_vertically_pointing_sweep_left_out_with_a_warning(cfradial, tmp_path):
    """A birdbath scan among the sweeps is left out, with a warning naming it; the grid is the same without it."""
    birdbath = write_cfradial(tmp_path / "birdbath.nc", ELEVATIONS + [90.0])
    with pytest.warns(UserWarning, match=r"birdbath.nc: sweep 12 at 90 degrees elevation left out"):
        g = velmora.grid(birdbath, **GRID)
    np.testing.assert_array_equal(g.values, velmora.grid(cfradial, **GRID).values)
    with pytest.warns(UserWarning, match="sweep 12 at 90 degrees"):
        velmora.analyze(birdbath, grid=GRID)


BELGIUM = [DATA / f"odim_{r}_201906060000.h5" for r in ("bejab", "bewid", "behel")]


def test_mosaic_of_three_radars_says_what_it_is(tmp_path):
    if not all(p.exists() for p in BELGIUM):
        pytest.skip(f"the Belgian radar volumes are not in {DATA} (the mosaic's tests on them are skipped)")
    grid = dict(origin=(50.7, 4.6), extent=(-200, 200, -200, 200), spacing=(4, 4, 1), levels=(1, 12))
    m = velmora.mosaic(BELGIUM, out=tmp_path / "m.nc", **grid)
    assert list(m.radar_name.values) == [p.name.split(".")[0] for p in BELGIUM]
    assert m.radar_altitude.values.tolist() == pytest.approx([50.0, 590.0, 140.0])
    assert m.z.attrs["long_name"] == "height above mean sea level"
    assert m.DT.dims == m.radar_count.dims == m.kept_radar.dims == ("z", "y", "x")
    assert int(m.radar_count.max()) == 3 and int(m.kept_radar.min()) == -1 and int(m.kept_radar.max()) == 2
    assert m.attrs["combine"] == "weighted" and 10 <= m.attrs["time_spread"] <= 20
    assert m.sizes["overlap"] == 3 and (m.overlap_count > 1000).all()
    with netCDF4.Dataset(tmp_path / "m.nc") as nc:
        assert nc["radar_count"][0].filled(0).tolist() == m.radar_count.values.tolist()
    # grid() of several radars is the same mosaic's field; a reference calibrates it.
    g = velmora.grid(BELGIUM, **grid)
    assert np.array_equal(np.isnan(g.values), np.isnan(m.DT.values))
    c = velmora.mosaic(BELGIUM, calibrate="behel", **grid)
    assert c.radar_adjustment.values[2] == 0 and (c.radar_adjustment.values[:2] != 0).all()
    with pytest.raises(ValueError, match="combine"):
        velmora.mosaic(BELGIUM, combine="mean", **grid)
    with pytest.raises(RuntimeError, match="more than the 5 s allowed"):
        velmora.mosaic(BELGIUM, max_age=5, **grid)
    # analyze takes the three as one mosaic, and its grid.nc is the mosaic's file.
    out = tmp_path / "out"
    p = command("analyze", *BELGIUM, "--out", out, "--seams", "--origin", "50.7,4.6", "--extent",
                "-200,200,-200,200", "--spacing", "4,4,1", "--levels", "1,12")
    assert p.returncode == 0, p.stderr
    with netCDF4.Dataset(out / "grid.nc") as nc:
        assert nc.dimensions["radar"].size == 3
    assert (out / "plan.png").exists()


def test_track_takes_several_radars_as_one_mosaic_per_time_step(tmp_path):
    if not all(p.exists() for p in BELGIUM):
        pytest.skip(f"the Belgian radar volumes are not in {DATA} (the mosaic's tests on them are skipped)")
    df = velmora.track(BELGIUM, grid=dict(extent=(80, 140, 0, 60)))
    p = command("track", *BELGIUM, "--extent", "80,140,0,60", "--out", tmp_path / "t", "--no-picture")
    assert p.returncode == 0, p.stderr
    assert "3 volumes of 3 radars in 1 time step, each one mosaic" in p.stderr
    csv = pd.read_csv(tmp_path / "t" / "tracks.csv")
    assert len(df) == len(csv) > 0 and (df["source"] == "odim_bejab_201906060000.h5").all()
    for column in ("cell", "voxels", "max_dbz"):
        assert df[column].tolist() == pytest.approx(csv[column].tolist(), abs=0.005), column
    # analyze takes them as one mosaic too.
    cells = velmora.analyze(BELGIUM, grid=dict(extent=(80, 140, 0, 60))).cells
    assert cells["voxels"].tolist() == df["voxels"].tolist()
