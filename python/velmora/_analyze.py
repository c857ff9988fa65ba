"""velmora.analyze: the storm cells of a radar volume, as `velmora analyze`
finds them, returned to pandas, xarray and numpy."""
import os
import re
import types
import uuid
import warnings

import numpy as np

from . import _core
from . import _options
from ._options import default as _default

_LENGTH_UNITS = ("", "m", "meter", "meters", "metre", "metres", "km", "kilometer", "kilometers", "kilometre",
                 "kilometres")


def _time_index(n, time, what):
    if time is None:
        if n != 1:
            raise ValueError(f"{what} holds {n} time steps; choose one with time=INDEX")
        return 0
    t = int(time)
    if not 0 <= t < n:
        raise ValueError(f"time={time} is not a time step of {what} (it holds {n})")
    return t


def _units_of(coord):
    units = coord.attrs.get("units", "") if hasattr(coord, "attrs") else ""
    return str(units)


def _from_dataarray(da, var, time):
    """values (z, y, x), coordinate arrays and units, the time and the dims
    and coords the labels take from a DataArray."""
    dims = tuple(da.dims)
    if set(dims) == {"z", "y", "x"}:
        lead = ()
    elif set(dims) == {"time", "z", "y", "x"}:
        lead = ("time",)
    else:
        raise ValueError(f"the volume's dimensions must be (z, y, x) or (time, z, y, x), not {dims}")
    for axis in "xyz":
        if axis not in da.coords or da.coords[axis].ndim != 1:
            raise ValueError(f"the volume needs a 1-D coordinate {axis}")
    da = da.transpose(*lead, "z", "y", "x")
    when = None
    if lead:
        t = _time_index(da.sizes["time"], time, "the volume")
        if "time" in da.coords:
            when = da.coords["time"].values[t]
        da = da.isel(time=t)
    elif "time" in da.coords and da.coords["time"].ndim == 0:
        # One volume with its time as a scalar coordinate, as velmora.grid gives it.
        when = da.coords["time"].values[()]
    xy_units = _units_of(da.coords["x"])
    if _units_of(da.coords["y"]) != xy_units:
        raise ValueError("coordinates x and y must have the same units")
    return dict(origin=_origin_of(da), values=_undecoded(da), x=np.asarray(da.coords["x"].values, dtype=np.float64),
                y=np.asarray(da.coords["y"].values, dtype=np.float64),
                z=np.asarray(da.coords["z"].values, dtype=np.float64), xy_units=xy_units,
                z_units=_units_of(da.coords["z"]), var=str(da.name) if da.name is not None else var,
                units=str(da.attrs.get("units", "dBZ")), time=when, template=da, lead=lead)


_CF_KEYS = ("_FillValue", "missing_value", "valid_min", "valid_max", "valid_range", "scale_factor", "add_offset")


def _undecoded(da):
    """The values of a DataArray; one read without CF decoding
    (decode_cf=False, mask_and_scale=False) still carries its missing values
    and packing as attributes: its _FillValue, every value of its
    missing_value and values outside its valid range are NaN, and
    scale_factor and add_offset are applied, as a file is read."""
    values = da.values
    attrs = {k: np.asarray(da.attrs[k]).ravel() for k in _CF_KEYS if k in da.attrs}
    if not attrs or values.dtype.kind not in "fiu":
        return values
    raw = np.asarray(values)
    bad = ~np.isfinite(raw) if raw.dtype.kind == "f" else np.zeros(raw.shape, bool)
    for k in ("_FillValue", "missing_value"):
        if k in attrs:
            bad |= np.isin(raw, attrs[k].astype(raw.dtype))
    low = high = None
    if "valid_range" in attrs and attrs["valid_range"].size == 2:
        low, high = attrs["valid_range"]
    low = attrs["valid_min"][0] if "valid_min" in attrs else low
    high = attrs["valid_max"][0] if "valid_max" in attrs else high
    if low is not None:
        bad |= raw < low
    if high is not None:
        bad |= raw > high
    out = raw.astype(np.float64 if raw.dtype == np.float64 else np.float32)
    if "scale_factor" in attrs or "add_offset" in attrs:
        out = out * out.dtype.type(attrs.get("scale_factor", [1])[0]) + out.dtype.type(attrs.get("add_offset", [0])[0])
    out[bad] = np.nan
    return out


