"""velmora.batch: the storm cells of many volumes at once, on Dask.

    cells, failures = velmora.batch.analyze_many(paths, out=None, client=None)

The volumes go to Dask in groups, a few tasks per worker. The workers read
the files themselves (only paths go over the wire) and send back each
group's cells as one table; the tables are gathered as they finish and put
back in the order of the paths. A volume that fails, or whose worker dies,
is retried `retries` times and then reported in `failures`; it never stops
the batch. Polar volumes of several radars are a network's series, as
`velmora track` takes them: each time step is one mosaic, and takes the
place of a volume here.
"""
import functools
import os
import sys
import time
import uuid

from . import _core
from . import _options
from ._options import default as _default
from ._analyze import checked_min_volume, checked_settings, polar_options
from ._track import analyze_step, series_grid

_FAILURE_COLUMNS = ["source", "error", "type"]


class BatchResult:
    """What analyze_many() returns: `cells` (one DataFrame of all cells,
    with `source` and `time` first; of a network's time steps, `source`,
    `files` and `time`), `failures` (`source`, `error`, `type`; of steps,
    `files` after `source`), `folders` (each analyzed source's folder under
    `out`, when given) and `summary` (a dict). Unpacks as
    `cells, failures = result`."""

    def __init__(self, cells, failures, folders, summary):
        self.cells = cells
        self.failures = failures
        self.folders = folders
        self.summary = summary

    def __iter__(self):
        return iter((self.cells, self.failures))

    def __repr__(self):
        return f"<velmora.batch.BatchResult: {summary_line(self.summary)}>"


def summary_line(s):
    """The one-line summary of a batch, as the command prints it: of a
    network's series, done and failed count its time steps."""
    what = f"{s['volumes']} volumes"
    if "steps" in s:
        what = f"{_steps(s['steps'])} of {what}"
    return (f"{what} in {s['seconds']:.1f} s: {s['done']} done, {s['failed']} failed, "
            f"{s['cells']} cells, {s['volumes_per_second']:.2f} volumes/s")


def _steps(n):
    return f"{n} time step{'' if n == 1 else 's'}"


def network_line(volumes, radars, steps):
    """What the batch says of a network's series, as `velmora track` says it."""
    return f"{volumes} volumes of {radars} radars in {_steps(steps)}, each one mosaic"


def hail_keywords(freezing_level=None, minus20_level=None, sounding=None):
    """The keywords of velmora.analyze for the hail levels, a sounding's read
    here: {} without levels; ValueError when they cannot be used."""
    c = _options.check("batch", freezing_level=freezing_level, minus20_level=minus20_level)
    levels = _core.hail_levels(c["freezing_level"], c["minus20_level"],
                               "" if sounding is None else os.fspath(sounding))
    return {} if levels is None else dict(freezing_level=levels[0], minus20_level=levels[1])


def analyze_one(path, var=_default("batch", "var"), level=_default("batch", "level"),
                min_cells=_default("batch", "min_cells"), folder=None, picture=True, polar=None):
    """One volume, as a worker analyzes it: its cells (with `time`, NaT when
    the file has none) and, with `folder`, the files of `velmora analyze
    --out folder`, made beside it and put in its place when complete. Also
    what the batch's serial reference runs. A list of paths is a network's
    time step: their mosaic on the series' grid (polar's), as `velmora
    track` analyzes it.
    polar: more keywords of velmora.analyze: field, site and grid for polar
    volumes, min_volume, and freezing_level and minus20_level for hail."""
    import pandas as pd

    from ._analyze import analyze
    _undo_fixed_malloc_trim()
    if isinstance(path, list):
        a = analyze_step(path, level=level, min_cells=min_cells, **(polar or {}))
    else:
        a = analyze(path, var=var, level=level, min_cells=min_cells, **(polar or {}))
    cells = a.cells
    if "time" not in cells.columns:
        cells = cells.assign(time=pd.NaT)
    if folder is not None:
        a.to_files(folder, picture=picture)
    return cells


