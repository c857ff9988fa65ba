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
    (ZEROS, dict(AX, level=float("nan")), ValueError, "finite"),
    (ZEROS, dict(AX, min_cells=2.5), TypeError, "min_cells"),
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
