"""python3 -m velmora batch FILES...: the storm cells of many volumes on Dask
(`velmora batch` starts this)."""
import argparse
import os
import sys

from . import _core, _options

NO_HAIL_LEVELS = ("no hail columns: give --freezing-level and --minus20-level (km above sea level) or "
                  "--sounding FILE")

USAGE_EXAMPLES = """\
standard output: without --out, the cells of all volumes as CSV (source, time, then
the columns of velmora.analyze's cells); with --out, nothing (DIR/cells.csv holds them).
Polar volumes of several radars are grouped into time steps, as velmora track groups
them: each step is one mosaic, named after its first file, with the column files.
standard error: the progress, each failed volume as "velmora batch: FILE: MESSAGE",
and the summary. Exit status 0 when every volume was analyzed, 1 when some failed,
2 when the batch could not start.

examples:
  velmora batch data/*.nc --level 35 > cells.csv
  velmora batch data/*.nc --out results --workers 2
  velmora batch data/*.nc --scheduler tcp://10.0.0.5:8786 --out /shared/results
"""


class _Parser(argparse.ArgumentParser):
    """argparse that says a refused option in one line, as the program's commands do."""

    def error(self, message):
        print(f"velmora batch: {message.removeprefix('argument ')}", file=sys.stderr)
        sys.exit(2)


def _value(o):
    """The parser of an option's value: checked as the library checks it, in its words."""
    def parse(text):
        parts = text.split(",") if o["type"] == "numbers" else [text]
        if o["type"] == "numbers" and o["count"] and len(parts) != o["count"]:
            raise argparse.ArgumentTypeError(f"{o['count']} numbers separated by commas ({o['metavar']}), not {text!r}")
        for part in parts:
            problem = _core.option_problem("batch", o["name"], part)
            if problem:
                raise argparse.ArgumentTypeError(problem)
        values = [int(float(p)) if o["type"] == "integer" else float(p) for p in parts]
        return values if o["type"] == "numbers" else values[0]
    return parse


def _add(group, name, unset=False):
    """--name of velmora batch, from the table of options. unset: None when
    not given, so that the library applies its default, knowing it was not
    given (a network's grid spans every radar unless --extent is given)."""
    o = _options.option("batch", name)
    text = o["help"]
    if o["type"] == "flag":
        return group.add_argument(f"--{name}", action="store_true", help=text)
    if o["type"] != "text":
        text += f" ({o['bounds']}"
        text += f"; default {o['default_text']})" if o["default_text"] else ")"
    elif o["default_text"]:
        text += f" (default {o['default_text']})"
    kw = dict(help=text, metavar=o["metavar"] or None, default=o["default"])
    if o["type"] == "numbers":
        kw["default"] = None if o["default"] is None else list(o["default"])
    if unset:
        kw["default"] = None
    if o["type"] != "text":
        kw["type"] = _value(o)
    return group.add_argument(f"--{name}", **kw)


def _parser():
    p = _Parser(prog="velmora batch", description="The storm cells of many radar volumes, "
                "one Dask task each, on this machine or a Dask cluster.",
                epilog=USAGE_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+", metavar="FILE", help="volume files: gridded (NetCDF or .vti) or polar "
                   "(ODIM HDF5, NEXRAD Level II, CF/Radial; gridded first as velmora grid does)")
    for name in ("var", "level", "min-cells", "min-volume", "out", "pictures", "no-picture"):
        _add(p, name)
    where = p.add_mutually_exclusive_group()
    for name in ("scheduler", "workers"):
        _add(where, name)
    for name in ("retries", "no-progress"):
        _add(p, name)
    hail = p.add_argument_group("hail", "the hail of each cell, as velmora analyze gives it (docs/hail.md)")
    for name in ("freezing-level", "minus20-level", "sounding"):
        _add(hail, name)
    polar = p.add_argument_group("polar volumes", "gridded as velmora grid does")
    for name in ("field", "site"):
        _add(polar, name)
    for name in ("spacing", "extent", "levels", "origin", "roi-min", "roi-angle"):
        _add(polar, name, unset=True)
    for name in ("no-despeckle", "min-quality", "max-clutter-power"):
        _add(polar, name, unset=True)
    return p


_NUMBER_LISTS = tuple(f"--{o['name']}" for o in _options.TABLE if o["type"] == "numbers" and "batch" in o["commands"])


def _joined(argv):
    """--extent -150,150,... as --extent=-150,150,...: argparse takes a value
    that starts with a minus sign for an option of its own."""
    out, i = [], 0
    while i < len(argv):
        value = argv[i + 1] if i + 1 < len(argv) else ""
        if argv[i] in _NUMBER_LISTS and value.startswith("-") and value[1:2].isdigit():
            out.append(f"{argv[i]}={value}")
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def batch(argv):
    args = _parser().parse_args(_joined(list(argv)))
    try:
        import distributed  # noqa: F401
        import pandas  # noqa: F401
    except ImportError as e:
        print(f"velmora batch: needs Dask distributed and pandas (Debian: python3-distributed, python3-pandas): {e}",
              file=sys.stderr)
        return 2
    from .batch import ISO_UTC, analyze_many, summary_line
    try:
        r = analyze_many(args.files, var=args.var, level=args.level, min_cells=args.min_cells, out=args.out,
                         min_volume=args.min_volume,
                         client=args.scheduler, retries=args.retries, workers=args.workers,
                         picture=args.pictures and not args.no_picture, progress=not args.no_progress, field=args.field,
                         site=args.site, grid=dict(spacing=args.spacing, extent=args.extent, levels=args.levels,
                                                   origin=args.origin, roi_min=args.roi_min,
                                                   roi_angle=args.roi_angle,
                                                   despeckle=False if args.no_despeckle else None,
                                                   min_quality=args.min_quality,
                                                   max_clutter_power=args.max_clutter_power),
                         freezing_level=args.freezing_level, minus20_level=args.minus20_level, sounding=args.sounding)
    except (OSError, ValueError, TypeError, TimeoutError) as e:
        print(f"velmora batch: {e}", file=sys.stderr)
        return 2
    # A network's time step is named by its files, as velmora track names it.
    failed = r.failures["files"] if "files" in r.failures else r.failures["source"]
    for source, error in zip(failed, r.failures["error"]):
        print(f"velmora batch: {source}: {error}", file=sys.stderr)
    print(f"velmora batch: {summary_line(r.summary)}", file=sys.stderr)
    if args.freezing_level is None and args.minus20_level is None and args.sounding is None:
        print(f"velmora batch: {NO_HAIL_LEVELS}.", file=sys.stderr)
    if args.out is None:
        try:
            r.cells.to_csv(sys.stdout, index=False, date_format=ISO_UTC)
            sys.stdout.flush()
        except BrokenPipeError:        # a reader that stopped early (| head)
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 1 if len(r.failures) else 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    usage = "usage: python3 -m velmora batch FILE... [--help]"
    if argv and argv[0] in ("-h", "--help"):
        print(usage)
        return 0
    if not argv or argv[0] != "batch":
        print(usage, file=sys.stderr)
        return 2
    return batch(argv[1:])


if __name__ == "__main__":
    sys.exit(main())