def analyze_group(items, var, level, min_cells, picture, retries, polar=None):
    """Several volumes in one task: [(index, source, path, folder, files)]
    -> (cells, outcomes). A network's time step has a list of paths and
    `files`, what the table says made it (None for a volume). `cells` is one
    DataFrame of the group's cells, with `source` (and `files`) added, in
    the order of the items (None when no volume succeeded); `outcomes` is
    [(index, error or None)], error being (type name, message). A volume that fails is tried again here, up to
    `retries` more times, and then reported; the others go on. Volumes of
    a few milliseconds each go to the workers in groups, and come back as
    one table, so that Dask's cost per task and per result is shared among
    them."""
    import pandas as pd
    frames, outcomes = [], []
    for i, source, path, folder, files in items:
        said = dict(source=source) if files is None else dict(source=source, files=files)
        for attempt in range(retries + 1):
            try:
                frames.append(analyze_one(path, var, level, min_cells, folder, picture, polar).assign(**said))
                outcomes.append((i, None))
                break
            except Exception as e:  # noqa: BLE001 - reported with the volume, as the batch promises
                if attempt == retries:
                    outcomes.append((i, (type(e).__name__, str(e))))
    return (pd.concat(frames, ignore_index=True) if frames else None), outcomes


def _group_size(volumes, workers):
    """Volumes per task: two tasks per worker, up to 64 volumes a task. Each
    task costs the scheduler, which shares the machine with the workers,
    some milliseconds: on CPOL-size volumes (about 13 ms each) eight tasks
    per worker scaled two workers to only 1.31 times one worker, two tasks
    per worker about as well as two plain processes (docs/batch.md)."""
    return max(1, min(64, -(-volumes // max(1, 2 * workers))))


@functools.cache
def _undo_fixed_malloc_trim():
    """Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_=65536, so
    that freed memory goes back to the system at once. Any fixed trim
    threshold also stops glibc from raising its mmap threshold, and every
    block above 128 KB is then mapped fresh and faulted in page by page: an
    analysis takes three to four times as long. Here the thresholds are set
    back to the highest glibc would reach by itself (32 MB mmap, twice that
    trim). Once per process: the settings stay."""
    if "MALLOC_TRIM_THRESHOLD_" not in os.environ:
        return
    import ctypes
    try:
        libc = ctypes.CDLL(None)
        m_trim_threshold, m_mmap_threshold = -1, -3      # malloc.h
        libc.mallopt(m_mmap_threshold, 32 << 20)
        libc.mallopt(m_trim_threshold, 64 << 20)
    except (OSError, AttributeError):
        pass                                              # not glibc: nothing to undo


# The batch's own files in `out`: no volume's folder takes their names.
_OWN_FILES = ("cells.csv", "failures.csv")


def _folder_names(paths):
    """Each path's folder under `out`: its file's stem; when several paths
    share a stem, the later ones (in the order of the paths) get `stem-2`,
    `stem-3`, ..., skipping names another path's stem or the batch's own
    files already take. The rule of `velmora track`'s volumes/ folders."""
    names = _core.volume_folder_names([os.fsencode(p) for p in paths], [os.fsencode(n) for n in _OWN_FILES])
    return [os.fsdecode(n) for n in names]


# Times as every file of velmora writes them: ISO 8601 in UTC.
ISO_UTC = "%Y-%m-%dT%H:%M:%SZ"


def _write_csv(df, path):
    """A CSV of the batch, written into its work folder."""
    with open(path, "w", newline="") as f:
        df.to_csv(f, index=False, date_format=ISO_UTC)


class _Progress:
    """tqdm when it is installed, otherwise a line on standard error that is
    redrawn on a terminal and written every tenth of the batch elsewhere."""

    def __init__(self, total, enabled, steps=False):
        self.total, self.done, self.failed = total, 0, 0
        self.what = "time steps" if steps else "volumes"
        self.bar = None
        self.enabled = enabled and total > 0
        if not self.enabled:
            return
        try:
            from tqdm import tqdm
            self.bar = tqdm(total=total, unit="step" if steps else "vol", desc="velmora batch", file=sys.stderr)
        except ImportError:
            self.tty = sys.stderr.isatty()
            self.step = max(1, total // 10)

    def update(self, failed):
        self.done += 1
        self.failed += failed
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(1)
            if failed:
                self.bar.set_postfix(failed=self.failed)
        elif self.tty or self.done % self.step == 0 or self.done == self.total:
            text = f"velmora batch: {self.done}/{self.total} {self.what}, {self.failed} failed"
            sys.stderr.write(f"\r{text}" if self.tty else f"{text}\n")
            sys.stderr.flush()

    def close(self):
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.close()
        elif self.tty:
            sys.stderr.write("\n")


def local_cluster(workers=None):
    """The cluster analyze_many starts on this machine: `workers` (default:
    one per core) single-threaded worker processes (the host is one per
    process: threads of a worker would take turns). A cluster of your own
    for several batches: `with local_cluster() as c, Client(c) as client:`."""
    import logging

    import dask
    from distributed import LocalCluster
    n = workers if workers is not None else (os.cpu_count() or 1)
    # The workers start without Dask's fixed malloc trim threshold (see
    # _undo_fixed_malloc_trim) and with glibc's malloc on huge pages, as the
    # velmora launcher starts the command.
    env = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    env.pop("MALLOC_TRIM_THRESHOLD_", None)
    tunables = os.environ.get("GLIBC_TUNABLES", "")
    if "glibc.malloc.hugetlb" not in tunables:
        env["GLIBC_TUNABLES"] = f"{tunables}:glibc.malloc.hugetlb=1" if tunables else "glibc.malloc.hugetlb=1"
    # The workers' own notes of a failed task are left out (the failures
    # are reported with the results); the HTTP server, which a scheduler
    # always has, takes a free port rather than warning that 8787 is taken.
    # The dashboard's monitors run at a calmer pace: at Dask's defaults (a
    # profile sample every 10 ms, an event-loop tick every 20 ms, worker
    # memory every 100 ms) an idle cluster of two workers takes some 15 % of
    # a core, which on a machine whose cores all run workers comes out of
    # the analyses; at these, under 2 %.
    calm = {"distributed.worker.profile.enabled": False, "distributed.admin.tick.interval": "1s",
            "distributed.worker.memory.monitor-interval": "1s", "distributed.admin.system-monitor.interval": "2s"}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": env, **calm}):
        return LocalCluster(n_workers=n, processes=True, threads_per_worker=1, dashboard_address=":0",
                            silence_logs=logging.ERROR)


def analyze_many(paths, var=_default("batch", "var"), level=_default("batch", "level"),
                 min_cells=_default("batch", "min_cells"), out=None, client=None,
                 retries=_default("batch", "retries"), *, workers=None, picture=False, progress=True, field=None,
                 site=None, grid=None, min_volume=_default("batch", "min_volume"),
                 freezing_level=None, minus20_level=None, sounding=None):
    """The storm cells of many volume files, analyzed on Dask distributed.

    client: a distributed.Client, a scheduler's address ("tcp://host:8786"),
    or None for a LocalCluster of `workers` (default: one per core)
    single-threaded worker processes, closed afterwards. Each volume is
    tried 1 + `retries` times (Dask's retries), a worker that dies meanwhile
    included. With `out`, each volume's files go to `out/<file stem>/` and
    the combined table to `out/cells.csv`, the failures to
    `out/failures.csv`: made beside `out` and put in its place once the
    batch has run. ValueError, before any work, when `out` holds anything
    velmora did not write.

    Returns a BatchResult; `cells, failures = analyze_many(...)` unpacks it.
    `cells` holds every cell with `source` (the path as given) and `time`
    (NaT for a file without one) first, in the order of `paths` and then of
    the cells' numbers, whatever the workers and the order they finish in.
    `failures` holds `source`, `error` (the exception's message, exactly)
    and `type` (its class name), in the order of `paths`.

    Polar volumes (ODIM HDF5, NEXRAD Level II, CF/Radial) are gridded first
    with field, site and grid as velmora.analyze takes them; min_volume
    leaves out cells of less volume (km³), as velmora.analyze does.
    picture=True draws each volume's pictures into its folder (velmora
    batch --pictures).

    Polar volumes of several radars are a network's series, grouped into
    time steps as `velmora track` groups them (velmora.track): each step is
    analyzed as one mosaic on the grid of the whole series (its DT; `var` is
    not used) and counts as one volume above: its `source` and folder are
    its first file's, the column `files` (after `source`, in `cells` and
    `failures`) holds its files joined by " + ", and the summary has `steps`
    and `radars` (done and failed count steps). A line on standard error
    says how the files were grouped.

    freezing_level, minus20_level (km above sea level) or sounding (a CSV
    file): the hail of each cell, as velmora.analyze gives it. A sounding is
    read here, once: the workers get its levels, and one that cannot be used
    is refused (ValueError) before any work."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]                  # one file, not its characters
    paths = [os.fspath(p) for p in paths]
    level, min_cells = checked_settings(var, level, min_cells)
    polar = dict(field=field, site=site, grid=grid, min_volume=checked_min_volume(min_volume),
                 **hail_keywords(freezing_level, minus20_level, sounding))
    options = polar_options(field, site, grid or {}, "batch")    # refused here, not on every worker
    retries = _options.checked("batch", "retries", retries)
    workers = _options.checked("batch", "workers", workers)
    work = _Work(paths, options, polar)
    if out is None:
        return _run(work, (var, level, min_cells, picture, retries, work.polar), client, workers, progress, {}, {})
    # The results are made in a folder beside `out` and replace it once the
    # batch has run; `out` is refused before any work (ValueError) when it
    # holds what velmora did not write. The volumes may lie in it.
    results = _core.ResultFolder(os.fsencode(os.fspath(out)), [os.fsencode(os.path.abspath(p)) for p in paths])
    out = os.fsdecode(results.target)
    try:
        made = os.fsdecode(results.work)
        names = _folder_names(work.sources)
        r = _run(work, (var, level, min_cells, picture, retries, work.polar), client, workers, progress,
                 {i: os.path.join(made, n) for i, n in enumerate(names)},
                 {i: os.path.join(out, n) for i, n in enumerate(names)})
        _write_csv(r.cells, os.path.join(made, "cells.csv"))
        _write_csv(r.failures, os.path.join(made, "failures.csv"))
        results.commit()
    finally:
        results.discard()
    return r


class _Work:
    """What a batch analyzes: each of the paths (`sources`, as given;
    `targets`, absolute), or, when they are polar volumes of several radars,
    the time steps of their network's series (_core.network_series, as
    `velmora track` takes them): a step's source is its first file, its
    target the list of its files, `files` its files as given joined by
    " + ", and `polar` (analyze_one's) has the series' grid (series_grid)."""

    def __init__(self, paths, options, polar):
        self.volumes = len(paths)
        self.polar = polar
        self.sources, self.targets = list(paths), [os.path.abspath(p) for p in paths]
        self.files = [None] * len(paths)
        self.radars = 0
        names = [os.fsdecode(p) for p in paths]
        network = _network(names, options)
        if network is None:
            return
        taken = {}
        for i, name in enumerate(names):
            taken.setdefault(name, []).append(i)
        steps = [[taken[name].pop(0) for name in step] for step in network["steps"]]
        self.sources = [paths[step[0]] for step in steps]
        self.targets = [[os.path.abspath(names[i]) for i in step] for step in steps]
        self.files = [" + ".join(names[i] for i in step) for step in steps]
        self.radars = network["radars"]
        self.polar = dict(polar, grid=series_grid(network, polar["grid"]))


def _network(paths, options):
    """_core.network_series of the paths, or None. A file whose radar or
    time cannot be read (RuntimeError) leaves each volume to be analyzed on
    its own, which is said on standard error; a name the library cannot
    give back (not UTF-8) too, silently."""
    try:
        return _core.network_series(paths, options)
    except RuntimeError as e:
        print(f"velmora batch: {e}; each volume is analyzed on its own", file=sys.stderr)
    except (UnicodeError, TypeError):
        pass
    return None


def _run(work, settings, client, workers, progress, folders, shown):
    """The batch on Dask: each volume's (or time step's) cells, and its
    files in folders[i] when given. A BatchResult whose folders are those
    of the volumes done, where they will be: shown[i]."""
    import pandas as pd
    from distributed import Client

    cluster = own_client = None
    if client is None:
        cluster = local_cluster(workers)
        client = own_client = Client(cluster)
    elif isinstance(client, str):
        client = own_client = Client(client)
    n = len(work.sources)
    try:
        if work.radars:
            print(f"velmora batch: {network_line(work.volumes, work.radars, n)}", file=sys.stderr)
        start = time.perf_counter()
        size = _group_size(n, len(client.nthreads()) or 1)
        groups = [[(i, work.sources[i], work.targets[i], folders.get(i), work.files[i])
                   for i in range(g, min(g + size, n))] for g in range(0, n, size)]
        tables, done, failed = _gather(client, groups, settings, n, progress, bool(work.radars))
        seconds = time.perf_counter() - start
    finally:
        if own_client is not None:
            own_client.close()
        if cluster is not None:
            cluster.close()

    frames = [tables[k] for k in sorted(tables) if tables[k] is not None]
    said = ["source", "files"] if work.radars else ["source"]       # which volume, or which time step
    first = said + ["time"]
    if frames:
        table = pd.concat(frames, ignore_index=True)
        table = table[first + [c for c in table.columns if c not in first]]
    else:
        table = pd.DataFrame({c: pd.Series(dtype="datetime64[ns]" if c == "time" else object) for c in first})
    failures = pd.DataFrame([(work.sources[i], work.files[i], *failed[i][::-1]) for i in sorted(failed)],
                            columns=["source", "files", "error", "type"])[said + _FAILURE_COLUMNS[1:]]
    summary = dict(volumes=work.volumes, done=len(done), failed=len(failed), cells=len(table), seconds=seconds,
                   volumes_per_second=work.volumes / seconds if seconds > 0 else 0.0)
    if work.radars:
        summary.update(steps=n, radars=work.radars)
    return BatchResult(table, failures, {work.sources[i]: shown[i] for i in sorted(done)} if shown else {}, summary)


def _gather(client, groups, settings, volumes, progress, steps):
    """The groups' tasks submitted and gathered as they finish: the tables
    by group, the volumes (or time steps) done and those failed with their
    errors."""
    from distributed import as_completed
    var, level, min_cells, picture, retries, polar = settings
    token = uuid.uuid4().hex[:8]
    # A task whose worker dies is run again elsewhere (Dask's retries);
    # a volume that fails is retried within its task.
    futures = [client.submit(analyze_group, group, var, level, min_cells, picture, retries, polar,
                             key=f"velmora-analyze-{token}-{k}", retries=retries, pure=False)
               for k, group in enumerate(groups)]
    index = {f.key: k for k, f in enumerate(futures)}
    tables, done, failed = {}, set(), {}
    bar = _Progress(volumes, progress, steps)
    try:
        for f in as_completed(futures):
            k = index[f.key]
            try:
                tables[k], outcomes = f.result()
            except Exception as e:  # noqa: BLE001 - a task lost for good (KilledWorker): its volumes failed
                outcomes = [(item[0], (type(e).__name__, str(e))) for item in groups[k]]
            for i, error in outcomes:
                if error is None:
                    done.add(i)
                else:
                    failed[i] = error
                bar.update(error is not None)
    finally:
        bar.close()
        del futures
    return tables, done, failed
