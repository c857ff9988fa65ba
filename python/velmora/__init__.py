"""velmora: storm cells and radar-volume modules for Python.

    velmora.analyze(volume, var=..., level=..., min_cells=...)   (defaults and bounds: velmora analyze's)
    velmora.grid(polar_paths, out=None, ...)   (polar volumes gridded onto x, y, z)
    velmora.mosaic(polar_paths, ...)         (several radars' mosaic, with what it says of itself)
    velmora.read_polar(path)                 (a polar volume's sweeps as numpy arrays)
    velmora.modules()
    velmora.run(network)
    velmora.analyze_many(paths, ...)     (velmora.batch: many volume files on Dask)
    velmora.track(volumes, ...)          (storm cells over a series of volumes)
    velmora.rotation_tracks(folder)      (a track or watch folder's rotation tracks, an xarray.Dataset)
    velmora.storm_relative(folder, k)    (a track or watch folder volume's storm-relative velocity, an xarray.DataArray)
    velmora.watch(folder, out, ...)      (volumes as they arrive: tracked, forecast, verified; a generator)
    velmora.verify(folder)               (how good a track or watch folder's forecasts were)

pandas, xarray, matplotlib and Dask are imported when first needed, not on import.
"""
from ._errors import ModuleError, NetworkError
from ._run import modules, run
from ._analyze import Analysis, analyze
from ._track import rotation_tracks, storm_relative, track
from ._watch import WatchedVolume, verify, watch
from ._grid import grid, mosaic, read_polar
from . import batch
from .batch import analyze_many
from . import _core


def outstanding_arrays():
    """Host arrays handed out to modules and not taken back: 0 between calls."""
    return _core.outstanding_arrays()


__all__ = ["analyze", "Analysis", "analyze_many", "batch", "grid", "modules", "mosaic", "read_polar", "rotation_tracks",
           "run", "storm_relative", "track", "verify", "watch", "WatchedVolume", "ModuleError", "NetworkError", "outstanding_arrays"]
