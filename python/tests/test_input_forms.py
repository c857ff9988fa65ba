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
    return scene, ds, ds["DT"]


def test_every_form_dtype_layout_and_unit(forms):
    path, ds, da = forms
    ref = velmora.analyze(path)
    assert len(ref.cells) == 5
    v = da.isel(time=0)
    x, y, z, values = v.x.values, v.y.values, v.z.values, v.values
    assert values.dtype == np.float32 and values.flags.c_contiguous
    km = v.assign_coords(x=("x", x / 1000, {"units": "km"}), y=("y", y / 1000, {"units": "km"}),
                         z=("z", z / 1000, {"units": "km"}))
    coords = dict(x=x, y=y, z=z, xyz_units="m")
    for other in (str(path), (ds, dict(var="DT")), da, v, (values, coords), (values[None], coords),
                  (values.astype(np.float64), coords),
                  (np.asfortranarray(values), coords), v.transpose("x", "z", "y"),  # read in their own layout
                  (values, dict(x=list(x / 1000), y=y / 1000, z=z / 1000, xyz_units="km")), km):
        volume, kwargs = other if isinstance(other, tuple) else (other, {})
        same(ref, velmora.analyze(volume, **kwargs))


def test_labels_keep_the_inputs_coordinates(forms):
    da = forms[2].assign_coords(time=[np.datetime64("2006-01-20T00:50")])
    a = velmora.analyze(da)
    assert a.labels.dims == da.dims
    np.testing.assert_array_equal(a.labels.x.values, da.x.values)
    assert a.labels.time.values[0] == da.time.values[0]
    assert (a.cells["time"] == da.time.values[0]).all()
    assert set(np.unique(a.labels.values)) == {0, *a.cells["cell"]}


def test_nan_is_missing_data(forms):
    v = forms[2].isel(time=0)
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
    a = velmora.analyze(forms[2], level=80)
    assert a.outcome == "no echo" and len(a.cells) == 0 and int(a.labels.max()) == 0
    assert "echo_top_50_km" in a.cells   # the columns, with no rows
    b = velmora.analyze(forms[2], min_cells=100000)
    assert b.outcome == "nothing kept" and len(b.cells) == 0


def test_decreasing_axes_are_turned_and_labels_keep_the_inputs_order(forms, tmp_path):
    """Rows north to south (and levels top down), as image-like products
    write them: the same cells as the increasing volume, in a file, a
    DataArray or a numpy array; the labels in the input's own order."""
    v = forms[2].isel(time=0)
    ref = velmora.analyze(v)
    turned = v.isel(y=slice(None, None, -1), z=slice(None, None, -1))
    assert (np.diff(turned.y.values) < 0).all()
    path = tmp_path / "north_to_south.nc"
    turned.to_dataset(name="DT").to_netcdf(path)
    coords = dict(x=turned.x.values, y=turned.y.values, z=turned.z.values, xyz_units="m")
    in_input_order = np.asarray(ref.labels)[::-1, ::-1, :]
    # A file is read as velmora reads files: turned to increase.
    for volume, kwargs, labels in ((turned, {}, in_input_order), (turned.values, coords, in_input_order),
                                   (str(path), {}, np.asarray(ref.labels))):
        a = velmora.analyze(volume, **kwargs)
        for col in KEY:
            np.testing.assert_allclose(a.cells[col], ref.cells[col], rtol=1e-6, err_msg=col)
        np.testing.assert_array_equal(a.labels.values, labels)
    np.testing.assert_array_equal(velmora.analyze(turned).labels.y.values, turned.y.values)