def _increasing(values, coords):
    """values (z, y, x) and coordinates [x, y, z] with every strictly
    decreasing axis turned to increase (image-like products write rows north
    to south), as velmora reads such files; and the axes of values turned."""
    turned = tuple(axis for axis, c in zip((2, 1, 0), coords) if c.ndim == 1 and c.size > 1 and (np.diff(c) < 0).all())
    if not turned:
        return values, coords, ()
    coords = [c[::-1] if axis in turned else c for axis, c in zip((2, 1, 0), coords)]
    return np.ascontiguousarray(np.flip(values, axis=turned)), coords, turned


def _origin_of(obj):
    """(lat, lon) of the grid's origin from the variables or coordinates
    origin_latitude/origin_longitude of a Dataset or DataArray (a scalar, or
    one value of the time step chosen), else from the attributes of those
    names; None when there is none."""
    found = []
    for name in ("origin_latitude", "origin_longitude"):
        v = obj.variables.get(name) if hasattr(obj, "data_vars") else obj.coords.get(name)
        if v is None:
            v = obj.attrs.get(name)
        if v is None:
            return None
        a = np.asarray(getattr(v, "values", v), dtype=np.float64).ravel()
        if a.size != 1:
            return None
        found.append(float(a[0]))
    return tuple(found)


_GRID_KEYS = ("spacing", "extent", "levels", "origin", "roi_min", "roi_angle", "despeckle", "min_quality",
              "max_clutter_power", "dealias", "combine", "max_age", "calibrate")


def polar_options(field, site, grid, command="analyze"):
    """The options of gridding polar volumes as the binding takes them, checked as the command's."""
    unknown = set(grid) - set(_GRID_KEYS)
    if unknown:
        raise TypeError(f"unknown grid options {sorted(unknown)}; they are {', '.join(_GRID_KEYS)}")
    options = {k: v if k in ("despeckle", "dealias") else _options.checked(command, k, v) for k, v in grid.items()
               if v is not None}
    if field is not None:
        options["field"] = str(field)
    if site is not None:
        options["site"] = _options.checked(command, "site", site)
    return options


def checked_min_volume(min_volume):
    """The least volume of a cell, km³ (float; the default for None);
    TypeError or ValueError for one that cannot be used."""
    if min_volume is None:
        return float(_default("analyze", "min_volume"))
    return _options.checked("analyze", "min_volume", min_volume)


def checked_settings(var, level, min_cells):
    """The level (float) and min_cells (int) of an analysis; TypeError or
    ValueError for settings no analysis can use."""
    level = _options.checked("analyze", "level", level)
    min_cells = _options.checked("analyze", "min_cells", min_cells)
    if not isinstance(var, str):
        raise TypeError(f"var must be the name of a variable, not {type(var).__name__}")
    return level, min_cells


# The seconds since 1970 that datetime64[ns] holds: 1677-09-21 to 2262-04-11.
_NS_RANGE = (-9223372036.0, 9223372035.0)


def _datetime(seconds, what="the volume"):
    """numpy datetime64[ns] of seconds since 1970-01-01 UTC (a file's CF time
    on the Gregorian calendar, as the library reads it), None for none. A
    time datetime64[ns] cannot hold is NaT, with a warning: converted, it
    would wrap round to another century."""
    if seconds is None:
        return None
    if not _NS_RANGE[0] <= seconds <= _NS_RANGE[1]:
        warnings.warn(f"{what}: its time, {seconds:.0f} s since 1970-01-01, is outside the years 1678 to 2261 that "
                      "datetime64[ns] holds: marked NaT", UserWarning, stacklevel=3)
        return np.datetime64("NaT", "ns")
    whole = np.floor(seconds)
    return np.datetime64(int(whole), "s").astype("datetime64[ns]") + np.timedelta64(
        int(round((seconds - whole) * 1e9)), "ns")


