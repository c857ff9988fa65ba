"""velmora.watch and velmora.verify: volumes analyzed, tracked and forecast as
they arrive in a folder, as `velmora watch` does, and the verification of a
finished track or watch folder's forecasts, as `velmora verify` gives it."""
import os
import select
import time
from dataclasses import dataclass

import numpy as np

from . import _core
from . import _options
from ._analyze import checked_min_volume, checked_settings, polar_options
from ._options import default as _default

LEADS = _default("watch", "leads")


@dataclass
class WatchedVolume:
    """What became of one volume: state is done, failed, skipped (too late), refused (not a regular file of the
    folder) or retry (the output folder took no more: tried again later); reason says why for all but done."""
    name: str
    state: str
    reason: str
    folder: str            # done: the folder of its analysis and forecasts
    time: object           # numpy.datetime64, or None
    cells: int
    relinked: int          # volumes after it linked again (a late volume)
    seconds: float         # from the start of its reading to its products in place
    radars: list = None    # a network's mosaic: the radars in it
    missing: list = None   # and those whose volume did not come by the deadline

    def forecast(self):
        """The forecast of each cell at each lead (forecast.csv) as a pandas DataFrame."""
        import pandas as pd
        return pd.read_csv(os.path.join(self.folder, "forecast.csv"), parse_dates=["valid_time"])


def _seconds(command, leads):
    """The lead times (minutes), checked as the command's --leads, in s, ascending without repeats."""
    return [60.0 * m for m in sorted(set(_options.checked(command, "leads", leads)))]


def watch(folder, out=_default("watch", "out"), *, once=False, settle=_default("watch", "settle"),
          reorder_window=_default("watch", "reorder_window"), leads=LEADS, poll=_default("watch", "poll"),
          inotify=True, chunk_timeout=_default("watch", "chunk_timeout"), deadline=_default("watch", "deadline"),
          var=_default("watch", "var"),
          level=_default("watch", "level"), min_cells=_default("watch", "min_cells"),
          max_speed=_default("watch", "max_speed"), max_gap=_default("watch", "max_gap"),
          picture=_default("watch", "no-picture"), polar=None,
          min_volume=_default("watch", "min_volume"), freezing_level=None, minus20_level=None, sounding=None):
    """Yields a WatchedVolume for each volume of folder as it is processed (oldest name first), as `velmora watch
    folder --out out` writes it: forecasts at the leads (minutes), the state in out/watch.db (started again, it
    goes on where it stopped; a second watcher on out is refused with RuntimeError). once: stop when what is there
    is done; otherwise it waits for more until the generator is closed (or Ctrl-C, between volumes). min_volume: as
    velmora.analyze's. freezing_level, minus20_level (km above sea level) or sounding (a CSV file): the hail of each
    cell and mesh.nc, as in velmora.analyze. A folder of two or more radar folders is a network's: each time step is
    one mosaic, made when every radar's volume is in or deadline seconds after its first volume came."""
    # Every option checked before the watcher opens its state: a refused one leaves out/ as it was.
    c = _options.check("watch", settle=settle, reorder_window=reorder_window, poll=poll, chunk_timeout=chunk_timeout,
                       deadline=deadline, max_speed=max_speed, max_gap=max_gap, freezing_level=freezing_level,
                       minus20_level=minus20_level)
    level, min_cells = checked_settings(var, level, min_cells)
    seconds = _seconds("watch", leads)
    polar = dict(polar or {})
    polar = polar_options(polar.pop("field", None), polar.pop("site", None), polar, "watch")
    hail = {k: (os.fspath(v) if k == "sounding" else v)
            for k, v in dict(freezing_level=c["freezing_level"], minus20_level=c["minus20_level"],
                             sounding=sounding).items() if v is not None}
    options = dict(input=os.fspath(folder), out=os.fspath(out), settle=c["settle"], poll=c["poll"],
                   inotify=bool(inotify), chunk_timeout=c["chunk_timeout"], deadline=c["deadline"],
                   reorder_window=c["reorder_window"],
                   leads=seconds, var=var, level=level, min_cells=min_cells, max_speed=c["max_speed"],
                   max_gap=c["max_gap"], picture=bool(picture), polar=polar, min_volume=checked_min_volume(min_volume),
                   hail=hail)
    w = _core.Watcher(options)
    try:
        while True:
            for v in w.step():
                if v["state"] == "waiting":
                    continue
                t = None if v["time"] is None else np.datetime64(int(round(v["time"])), "s")
                yield WatchedVolume(v["name"], v["state"], v["reason"],
                                    os.path.join(out, "volumes", v["folder"]) if v["folder"] else "", t, v["cells"],
                                    v["relinked"], v["seconds"], v["radars"], v["missing"])
            if w.has_ready():
                continue
            if once and not w.settling():
                return
            _wait(w)
    finally:
        w.close()


def _wait(w):
    """Until the folder changes or the watcher's wait is over, in short slices (Ctrl-C is seen between them)."""
    end = time.monotonic() + w.wait_seconds()
    fd = w.fd()
    while (left := end - time.monotonic()) > 0:
        if fd >= 0:
            if select.select([fd], [], [], min(0.2, left))[0]:
                return
        else:
            time.sleep(min(0.2, left))


def verify(folder, leads=_default("verify", "leads"), *, max_speed=_default("verify", "max_speed"),
           interval=_default("verify", "interval")):
    """The verification of a finished `velmora track` or `velmora watch` folder's forecasts, as `velmora verify`
    gives it: a pandas DataFrame of lead_min, method (nowcast, lagrangian, eulerian), volumes, hits, misses,
    false_alarms, pod, far, csi, centre_error_km, centres."""
    import pandas as pd
    c = _options.check("verify", max_speed=max_speed, interval=interval)
    seconds = _seconds("verify", leads)
    return pd.DataFrame(_core.verify_folder(os.fspath(folder), seconds, c["max_speed"], c["interval"]))
