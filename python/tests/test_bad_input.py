"""Bad input from Python gets a clear exception, never a crash."""
import numpy as np
import pytest

import velmora

AX = dict(x=np.arange(4.0), y=np.arange(3.0), z=np.arange(1.0, 3.0))
ZEROS = np.zeros((2, 3, 4))


@pytest.mark.parametrize("values, kwargs, error, text", [
    (np.zeros((2, 3, 4), dtype=complex), AX, TypeError, "real numbers"),
    (np.array([["a"]]), AX, TypeError, "real numbers"),
    (np.zeros((3, 4)), AX, ValueError, "3 dimensions"),
    (np.zeros((2, 4, 3)), AX, ValueError, "does not match the coordinates"),
    (ZEROS, dict(AX, x=np.array([0.0, 2.0, 1.0, 3.0])), RuntimeError, "must increase strictly"),
    (ZEROS, dict(AX, x=np.zeros((2, 2))), ValueError, "one-dimensional"),
    (ZEROS, dict(x=AX["x"]), TypeError, "needs its coordinates"),
    (ZEROS, dict(AX, xyz_units="feet"), ValueError, "m or km"),
    (np.zeros((2, 2, 3, 4)), AX, ValueError, "2 time steps"),
    (ZEROS, dict(AX, max_voxels=10), ValueError, "more than max_voxels"),
    (ZEROS, dict(AX, max_voxels=2**70), ValueError, "max_voxels: 1180591620717411303424 is not from 1 to 2000000000"),
    (ZEROS, dict(AX, max_voxels=0), ValueError, "max_voxels: 0 is not from 1"),
    (ZEROS, dict(AX, max_voxels=2.5), ValueError, 'max_voxels: not a whole number from 1 to 2000000000: "2.5"'),
    (ZEROS, dict(AX, max_voxels="many"), TypeError, "max_voxels must be a number, not str"),
    (ZEROS, dict(AX, level=float("nan")), ValueError, "finite"),
    (ZEROS, dict(AX, min_cells=2.5), ValueError, "min_cells"),
    (ZEROS, dict(AX, min_cells=2**40), ValueError, "min_cells"),
    (ZEROS, dict(AX, var=None), TypeError, "var"),
    (ZEROS, dict(AX, split_levels=[35]), ValueError, "must lie above the level of the cells, 40 dBZ"),
    (object(), {}, TypeError, ""),
    ("", {}, ValueError, "empty"),
])
def test_arrays_and_options_refused(values, kwargs, error, text):
    with pytest.raises(error, match=text):
        velmora.analyze(values, **kwargs)


def test_files_refused(tmp_path, scene):
    with pytest.raises(RuntimeError, match="no_such.nc"):
        velmora.analyze(tmp_path / "no_such.nc")
    (tmp_path / "bad.nc").write_bytes(b"CDF\x01garbage")
    with pytest.raises(RuntimeError, match="bad.nc"):
        velmora.analyze(tmp_path / "bad.nc")
    with pytest.raises(RuntimeError, match="ZZ"):
        velmora.analyze(scene, var="ZZ")


def test_xarray_refused():
    xr = pytest.importorskip("xarray")
    da = xr.DataArray(np.zeros((2, 3, 4), np.float32), dims=("a", "y", "x"))
    with pytest.raises(ValueError, match="dimensions"):
        velmora.analyze(da)
    with pytest.raises(ValueError, match="coordinate x"):
        velmora.analyze(xr.DataArray(np.zeros((2, 3, 4), np.float32), dims=("z", "y", "x")))
    with pytest.raises(KeyError, match="no variable"):
        velmora.analyze(xr.Dataset({"DZ": da}), var="DT")


