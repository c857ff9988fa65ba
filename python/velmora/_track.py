"""velmora.track: the storm cells of a series of volumes followed over time,
as `velmora track` follows them, in one pandas DataFrame."""
import os

import numpy as np

from . import _core
from . import _options
from ._analyze import Analysis, analyze, polar_options
from ._grid import mosaic
from ._options import default as _default

COLUMNS = ["track", "time", "cell", "x_km", "y_km", "z_km", "voxels", "volume_km3", "top_km", "max_dbz", "u_ms",
           "v_ms", "parent", "event", "source"]


def series_grid(network, grid):
    """The grid of every time step of a network's series (what
    _core.network_series gives): grid's options (a dict of velmora.analyze's
    grid) with the series' origin and extent."""
    return dict(grid or {}, origin=network["origin"], extent=network["extent"])


def analyze_step(step, *, field=None, site=None, grid=None, **keywords):
    """A network's time step as `velmora track` analyzes it: the mosaic of
    its files on grid (series_grid), even of one file (a step the other
    radars missed), analyzed by velmora.analyze with keywords (its DT)."""
    ds = mosaic(step, field=field, site=site, **(grid or {}))
    return analyze(ds, var="DT", **keywords)


def track(volumes, var=_default("track", "var"), level=_default("track", "level"),
          min_cells=_default("track", "min_cells"), *, max_speed=_default("track", "max_speed"),
          max_gap=_default("track", "max_gap"), interval=_default("track", "interval"),
          min_volume=_default("track", "min_volume"), field=None, site=None, grid=None):
    """One row per cell per volume with the columns of `velmora track`'s
    tracks.csv (time as datetime64, NaT for volumes without one; parent 0
    for none). volumes: paths (analyzed here as velmora.analyze analyzes
    them) or velmora.Analysis objects, in any order when every one has a
    time, else in time order, `interval` seconds apart. min_volume: as
    velmora.analyze's. Polar volumes of several radars are a network's
    series, as `velmora track` takes them: one mosaic per time step, on the
    grid of every radar of the series, its source the step's first file.
    field, site and grid: how polar volumes are gridded, as velmora.analyze
    takes them."""
    import pandas as pd
    c = _options.check("track", level=level, min_cells=min_cells, max_speed=max_speed, max_gap=max_gap,
                       interval=interval, min_volume=min_volume)
    max_speed, max_gap, interval = c["max_speed"], c["max_gap"], c["interval"]
    analyses, sources = [], []
    volumes = list(volumes)
    paths = [os.fsdecode(v) for v in volumes if isinstance(v, (str, bytes, os.PathLike))]
    grid = dict(grid or {})
    polar = polar_options(field, site, grid, "track")
    network = _core.network_series(paths, polar) if len(paths) == len(volumes) else None
    for step in (network or {}).get("steps", []):
        analyses.append(analyze_step(step, field=field, site=site, grid=series_grid(network, grid), level=level,
                                     min_cells=min_cells, min_volume=min_volume))
        sources.append(os.path.basename(step[0]))
    for v in volumes if network is None else []:
        if isinstance(v, Analysis):
            analyses.append(v)
            sources.append(os.path.basename(v._source) if isinstance(v._source, str) else "")
        else:
            analyses.append(analyze(v, var=var, level=level, min_cells=min_cells, min_volume=min_volume, field=field,
                                    site=site, grid=grid))
            sources.append(os.path.basename(os.fsdecode(v)))
    if not analyses:
        raise ValueError("no volumes to track")
    times = [a._time for a in analyses]
    seconds = [None if t is None or np.isnat(t) else float((t - np.datetime64(0, "s")) / np.timedelta64(1, "s"))
               for t in times]
    names = [s or f"volume {i}" for i, s in enumerate(sources)]
    order, frame_times, timed = _core.order_series(names, seconds, [a._time_problem or "" for a in analyses],
                                                   float(interval))
    frames = []
    for i, t in zip(order, frame_times):
        a = analyses[i]
        frames.append(dict(time=float(t), x=a.x_km, y=a.y_km, z=a.z_km, column_max=a.column_max,
                           labels=a._labels, cells=a._raw_cells))
    r = _core.track(frames, float(max_speed), float(max_gap))
    rows = []
    for f, ci, tr, par, u, v, vol, ev in zip(r["frame"], r["cell_index"], r["track"], r["parent"], r["u_ms"],
                                            r["v_ms"], r["volume_km3"], r["event"]):
        i = order[f]
        c = analyses[i]._raw_cells
        rows.append((tr, times[i] if timed else pd.NaT, int(c["cell"][ci]), float(c["wx_km"][ci]),
                     float(c["wy_km"][ci]), float(c["wz_km"][ci]), int(c["voxels"][ci]), vol, float(c["top_km"][ci]),
                     float(c["max_dbz"][ci]), u, v, par, ev, sources[i]))
    df = pd.DataFrame(rows, columns=COLUMNS)
    # Then the cells' other properties, as tracks.csv has them.
    own = {"cell", "voxels", "volume_km3", "top_km", "max_dbz", "x_km", "y_km", "z_km", "parent"}
    extra = next((list(a._properties) for a in analyses if len(a._properties.get("cell", []))), [])
    for name in (n for n in extra if n not in own):
        values = []
        for f, ci in zip(r["frame"], r["cell_index"]):
            p = analyses[order[f]]._properties
            values.append(float(p[name][ci]) if name in p and ci < len(p[name]) else np.nan)
        df[name] = values
    return df


def rotation_tracks(folder):
    """The rotation tracks of a `velmora track` or `velmora watch` folder
    (its rotation_tracks.nc; docs/tracking.md): an xarray.Dataset of
    azshear_low and azshear_mid (y, x), s-1, the largest azimuthal shear each
    column saw 0-2 km and 3-7 km above the radar over the series, NaN where
    no gate measured; coordinates x, y in km. None when the folder has none
    (no volume with a radial velocity)."""
    raw = _core.rotation_tracks(os.fspath(folder))
    if raw is None:
        return None
    import xarray as xr
    coords = {axis: (axis, np.asarray(raw[axis], dtype=np.float64), {"units": "km"}) for axis in "yx"}
    data = {name: (("y", "x"), raw[name][0], {"units": raw[name][1], "long_name": raw[name][2]})
            for name in ("azshear_low", "azshear_mid")}
    return xr.Dataset(data, coords=coords)



def storm_relative(folder, volume=-1):
    """The storm-relative velocity of a volume of a `velmora track` or
    `velmora watch` folder, as `velmora view` of the folder shows it
    (docs/polar.md, "Storm-relative velocity"): an xarray.DataArray
    storm_relative_velocity (z, y, x), m/s, the volume's radial velocity
    (dealiased and gridded by its analysis, velocity.nc) less the motion of
    its tracked cells, each within its area about its centre and giving way
    to the volume's mean cell motion over one more radius; NaN where no gate
    reaches. Coordinates in km, the grid's origin and time; attrs source
    (the volume's file). volume: its index in volumes.csv's time order, from
    0, negative from the last. None when the volume has no radial velocity
    or no motion of its cells or its echo is known."""
    raw = _core.storm_relative(os.fspath(folder), int(volume))
    if raw is None:
        return None
    import xarray as xr
    from ._grid import _coords

    attrs = {"units": "m/s", "long_name": "Radial velocity relative to the tracked storms", "source": raw["volume"]}
    return xr.DataArray(raw["values"], dims=("z", "y", "x"), coords=_coords(raw, raw["volume"]), name=raw["name"],
                        attrs=attrs)