def _warn_notes(raw):
    """Warnings of what the gridding of a polar volume left out."""
    for note in raw.get("notes", ()):
        warnings.warn(note, UserWarning, stacklevel=3)


def _path_arg(path):
    """A path as the library takes it: its bytes, whatever they are (a name
    that is not UTF-8 comes from os.fsdecode as surrogates)."""
    return os.fsencode(path)


def _max_voxels(max_voxels):
    """The bound of a volume's voxels, as velmora analyze --max-voxels takes it."""
    if max_voxels is None:
        return _default("analyze", "max_voxels")
    return _options.checked("analyze", "max_voxels", max_voxels)


def _check_values(values):
    """The values of a volume as an array of real numbers; the masked values
    of a numpy masked array are NaN, missing data."""
    masked = np.ma.isMaskedArray(values)
    a = np.ma.getdata(values) if masked else np.asarray(values)
    if a.dtype.kind not in "fiu":
        raise TypeError(f"the volume must hold real numbers, not {a.dtype}")
    if masked:
        mask = np.ma.getmaskarray(values)
        if mask.any():
            a = np.where(mask, np.float32(np.nan), a.astype(np.float64 if a.dtype == np.float64 else np.float32))
    return a


# The conventional reflectivity colours of radar displays (NWS), 5 dBZ a
# step from 5 to 80 dBZ, as the command's plan.png.
_NWS_COLOURS = ["#04e9e7", "#019ff4", "#0300f4", "#02fd02", "#01c501", "#008e00", "#fdf802", "#e5bc00",
                "#fd9500", "#fd0000", "#d40000", "#bc0000", "#f800fd", "#9854c6", "#fdfdfd"]


