"""Every form of input gives the same answer."""
import numpy as np
import pytest

import velmora

xr = pytest.importorskip("xarray")

KEY = ["cell", "voxels", "top_km", "max_dbz", "mean_dbz", "x_km", "wz_km", "volume_km3"]


def same(a, b):
    for col in KEY:
        np.testing.assert_allclose(a.cells[col], b.cells[col], rtol=1e-6, err_msg=col)
    np.testing.assert_array_equal(np.asarray(a.labels).squeeze(), np.asarray(b.labels).squeeze())
    np.testing.assert_array_equal(a.surface.cell, b.surface.cell)


@pytest.fixture(scope="module")
def forms(scene):
    with xr.open_dataset(scene) as ds:
        ds = ds.load()
    da = ds["DT"]
    return scene, ds, da


def test_path_dataset_dataarray_numpy(forms):
    path, ds, da = forms
    ref = velmora.analyze(path)
    assert len(ref.cells) == 5
    same(ref, velmora.analyze(str(path)))
    same(ref, velmora.analyze(ds, var="DT"))
    same(ref, velmora.analyze(da))
    same(ref, velmora.analyze(da.isel(time=0)))
    v = da.isel(time=0)
    same(ref, velmora.analyze(v.values, x=v.x.values, y=v.y.values, z=v.z.values, xyz_units="m"))
    same(ref, velmora.analyze(v.values[None], x=v.x.values, y=v.y.values, z=v.z.values, xyz_units="m"))


def test_dtypes_layouts_and_units(forms):
    _, _, da = forms
    v = da.isel(time=0)
    ref = velmora.analyze(v)
    x, y, z = v.x.values, v.y.values, v.z.values
    values = v.values
    assert values.dtype == np.float32 and values.flags.c_contiguous
    same(ref, velmora.analyze(values.astype(np.float64), x=x, y=y, z=z, xyz_units="m"))
    # Fortran order, and a transposed view: read in their own layout
    same(ref, velmora.analyze(np.asfortranarray(values), x=x, y=y, z=z, xyz_units="m"))
    same(ref, velmora.analyze(v.transpose("x", "z", "y")))
    same(ref, velmora.analyze(values, x=list(x / 1000), y=y / 1000, z=z / 1000, xyz_units="km"))
    km = v.assign_coords(x=("x", x / 1000, {"units": "km"}), y=("y", y / 1000, {"units": "km"}),
                         z=("z", z / 1000, {"units": "km"}))
    same(ref, velmora.analyze(km))


def test_labels_keep_the_inputs_coordinates(forms):
    _, _, da = forms
    da = da.assign_coords(time=[np.datetime64("2006-01-20T00:50")])
    a = velmora.analyze(da)
    assert a.labels.dims == da.dims
    np.testing.assert_array_equal(a.labels.x.values, da.x.values)
    assert a.labels.time.values[0] == da.time.values[0]
    assert (a.cells["time"] == da.time.values[0]).all()
    assert set(np.unique(a.labels.values)) == {0, *a.cells["cell"]}


def test_nan_is_missing_data(forms):
    _, _, da = forms
    v = da.isel(time=0)
    assert np.isnan(v.values).any()   # xarray made the fill value NaN
    coords = dict(x=v.x.values, y=v.y.values, z=v.z.values, xyz_units="m")
    ref = velmora.analyze(v)
    same(ref, velmora.analyze(v.fillna(-9999.0).values, **coords))
    # Infinities are missing data as well; the array read in place is left as it was.
    values = v.values.copy()
    values[np.isnan(values)] = np.inf
    values[0, 0, :3] = -np.inf
    before = values.copy()
    values.flags.writeable = False
    same(ref, velmora.analyze(values, **coords))
    np.testing.assert_array_equal(values, before)
    kept = v.values.copy()
    velmora.analyze(kept, **coords)
    np.testing.assert_array_equal(kept, v.values)


def test_no_echo_and_nothing_kept(forms):
    _, _, da = forms
    a = velmora.analyze(da, level=80)
    assert a.outcome == "no echo" and len(a.cells) == 0 and int(a.labels.max()) == 0
    b = velmora.analyze(da, min_cells=100000)
    assert b.outcome == "nothing kept" and len(b.cells) == 0
