"""velmora.grid: polar radar volumes gridded onto x, y, z."""
import os

import numpy as np

from . import _core, _options
from ._analyze import _datetime, _path_arg, _warn_notes, polar_options


def grid(paths, out=None, *, field=None, site=None, spacing=None, extent=None, levels=None, origin=None,
         roi_min=None, roi_angle=None):
    """The polar volumes of paths (ODIM HDF5, NEXRAD Level II, CF/Radial)
    gridded together, as `velmora grid` does: an xarray.DataArray DT with
    dims (z, y, x), coordinates in km, NaN where no gate reaches, and the
    grid's origin_latitude/origin_longitude and time. With out, the grid is
    written there as NetCDF too.

    field: the quantity (default the reflectivity); site: (lat, lon, height
    m) of the radar, over the file's; spacing (dx, dy, dz), extent (xmin,
    xmax, ymin, ymax), levels (bottom, top) in km; origin (lat, lon) of the
    grid, default the first radar; roi_min (km) and roi_angle (degrees): the
    radius of influence. Several radars make one composite."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [os.fsdecode(p) for p in paths]
    if not paths:
        raise ValueError("no polar volume to grid")
    options = polar_options(field, site, dict(spacing=spacing, extent=extent, levels=levels, origin=origin,
                                              roi_min=roi_min, roi_angle=roi_angle), "grid")
    raw = _core.grid([_path_arg(p) for p in paths], options, _path_arg(out) if out is not None else b"")
    _warn_notes(raw)
    import xarray as xr

    coords = {axis: (axis, np.asarray(raw[axis], dtype=np.float64), {"units": "km"}) for axis in "zyx"}
    attrs = {"units": raw["units"] or "dBZ", "source": ", ".join(paths)}
    if raw["origin"] is not None:
        coords["origin_latitude"], coords["origin_longitude"] = raw["origin"]
    if raw["time"] is not None:
        coords["time"] = _datetime(raw["time"], attrs["source"])
    return xr.DataArray(raw["values"], dims=("z", "y", "x"), coords=coords, name=_options.default("analyze", "var"),
                        attrs=attrs)


def read_polar(path, field=None, site=None):
    """A polar volume as velmora reads it (ODIM HDF5, NEXRAD Level II,
    CF/Radial): a dict of source, field, units, site (lat, lon, height m, or
    None), time (s since 1970 UTC, or None), beam_width (degrees) and
    sweeps, each a dict of fixed_angle, azimuth and elevation (degrees, one
    per ray), range_first and gate_spacing (m, the centre of the first gate)
    and values (rays, gates): NaN where nothing was measured, -inf where no
    echo was."""
    return _core.read_polar(_path_arg(path), field or "", None if site is None else tuple(float(v) for v in site))
