"""velmora.grid: polar radar volumes gridded onto x, y, z."""
import os

import numpy as np

from . import _core, _options
from ._analyze import _datetime, _path_arg, _warn_notes, polar_options


def grid(paths, out=None, *, field=None, site=None, spacing=None, extent=None, levels=None, origin=None,
         roi_min=None, roi_angle=None, dealias=False, combine=None, max_age=None, calibrate=None):
    """The polar volumes of paths (ODIM HDF5, NEXRAD Level II, CF/Radial)
    gridded together, as `velmora grid` does: an xarray.DataArray named as
    the field read (DBZH, REF, ...) with dims (z, y, x), coordinates in km,
    NaN where no gate reaches, and the grid's origin_latitude/
    origin_longitude and time. With out, the grid is written there as NetCDF
    too.

    field: the quantity (default the reflectivity); site: (lat, lon, height
    m) of the radar, over the file's; spacing (dx, dy, dz), extent (xmin,
    xmax, ymin, ymax), levels (bottom, top) in km; origin (lat, lon) of the
    grid, default the first radar; roi_min (km) and roi_angle (degrees): the
    radius of influence; dealias: unfold a radial velocity (field "VRADH",
    "VEL") past its Nyquist velocity first; of one radar, the field as
    measured, gridded alike, comes beside it as the coordinate VRADH_raw
    (z, y, x), and out holds it as the variable VRADH_raw, long_name and
    comment saying which is which. Several radars make one mosaic
    (heights above sea level; velmora.mosaic() gives what it says of itself
    too): combine ("weighted", "nearest", "max"), max_age (s, 300) and
    calibrate (a radar's file or name) as `velmora grid` takes them."""
    paths, raw = _gridded(_core.grid, paths, out, field, site, dict(
        spacing=spacing, extent=extent, levels=levels, origin=origin, roi_min=roi_min, roi_angle=roi_angle,
        dealias=bool(dealias), combine=combine, max_age=max_age, calibrate=calibrate))
    import xarray as xr

    attrs = {"units": raw["units"] or "dBZ", "source": ", ".join(paths)}
    coords = _coords(raw, attrs["source"])
    if raw["raw"] is not None:
        attrs.update(raw["dealiased_label"])
        coords[raw["raw_name"]] = (("z", "y", "x"), raw["raw"], dict(units=attrs["units"], **raw["raw_label"]))
    return xr.DataArray(raw["values"], dims=("z", "y", "x"), coords=coords, name=raw["name"], attrs=attrs)


def _gridded(make, paths, out, field, site, grid_options):
    """The paths as a list of str and what make (the core's grid or mosaic) gives of them, its notes warned."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = [os.fsdecode(p) for p in paths]
    if not paths:
        raise ValueError("no polar volume to grid")
    options = polar_options(field, site, grid_options, "grid")
    raw = make([_path_arg(p) for p in paths], options, _path_arg(out) if out is not None else b"")
    _warn_notes(raw)
    return paths, raw


def _coords(raw, source):
    """The grid's coordinates: its axes in km, its origin and time where it has them."""
    coords = {axis: (axis, np.asarray(raw[axis], dtype=np.float64), {"units": "km"}) for axis in "zyx"}
    if raw["origin"] is not None:
        coords["origin_latitude"], coords["origin_longitude"] = raw["origin"]
    if raw["time"] is not None:
        coords["time"] = _datetime(raw["time"], source)
    return coords