def _map_lines(lon0, lon1, lat0, lat1, margin=0.5):
    """The coastlines (kind 0) and borders (kind 1) of the map velmora ships
    (the viewer's map.bin, as the command's pictures draw it) that reach into
    the box: (kind, lon, lat) each; none without the map file."""
    path = _core.map_file()
    if not path:
        return []
    b = np.fromfile(path, np.uint8)
    if bytes(b[:4]) != b"VMAP" or b[4:8].view("<u4")[0] != 1:
        return []
    n = int(b[8:12].view("<u4")[0])
    counts, kinds = b[16:16 + 4 * n].view("<u4"), b[16 + 4 * n:16 + 5 * n]
    xy = b[16 + 4 * n + (n + 3) // 4 * 4:].view("<f4").reshape(-1, 2)
    ends = np.cumsum(counts)
    lines = []
    for kind, end, count in zip(kinds, ends, counts):
        lon, lat = xy[end - count:end, 0], xy[end - count:end, 1]
        if ((lon >= lon0 - margin) & (lon <= lon1 + margin) & (lat >= lat0 - margin) & (lat <= lat1 + margin)).any():
            lines.append((int(kind), lon, lat))
    return lines


def _plan_context(ax, origin, x_km, y_km):
    """The map context of the command's plan view: coastlines, borders, the
    radar at the origin and its range rings; the axes' limits kept."""
    xlim, ylim = ax.get_xlim(), ax.get_ylim()
    for kind, lon, lat in _map_lines(min(xlim), max(xlim), min(ylim), max(ylim)):
        ax.plot(lon, lat, color="#26406f" if kind == 0 else "#595959", lw=1.0, ls="-" if kind == 0 else "--")
    reach = float(np.hypot(np.abs(x_km).max(), np.abs(y_km).max()))
    step = float(10 ** np.floor(np.log10(reach / 4)))
    step = next(m * step for m in (1, 2, 2.5, 5, 10) if m * step >= reach / 4)
    turn = np.linspace(0, 2 * np.pi, 181)
    for r in np.arange(step, reach + 1e-9, step):
        lat, lon = _core.geographic(*origin, r * np.cos(turn), r * np.sin(turn))
        ax.plot(lon, lat, color="0.45", lw=0.6)
    ax.plot(origin[1], origin[0], marker="+", ms=12, mew=2, color="0.1")
    ax.set_xlim(xlim)
    ax.set_ylim(ylim)


# Files of an analysis a volume given in memory must not take the name of.
_RESULT_NAMES = ("grid.nc", "mesh.nc", "synthetic.nc")


def volume_file_name(var, source=None):
    """The name of a volume given in memory among its results: the stem of
    the file it was read from (xarray's encoding "source"), if any, and its
    variable, "cpol_200601200050_DT.nc", else "DT.nc"; characters other than
    letters, digits, "_", "-", "+" and "." become "_", and a name that is one
    of the analysis' own files, or empty, gets "volume" before it."""
    stem = os.path.splitext(os.path.basename(str(source)))[0] + "_" if source else ""
    name = re.sub(r"[^A-Za-z0-9_.+-]", "_", f"{stem}{var}").lstrip(".")
    name = f"{name}.nc" if name else "volume.nc"
    return f"volume_{name}" if name in _RESULT_NAMES else name


def _edges(c):
    """The bounds of the grid cells about coordinates c: halfway between
    neighbours, half a spacing beyond the ends."""
    c = np.asarray(c, dtype=np.float64)
    if c.size < 2:
        return np.array([c[0] - 0.5, c[0] + 0.5]) if c.size else c
    mid = (c[1:] + c[:-1]) / 2
    return np.concatenate([[2 * c[0] - mid[0]], mid, [2 * c[-1] - mid[-1]]])


class Analysis:
    """The storm cells of a volume: `cells` (pandas.DataFrame), `labels`
    (xarray.DataArray), `surface` (numpy arrays), `to_files(folder)` and
    `plot(ax=None)`."""

    def __init__(self, raw, *, var, level, min_cells, time_value, source, template=None, lead=(), time_index=None,
                 origin=None, cells_options=None, turned=()):
        self.var = var
        self._turned = turned                   # axes of the input that decrease: labels keep the input's order
        self._cells_options = cells_options or {}   # echo_tops, split_levels, min_core
        self.origin = origin                    # (lat, lon) of x = y = 0, or None
        self.level = level
        self.min_cells = min_cells
        self.outcome = raw["outcome"]          # "cells", "no echo" or "nothing kept"
        self.highest = raw["highest"]
        self.min_volume = self._cells_options.get("min_volume", float(_core.default_min_volume))
        self.cells_found = raw.get("cells_found", 0)          # the division's areas, before min_volume
        self.cells_too_small = raw.get("cells_too_small", 0)  # left out: less volume than min_volume
        self.printed = list(raw["printed"])    # the divisions' tables of areas
        self.x_km, self.y_km, self.z_km = raw["x"], raw["y"], raw["z"]
        self.column_max = raw["column_max"]
        self._mesh = raw.get("mesh")             # None without hail levels
        self._raw_cells = raw["cells"]          # the statistics module's measures (cells.csv)
        self._properties = raw["properties"]    # the property table (cell_properties.csv)
        self._labels = raw["labels"]
        self._template = template
        self._lead = lead
        self._time = time_value
        # Why the volume has no time, where its file gives one velmora cannot read.
        self._time_problem = raw.get("time_problem", "")
        if time_value is not None and np.isnat(time_value):
            self._time_problem = "its time is outside what datetime64[ns] holds"
        self._time_index = time_index
        self._source = source                   # a path, or the values and coordinates
        s = raw["surface"]
        self.surface = types.SimpleNamespace(points=s["points"], triangles=s["triangles"], area_no=s["area_no"],
                                             cell=s["cell"])
        self._cells = None

    def __repr__(self):
        return f"<velmora.Analysis: {len(self._raw_cells['cell'])} storm cells at {self.level:g} dBZ ({self.var})>"

    @property
    def cells(self):
        """One row per cell, in the order of their numbers: the columns of
        cell_properties.csv, the lowest reflectivity and its standard
        deviation as the statistics module gives them (cells.csv), and lat,
        lon and time where the volume has them."""
        if self._cells is None:
            import pandas as pd
            props = {k: v for k, v in self._properties.items() if k not in ("lat", "lon")}
            df = pd.DataFrame(props)
            c = self._raw_cells
            df["min_dbz"] = c["min_dbz"].astype(np.float64)
            df["sd_dbz"] = c["sd_dbz"].astype(np.float64)
            if self.origin is not None:
                # The position of a cell on the map is its reflectivity-weighted centre.
                df["lat"], df["lon"] = _core.geographic(*self.origin, df["wx_km"].to_numpy(), df["wy_km"].to_numpy())
            # Every table of cells has the time: NaT when the volume has none.
            df["time"] = pd.Series(self._time if self._time is not None else pd.NaT, index=df.index,
                                   dtype="datetime64[ns]")
            self._cells = df
        return self._cells

    @property
    def mesh(self):
        """The MESH of every column (mm, Witt et al. 1998; docs/hail.md) as
        an xarray.DataArray (y, x), or None when no hail levels were given."""
        if self._mesh is None:
            return None
        import xarray as xr
        coords = {"y": ("y", self.y_km, {"units": "km"}), "x": ("x", self.x_km, {"units": "km"})}
        return xr.DataArray(self._mesh, dims=("y", "x"), coords=coords, name="mesh",
                            attrs={"units": "mm", "long_name": "maximum expected size of hail"})

    @property
    def labels(self):
        """The cell of every voxel (0 outside cells), with the input's dims
        and coordinates."""
        import xarray as xr
        labels = np.flip(self._labels, axis=self._turned) if self._turned else self._labels
        if self._template is not None:
            t = self._template
            da = xr.DataArray(labels, dims=t.dims, coords={k: v for k, v in t.coords.items()
                                                                 if set(v.dims) <= set(t.dims) and not (self._lead and k == "time")}, name="cell")
            if self._lead:
                da = da.expand_dims(time=[self._time] if self._time is not None else 1)
            return da
        km = {"z": (self.z_km, 0), "y": (self.y_km, 1), "x": (self.x_km, 2)}
        coords = {k: (k, c[::-1] if axis in self._turned else c, {"units": "km"}) for k, (c, axis) in km.items()}
        return xr.DataArray(labels, dims=("z", "y", "x"), coords=coords, name="cell")

    def to_files(self, folder, picture=True):
        """Writes the files of `velmora analyze --out folder` and returns
        what the command prints. The folder is replaced as the command
        replaces it: only by a run that succeeded, and only when it holds
        nothing but velmora's results (ValueError otherwise). A volume given
        in memory is written too among the results (NetCDF, coordinates in
        metres), which the analysis reads: named after the file xarray read
        it from and its variable, `cpol_200601200050_DT.nc`, or after the
        variable alone, `DT.nc`."""
        folder = os.fspath(folder)
        time = _core.only_time if self._time_index is None else self._time_index
        if isinstance(self._source, str):
            out = _core.write_files(_path_arg(self._source), self.var, self.level, self.min_cells, time,
                                    _path_arg(folder), bool(picture), _core.max_volume_nodes, **self._cells_options)
            _warn_notes(out)
            return out["summary"]
        # Written beside the folder, and moved among the results by the run.
        head, name = os.path.split(os.path.abspath(folder))
        os.makedirs(head, exist_ok=True)
        path = os.path.join(head, f".{name}.volume-{uuid.uuid4().hex[:16]}.nc")
        s = self._source
        try:
            _core.write_volume(path, s["values"], s["x"], s["y"], s["z"], s["xy_units"], s["z_units"], self.var,
                               s["units"], self.origin)
            out = _core.write_files(_path_arg(path), self.var, self.level, self.min_cells, _core.only_time,
                                    _path_arg(folder), bool(picture), _core.max_volume_nodes,
                                    volume_as=volume_file_name(self.var, s.get("file")),
                                    **self._cells_options)
            _warn_notes(out)
            return out["summary"]
        finally:
            if os.path.exists(path):
                os.remove(path)

    def plot(self, ax=None, lonlat=False):
        """Plan view as `velmora analyze` draws plan.png: column-maximum
        reflectivity in the conventional colours (5 dBZ steps from 5 dBZ,
        weaker echo left blank), the cells' outlines and numbers, a colour bar
        in dBZ, the time in the title; axes in km, or in longitude and latitude
        with lonlat=True (a volume with an origin), then on the map with the
        radar and its range rings. Returns the axes."""
        import matplotlib.colors
        import matplotlib.pyplot as plt
        if lonlat and self.origin is None:
            raise ValueError("the volume has no origin: give analyze(..., origin=(lat, lon)) for lonlat=True")
        if ax is None:
            _, ax = plt.subplots(figsize=(7, 6))
        c = self._raw_cells
        top = np.ma.masked_less(np.ma.masked_invalid(self.column_max), 5.0)
        colours = dict(cmap=matplotlib.colors.ListedColormap(_NWS_COLOURS),
                       norm=matplotlib.colors.BoundaryNorm(np.arange(5, 85, 5), len(_NWS_COLOURS)))
        if lonlat:
            def on_map(x, y):
                gx, gy = np.meshgrid(np.asarray(x, np.float64), np.asarray(y, np.float64))
                lat, lon = _core.geographic(*self.origin, gx.ravel(), gy.ravel())
                return lon.reshape(gx.shape), lat.reshape(gx.shape)
            # The columns' corners on the map: a grid cell reaches halfway to its neighbours.
            mesh = ax.pcolormesh(*on_map(_edges(self.x_km), _edges(self.y_km)), top, shading="flat", **colours)
            px, py = on_map(self.x_km, self.y_km)
            ty, tx = _core.geographic(*self.origin, c["wx_km"].astype(np.float64), c["wy_km"].astype(np.float64))
        else:
            px, py, tx, ty = self.x_km, self.y_km, c["wx_km"], c["wy_km"]
            mesh = ax.pcolormesh(px, py, top, shading="nearest", **colours)
        ax.figure.colorbar(mesh, ax=ax, label="dBZ", ticks=np.arange(5, 80, 5))
        plan = self._labels.max(axis=0)
        for no, cx, cy in zip(c["cell"], tx, ty):
            ax.contour(px, py, (plan == no).astype(np.float32), levels=[0.5], colors="k", linewidths=0.8)
            ax.text(cx, cy, str(no), ha="center", va="center", fontsize=8, weight="bold",
                    bbox=dict(boxstyle="square,pad=0.1", fc="white", ec="none", alpha=0.8))
        if lonlat:
            _plan_context(ax, self.origin, self.x_km, self.y_km)
        ax.set_xlabel("longitude (°E)" if lonlat else "x (km)")
        ax.set_ylabel("latitude (°N)" if lonlat else "y (km)")
        ax.set_aspect(1.0 / np.cos(np.radians(self.origin[0])) if lonlat else "equal")
        when = "" if self._time is None else np.datetime_as_string(self._time, unit="s") + "Z  "
        ax.set_title(f"{when}{len(c['cell'])} storm cells at {self.level:g} dBZ")
        return ax


def analyze(volume, var=_default("analyze", "var"), level=_default("analyze", "level"),
            min_cells=_default("analyze", "min_cells"), *, x=None, y=None, z=None, xyz_units="km", time=None,
            max_voxels=_default("analyze", "max_voxels"), origin=None, echo_tops=None, split_levels=None,
            min_core=_default("analyze", "min_core"), field=None, site=None, grid=None, freezing_level=None,
            minus20_level=None, sounding=None, min_volume=_default("analyze", "min_volume")):
    """The storm cells of a radar volume, as `velmora analyze` finds them.

    volume: a path (NetCDF or .vti), an xarray.Dataset (var names the
    variable), an xarray.DataArray with dims (z, y, x) or (time, z, y, x) and
    1-D coordinates x, y, z (m or km by their units), or a numpy array
    (z, y, x) with the coordinates given as x=, y=, z= in xyz_units. NaN is
    missing data. Every number below has the default and bounds of the
    program's option of the same name (docs/cli.md). echo_tops: the levels
    of the echo-top columns (dBZ); split_levels, min_core: cells divided at
    their cores at these higher levels, cores of at least min_core voxels
    (as velmora analyze --split-levels, --min-core). min_volume: cells of
    less volume (km³) are left out, as velmora analyze --min-volume (0 keeps
    all); `cells_found` and `cells_too_small` say how many were
    found and left out. time: the time step of a volume of
    several. origin:
    (latitude, longitude) of x = y = 0, for the cells' lat and lon; by
    default the volume's origin_latitude/origin_longitude where it has them.

    A path may also name a polar volume (ODIM HDF5, NEXRAD Level II,
    CF/Radial): it is gridded first, as velmora.grid does with field, site
    and the grid's options (a dict of spacing, extent, levels, origin,
    roi_min, roi_angle). A list of several radars' polar volumes of one
    time is analyzed as their mosaic (velmora.mosaic, its DT).

    freezing_level, minus20_level (km above sea level), or sounding (a CSV
    of height m and temperature °C): the hail of each cell (shi, mesh_mm,
    mesh75_mm, mesh95_mm, posh_pct, poh_pct, height_max_dbz_above_h0_km in
    `cells`) and of each column (`mesh`); without them, none (docs/hail.md)."""
    if origin is not None:
        origin = tuple(float(c) for c in origin)
        if len(origin) != 2 or not (abs(origin[0]) <= 90 and -180 <= origin[1] <= 360):
            raise ValueError(f"origin must be (latitude, longitude) in degrees, not {origin}")
    level, min_cells = checked_settings(var, level, min_cells)
    limit = _max_voxels(max_voxels)
    c = _options.check("analyze", time=time, echo_tops=echo_tops, split_levels=split_levels or None,
                       min_core=min_core, freezing_level=freezing_level, minus20_level=minus20_level)
    time, echo_tops, min_core = c["time"], c["echo_tops"], c["min_core"]
    split_levels, freezing_level, minus20_level = c["split_levels"], c["freezing_level"], c["minus20_level"]
    settings = dict(var=var, level=level, min_cells=min_cells)
    # The property table's echo tops, and the division of cells at their cores
    # (velmora analyze --echo-tops, --split-levels, --min-core).
    options = dict(split_levels=[float(v) for v in (split_levels or [])], min_core=int(min_core),
                   min_volume=checked_min_volume(min_volume))
    polar = polar_options(field, site, grid or {})
    if polar:
        options["polar"] = polar
    if echo_tops is not None:
        options["echo_tops"] = [float(v) for v in echo_tops]
    hail = {k: v for k, v in dict(freezing_level=freezing_level, minus20_level=minus20_level,
                                  sounding=None if sounding is None else os.fspath(sounding)).items() if v is not None}
    if hail:
        options["hail"] = {k: (float(v) if k != "sounding" else v) for k, v in hail.items()}
    settings["cells_options"] = options

    if isinstance(volume, (list, tuple)) and volume and all(isinstance(v, (str, bytes, os.PathLike)) for v in volume):
        if len(volume) > 1:
            # Several radars' polar volumes of one time: their mosaic, as `velmora analyze A B C` makes it.
            from ._grid import mosaic
            ds = mosaic(volume, field=field, site=site, **(grid or {}))
            return analyze(ds, "DT", level, min_cells, max_voxels=max_voxels, origin=origin, echo_tops=echo_tops,
                           split_levels=split_levels, min_core=min_core, freezing_level=freezing_level,
                           minus20_level=minus20_level, sounding=sounding, min_volume=min_volume)
        volume = volume[0]
    if isinstance(volume, (str, bytes, os.PathLike)):
        path = os.fsdecode(volume)
        if not path:
            raise ValueError("the volume's path is empty")
        t = _core.only_time if time is None else int(time)
        raw = _core.analyze_file(_path_arg(path), var, level, min_cells, t, limit, **options)
        _warn_notes(raw)
        return Analysis(raw, time_value=_datetime(raw["time"], path), source=path, origin=origin or raw["origin"],
                        time_index=None if time is None else t, **settings)

    xr = _xarray_if_loaded()
    dataset_origin = None
    source_file = None
    if xr is not None and isinstance(volume, (xr.Dataset, xr.DataArray)):
        source_file = volume.encoding.get("source")
    if xr is not None and isinstance(volume, xr.Dataset):
        if var not in volume.data_vars:
            raise KeyError(f"the dataset has no variable {var!r}; it has: {', '.join(map(str, volume.data_vars))}")
        if time is not None and "time" in volume.dims:
            dataset_origin = _origin_of(volume.isel(time=int(time)) if 0 <= int(time) < volume.sizes["time"] else volume)
        else:
            dataset_origin = _origin_of(volume)
        volume = volume[var]
    if xr is not None and isinstance(volume, xr.DataArray):
        v = _from_dataarray(volume, var, time)
        settings["var"] = v["var"] if volume.name is not None else var
        template, lead = v.pop("template"), v.pop("lead")
        when = v.pop("time")
        found = v.pop("origin")
        origin = origin if origin is not None else dataset_origin if dataset_origin is not None else found
    else:
        if x is None or y is None or z is None:
            raise TypeError("a numpy volume needs its coordinates: analyze(values, x=..., y=..., z=...)")
        if xyz_units not in _LENGTH_UNITS:
            raise ValueError(f"xyz_units must be m or km, not {xyz_units!r}")
        values = _check_values(volume)
        if values.ndim == 4:
            values = values[_time_index(values.shape[0], time, "the volume")]
        v = dict(values=values, x=x, y=y, z=z, xy_units=xyz_units, z_units=xyz_units, var=var, units="dBZ")
        template, lead, when = None, (), None
    values = _check_values(v["values"])
    coords = [np.asarray(v[k]) for k in "xyz"]
    for k, c in zip("xyz", coords):
        if c.dtype.kind not in "fiu":
            raise TypeError(f"coordinate {k} must hold real numbers, not {c.dtype}")
    values, coords, turned = _increasing(values, coords)
    settings["turned"] = turned
    raw = _core.analyze_array(values, coords[0], coords[1], coords[2], v["xy_units"], v["z_units"], settings["var"],
                              v["units"], level, min_cells, limit, **options)
    source = dict(values=values, x=coords[0], y=coords[1], z=coords[2], xy_units=v["xy_units"], z_units=v["z_units"],
                  units=v["units"], file=source_file)
    return Analysis(raw, time_value=when, source=source, template=template, lead=lead, origin=origin, **settings)


def _xarray_if_loaded():
    """xarray, when the caller has it: an xarray object can only come from a
    loaded xarray, so a numpy input does not pay for importing it."""
    import sys
    return sys.modules.get("xarray")
