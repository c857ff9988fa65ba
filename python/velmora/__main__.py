"""python3 -m velmora batch FILES...: the storm cells of many volumes on Dask
(`velmora batch` starts this)."""
import argparse
import os
import sys

NO_HAIL_LEVELS = ("no hail columns: give --freezing-level and --minus20-level (km above sea level) or "
                  "--sounding FILE")

USAGE_EXAMPLES = """\
standard output: without --out, the cells of all volumes as CSV (source, time, then
the columns of velmora.analyze's cells); with --out, nothing (DIR/cells.csv holds them).
standard error: the progress, each failed volume as "velmora batch: FILE: MESSAGE",
and the summary. Exit status 0 when every volume was analysed, 1 when some failed,
2 when the batch could not start.

examples:
  velmora batch data/*.nc --level 35 > cells.csv
  velmora batch data/*.nc --out results --workers 2
  velmora batch data/*.nc --scheduler tcp://10.0.0.5:8786 --out /shared/results
"""


def _parser():
    p = argparse.ArgumentParser(prog="velmora batch", description="The storm cells of many radar volumes, "
                                "one Dask task each, on this machine or a Dask cluster.",
                                epilog=USAGE_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+", metavar="FILE", help="volume files: gridded (NetCDF or .vti) or polar "
                   "(ODIM HDF5, NEXRAD Level II, CF/Radial; gridded first as velmora grid does)")
    p.add_argument("--var", default="DT", help="the reflectivity variable (default DT)")
    p.add_argument("--level", type=float, default=40.0, help="dBZ (default 40)")
    p.add_argument("--min-cells", type=int, default=8, help="areas of at most this many tetrahedra (the division "
                   "module's cells, not voxels) are dropped (default 8)")
    p.add_argument("--min-volume", type=float, default=None, metavar="KM3", help="cells of less volume, km³, are left "
                   "out (default 10; 0 keeps every cell)")
    p.add_argument("--out", metavar="DIR", help="write each volume's results to DIR/<file stem>/ and the "
                   "combined table to DIR/cells.csv")
    p.add_argument("--pictures", action="store_true", help="draw each volume's pictures (cells.png, plan.png) "
                   "in its folder under DIR")
    p.add_argument("--no-picture", action="store_true", help="no pictures (the default; kept for scripts)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="the Dask scheduler of a running cluster "
                       "(tcp://HOST:PORT); the workers must see the files and DIR at the same paths")
    where.add_argument("--workers", type=int, metavar="N", help="worker processes of the cluster started on "
                       "this machine (default: one per core)")
    p.add_argument("--retries", type=int, default=1, help="times a failed volume is tried again (default 1)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    hail = p.add_argument_group("hail", "the hail of each cell, as velmora analyze gives it (docs/hail.md)")
    hail.add_argument("--freezing-level", type=float, metavar="KM", help="the height of the 0 °C level, km above "
                      "sea level (with --minus20-level)")
    hail.add_argument("--minus20-level", type=float, metavar="KM", help="the height of the -20 °C level, km above "
                      "sea level")
    hail.add_argument("--sounding", metavar="FILE", help="a sounding (CSV of height in m above sea level and "
                      "temperature in °C) the two levels are interpolated from")
    polar = p.add_argument_group("polar volumes", "gridded as velmora grid does")
    polar.add_argument("--field", help="the quantity to grid (default the reflectivity)")
    polar.add_argument("--site", type=_numbers(3), metavar="LAT,LON,HEIGHT", help="the radar's position, over the file's")
    polar.add_argument("--spacing", type=_numbers(3), metavar="DX,DY,DZ", help="km (default 1,1,0.5)")
    polar.add_argument("--extent", type=_numbers(4), metavar="XMIN,XMAX,YMIN,YMAX",
                       help="km from the origin (default -150,150,-150,150)")
    polar.add_argument("--levels", type=_numbers(2), metavar="BOTTOM,TOP", help="km (default 0.5,15)")
    polar.add_argument("--origin", type=_numbers(2), metavar="LAT,LON", help="the grid's centre (default the radar)")
    polar.add_argument("--roi-min", type=float, help="the smallest radius of influence, km (default 0.5)")
    polar.add_argument("--roi-angle", type=float, help="its widening with range, degrees (default 1.5)")
    polar.add_argument("--no-despeckle", action="store_true", help="keep isolated gates with echo")
    polar.add_argument("--min-quality", type=float, metavar="Q", help="ODIM: leave out gates of a lower quality "
                       "index (QIND, 0 to 1)")
    polar.add_argument("--max-clutter-power", type=float, metavar="DB", help="NEXRAD: leave out gates the clutter "
                       "filter removed more power from (CFP, dB)")
    return p


def _numbers(count):
    def parse(text):
        try:
            values = [float(v) for v in text.split(",")]
        except ValueError:
            values = []
        if len(values) != count:
            raise argparse.ArgumentTypeError(f"{count} numbers separated by commas, not {text!r}")
        return values
    return parse


_NUMBER_LISTS = ("--site", "--spacing", "--extent", "--levels", "--origin")


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
    if args.workers is not None and args.workers < 1:
        print("velmora batch: --workers must be 1 or more", file=sys.stderr)
        return 2
    if args.retries < 0:
        print("velmora batch: --retries must be 0 or more", file=sys.stderr)
        return 2
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
    for source, error in zip(r.failures["source"], r.failures["error"]):
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