def mosaic(paths, out=None, *, field=None, site=None, spacing=None, extent=None, levels=None, origin=None,
           roi_min=None, roi_angle=None, combine=None, max_age=None, calibrate=None, despeckle=None, min_quality=None,
           max_clutter_power=None):
    """The mosaic of several radars' polar volumes, as `velmora grid A B
    ...` makes it (docs/polar.md, Mosaics): an xarray.Dataset of DT (z, y,
    x; z km above sea level, NaN where no radar has echo), radar_count and
    kept_radar (z, y, x: how many radars saw each point, the index along
    radar of the one whose view was kept, -1 none); along radar its
    radar_name, radar_latitude, radar_longitude, radar_altitude (m),
    radar_time and radar_adjustment (dB); along overlap the pairs' radars,
    median difference (dB) and count; attrs combine and time_spread (s).
    The options are grid()'s, and the gate filters of analyze()'s grid
    (despeckle, min_quality, max_clutter_power); out writes the same as
    NetCDF."""
    paths, raw = _gridded(_core.mosaic, paths, out, field, site, dict(
        spacing=spacing, extent=extent, levels=levels, origin=origin, roi_min=roi_min, roi_angle=roi_angle,
        combine=combine, max_age=max_age, calibrate=calibrate, despeckle=despeckle, min_quality=min_quality,
        max_clutter_power=max_clutter_power))
    import xarray as xr

    coords = _coords(raw, ", ".join(paths))
    coords["z"][2]["long_name"] = "height above mean sea level"
    radars = raw["radars"]
    times = [np.datetime64("NaT") if r["time"] is None else _datetime(r["time"], r["source"]) for r in radars]
    dims = ("z", "y", "x")
    data = {
        "DT": (dims, raw["values"], {"units": raw["units"] or "dBZ"}),
        "radar_count": (dims, raw["radar_count"]),
        "kept_radar": (dims, raw["kept_radar"]),
        "radar_name": ("radar", [r["name"] for r in radars]),
        "radar_latitude": ("radar", [r["latitude"] for r in radars]),
        "radar_longitude": ("radar", [r["longitude"] for r in radars]),
        "radar_altitude": ("radar", [r["altitude"] for r in radars], {"units": "m"}),
        "radar_time": ("radar", np.array(times, dtype="datetime64[ns]")),
        "radar_adjustment": ("radar", [r["adjustment"] for r in radars], {"units": "dB"}),
        "overlap_radar_a": ("overlap", [o[0] for o in raw["overlaps"]]),
        "overlap_radar_b": ("overlap", [o[1] for o in raw["overlaps"]]),
        "overlap_median_difference": ("overlap", [o[2] for o in raw["overlaps"]], {"units": "dB"}),
        "overlap_count": ("overlap", np.array([o[3] for o in raw["overlaps"]], dtype=np.int64)),
    }
    attrs = {"combine": raw["combine"], "time_spread": raw["time_spread"], "height_reference": "mean sea level",
             "source": ", ".join(paths)}
    return xr.Dataset(data, coords=coords, attrs=attrs)


def read_polar(path, field=None, site=None, dealias=False, storm_motion=None):
    """A polar volume as velmora reads it (ODIM HDF5, NEXRAD Level II,
    CF/Radial): a dict of source, field, units, site (lat, lon, height m, or
    None), time (s since 1970 UTC, or None), beam_width (degrees) and
    sweeps, each a dict of name, fixed_angle, azimuth and elevation
    (degrees, one per ray), range_first and gate_spacing (m, the centre of
    the first gate), values (rays, gates): NaN where nothing was measured,
    -inf where no echo was; range_folded (rays, gates), True where the radar
    marked a gate range folded (its value NaN); nyquist, m/s, of a radial
    velocity whose file says it (else None).

    dealias: a radial velocity (field "VRADH", "VEL") unfolded past its
    Nyquist velocity, in values; each sweep's values as read are beside them
    as raw. A sweep without a Nyquist velocity stays as read, with a
    UserWarning saying so; a field that is no radial velocity is a
    ValueError.

    storm_motion: (u, v), m/s toward the east and the north (a tracked
    cell's motion): the velocity is given relative to a storm moving so,
    the radial velocity less the motion's component along each beam (after
    the dealiasing)."""
    motion = None if storm_motion is None else tuple(float(v) for v in storm_motion)
    raw = _core.read_polar(_path_arg(path), field or "", None if site is None else tuple(float(v) for v in site),
                           bool(dealias), motion)
    _warn_notes(raw)
    return raw
