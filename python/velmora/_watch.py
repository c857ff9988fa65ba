"""velmora.watch and velmora.verify: volumes analysed, tracked and forecast as
they arrive in a folder, as `velmora watch` does, and the verification of a
finished track or watch folder's forecasts, as `velmora verify` gives it."""
import os
import select
import time
from dataclasses import dataclass

import numpy as np

from . import _core
from ._analyze import checked_min_volume

LEADS = (10, 20, 30, 45, 60)


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

    def forecast(self):
        """The forecast of each cell at each lead (forecast.csv) as a pandas DataFrame."""
        import pandas as pd
        return pd.read_csv(os.path.join(self.folder, "forecast.csv"), parse_dates=["valid_time"])


def _checked(leads, settle, poll, max_speed, max_gap, reorder_window):
    leads = sorted({float(m) for m in leads})
    if not leads or not all(0.5 <= m <= 360 for m in leads):
        raise ValueError(f"leads are minutes from 0.5 to 360, not {leads}")
    if not (np.isfinite(max_speed) and max_speed > 0):
        raise ValueError(f"max_speed must be a speed above 0 m/s, not {max_speed}")
    if not (settle >= 0 and poll > 0 and max_gap >= 0 and int(reorder_window) >= 0):
        raise ValueError("settle, max_gap and reorder_window must be 0 or more, poll more than 0")
    return [60.0 * m for m in leads]


def watch(folder, out="velmora-watch", *, once=False, settle=2.0, reorder_window=2, leads=LEADS, poll=1.0,
          inotify=True, chunk_timeout=600.0, var="DT", level=40.0, min_cells=8, max_speed=45.0, max_gap=0.0,
          picture=False, polar=None, min_volume=None, freezing_level=None, minus20_level=None, sounding=None):
    """Yields a WatchedVolume for each volume of folder as it is processed (oldest name first), as `velmora watch
    folder --out out` writes it: forecasts at the leads (minutes), the state in out/watch.db (started again, it
    goes on where it stopped; a second watcher on out is refused with RuntimeError). once: stop when what is there
    is done; otherwise it waits for more until the generator is closed (or Ctrl-C, between volumes). min_volume: as
    velmora.analyze's. freezing_level, minus20_level (km above sea level) or sounding (a CSV file): the hail of each
    cell and mesh.nc, as in velmora.analyze."""
    hail = {k: (os.fspath(v) if k == "sounding" else float(v))
            for k, v in dict(freezing_level=freezing_level, minus20_level=minus20_level, sounding=sounding).items()
            if v is not None}
    if not chunk_timeout > 0:
        raise ValueError(f"chunk_timeout must be more than 0 s, not {chunk_timeout}")
    options = dict(input=os.fspath(folder), out=os.fspath(out), settle=float(settle), poll=float(poll),
                   inotify=bool(inotify), chunk_timeout=float(chunk_timeout), reorder_window=int(reorder_window),
                   leads=_checked(leads, settle, poll, max_speed, max_gap, reorder_window), var=var,
                   level=float(level), min_cells=int(min_cells), max_speed=float(max_speed), max_gap=float(max_gap),
                   picture=bool(picture), polar=dict(polar or {}), min_volume=checked_min_volume(min_volume), hail=hail)
    w = _core.Watcher(options)
    try:
        while True:
            for v in w.step():
                if v["state"] == "waiting":
                    continue
                t = None if v["time"] is None else np.datetime64(int(round(v["time"])), "s")
                yield WatchedVolume(v["name"], v["state"], v["reason"],
                                    os.path.join(out, "volumes", v["folder"]) if v["folder"] else "", t, v["cells"],
                                    v["relinked"], v["seconds"])
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


def verify(folder, leads=LEADS, *, max_speed=45.0, interval=300.0):
    """The verification of a finished `velmora track` or `velmora watch` folder's forecasts, as `velmora verify`
    gives it: a pandas DataFrame of lead_min, method (nowcast, lagrangian, eulerian), volumes, hits, misses,
    false_alarms, pod, far, csi, centre_error_km, centres."""
    import pandas as pd
    seconds = _checked(leads, 0, 1, max_speed, 0, 0)
    return pd.DataFrame(_core.verify_folder(os.fspath(folder), seconds, float(max_speed), float(interval)))