def test_a_fifo_is_refused_at_once(tmp_path):
    """Opening a FIFO would wait for a writer for ever: each call refuses it, in a process of its own so that a
    wait ends the test rather than the suite."""
    import os
    import subprocess
    import sys
    fifo = tmp_path / "volume.nc"
    os.mkfifo(fifo)
    code = ("import sys, velmora\n"
            "for call in (velmora.analyze, velmora.grid, velmora.read_polar):\n"
            "    try:\n"
            "        call(sys.argv[1])\n"
            "    except Exception as e:\n"
            "        print(type(e).__name__, e)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velmora.__file__)))
    r = subprocess.run([sys.executable, "-c", code, str(fifo)], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [f"RuntimeError {fifo}: not a regular file (a FIFO)"] * 3


def test_masked_values_are_missing():
    """The mask of a numpy masked array is honoured: masked fill values are no echo, whatever they hold."""
    shape = (4, 10, 10)
    ax = dict(x=np.arange(10.0), y=np.arange(10.0), z=np.arange(1.0, 5.0), min_cells=0)
    cell = np.zeros(shape, bool)
    cell[1:3, 2:5, 2:5] = True
    for dtype in (np.float32, np.float64, np.int16):
        data = np.where(cell, 50, 30000 if dtype == np.int16 else 9.97e36).astype(dtype)
        masked = np.ma.masked_array(data, mask=~cell)
        a = velmora.analyze(masked, **ax)
        assert a.cells["voxels"].tolist() == [18], dtype
        assert a.cells["max_dbz"].tolist() == [50.0], dtype
    # Nothing masked: the values as they are.
    assert velmora.analyze(np.ma.masked_array(np.where(cell, 50.0, 0.0)), **ax).cells["voxels"].tolist() == [18]


def test_dataarrays_read_without_cf_decoding_keep_their_missing_values(tmp_path):
    """A volume opened with decode_cf=False carries _FillValue, missing_value and packing as attributes: honoured."""
    xr = pytest.importorskip("xarray")
    data = np.full((4, 10, 10), -32768, np.int16)
    data[1:3, 2:5, 2:5] = 1000
    data[0, 0, 0] = 9900          # a missing_value of two values
    da = xr.DataArray(data, dims=("z", "y", "x"), coords=dict(x=np.arange(10.0), y=np.arange(10.0),
                                                                z=np.arange(1.0, 5.0)),
                      attrs=dict(_FillValue=np.int16(-32768), missing_value=np.array([-32768, 9900], np.int16),
                                 scale_factor=0.05, units="dBZ"))
    a = velmora.analyze(da, min_cells=0, min_volume=0)   # coordinates in m: a cell of 18 m³
    assert a.cells["voxels"].tolist() == [18]
    assert a.cells["max_dbz"].tolist() == [50.0]


def _timed_volume(path, units, value):
    """A 10 x 10 x 4 volume with a cell of 50 dBZ at a CF time."""
    netCDF4 = pytest.importorskip("netCDF4")
    with netCDF4.Dataset(path, "w") as nc:
        for dim, n in (("time", 1), ("z", 4), ("y", 10), ("x", 10)):
            nc.createDimension(dim, n)
        for axis, n in (("x", 10), ("y", 10), ("z", 4)):
            v = nc.createVariable(axis, "f4", (axis,))
            v.units = "km"
            v[:] = np.arange(n) + (1.0 if axis == "z" else 0.0)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = units
        t[:] = [value]
        dt = nc.createVariable("DT", "f4", ("time", "z", "y", "x"), fill_value=np.float32(-9999))
        values = np.full((1, 4, 10, 10), -9999.0, np.float32)
        values[0, 1:3, 2:5, 2:5] = 50.0
        dt[:] = values
    return path


def test_times_datetime64_cannot_hold_are_nat_with_a_warning(tmp_path):
    far = _timed_volume(tmp_path / "far.nc", "days since 2300-01-01", 0.0)
    with pytest.warns(UserWarning, match=r"far.nc: its time, 10413792000 s since 1970-01-01, is outside the years"):
        a = velmora.analyze(far, min_cells=0)
    assert a.cells["time"].isna().all() and len(a.cells) == 1
    # A NEXRAD volume date of 0xFFFFFFFF, as the reader gives it.
    from velmora._analyze import _datetime
    with pytest.warns(UserWarning, match="marked NaT"):
        assert np.isnat(_datetime((0xFFFFFFFF - 1) * 86400.0, "KTLX"))
    assert _datetime(1e9) == np.datetime64("2001-09-09T01:46:40", "ns")


def test_a_time_in_units_velmora_does_not_read_is_named(tmp_path):
    good = _timed_volume(tmp_path / "good.nc", "seconds since 2020-01-01", 0.0)
    odd = _timed_volume(tmp_path / "odd.nc", "fortnights since 2020-01-01", 1.0)
    with pytest.raises(ValueError, match=r'odd.nc has no time \(its time 1 in units "fortnights since 2020-01-01" '
                                         r"is no time velmora reads .*\), good.nc has one"):
        velmora.track([good, odd], min_cells=0)


def test_names_that_are_not_utf8(tmp_path, scene):
    """A file whose name is not UTF-8 (os.fsdecode gives it with surrogates) is analyzed, its results written."""
    import os
    import shutil
    folder = tmp_path / os.fsdecode(b"radar \xff\xfe")
    folder.mkdir()
    path = folder / "scene.nc"
    shutil.copy(scene, path)
    a = velmora.analyze(path)
    assert len(a.cells) == 5
    printed = a.to_files(folder / "out", picture=False)
    assert "5 storm cells" in printed and (folder / "out" / "network.json").exists()
    with pytest.raises(RuntimeError, match="no such file") as e:
        velmora.analyze(folder / "absent.nc")
    assert os.fsencode(str(e.value)).startswith(os.fsencode(str(folder)))
