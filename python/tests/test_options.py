"""The Python functions and the batch parser against the library's table of options: every numeric option given
NaN, infinities, a negative number, zero, its bounds and one past each is refused, before any work and with
nothing written, by a ValueError in the program's words, or taken; the defaults are the table's."""
import inspect
import math
import os

import pytest

import velmora
from velmora import _core, _options
from velmora.__main__ import main as batch_main

FUNCTIONS = {"analyze": velmora.analyze, "track": velmora.track, "watch": velmora.watch, "verify": velmora.verify,
             "grid": velmora.grid, "batch": velmora.analyze_many}
# The program's options each function does not take (what it does instead is in its docstring).
NOT_TAKEN = {
    "analyze": {"out", "compress", "no-picture", "seams", "report", "timings"},
    "track": {"out", "freezing-level", "minus20-level", "sounding", "field", "site", "spacing", "extent", "levels",
              "origin", "roi-min", "roi-angle", "min-quality", "max-clutter-power", "no-despeckle", "dealias",
              "pictures", "no-picture", "timings"},
    "watch": {"alert", "view", "no-browser"},
    "verify": {"out"},
    "grid": {"min-quality", "max-clutter-power", "timings"},
    "batch": {"pictures", "no-picture", "scheduler"},   # picture=True, client=
}
GRID_KEYS = {"spacing", "extent", "levels", "origin", "roi_min", "roi_angle", "min_quality", "max_clutter_power",
             "combine", "max_age", "calibrate", "despeckle", "dealias"}


def numeric(command):
    return [o for o in _options.TABLE if command in o["commands"] and o["type"] not in ("text", "flag")]


def trials(o):
    """The values an option is tried with, as Python numbers."""
    values = [math.nan, math.inf, -math.inf, -1, 0, 2.5]
    if math.isfinite(o["min"]) or math.isfinite(o["max"]):
        def past(bound):
            return 1 if o["type"] == "integer" else max(1e-3 * abs(bound), 0.01)
        values += [o["min"], o["max"], o["min"] - past(o["min"]), o["max"] + past(o["max"])]
    return [int(v) if o["type"] == "integer" and math.isfinite(v) and v == int(v) else v for v in values]


def fits(o, v):
    whole = o["type"] != "integer" or (math.isfinite(v) and v == int(v))
    return math.isfinite(v) and whole and o["min"] <= v <= o["max"]


def call(command, tmp_path, key, value):
    """The command's function with the option given; watch's generator is started."""
    volume = str(tmp_path / "in.nc")
    kw = {}
    params = inspect.signature(FUNCTIONS[command]).parameters
    if key in GRID_KEYS and "grid" in params:    # analyze's own origin is the cells' (lat, lon)
        kw["grid"] = {key: value}
    elif key in params:
        kw[key] = value
    else:
        kw["polar"] = {key: value}
    if command == "analyze":
        return velmora.analyze(volume, **kw)
    if command == "track":
        return velmora.track([volume], **kw)
    if command == "watch":
        return next(velmora.watch(tmp_path / "in", tmp_path / "out", once=True, **kw))
    if command == "verify":
        return velmora.verify(tmp_path / "out", **kw)
    if command == "grid":
        return velmora.grid([volume], **kw)
    return velmora.analyze_many([volume], out=str(tmp_path / "results"), progress=False, **kw)


def listing(folder):
    return sorted((p, os.path.getsize(p), os.path.getmtime(p)) for p in folder.rglob("*"))


@pytest.mark.parametrize("command", sorted(FUNCTIONS))
def test_every_numeric_option_refuses_what_its_bounds_leave_out_before_any_work(command, tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "watch.db").write_text("state")
    before = listing(tmp_path)
    refused = 0
    for o in numeric(command):
        if o["name"] in NOT_TAKEN[command]:
            continue
        key = o["name"].replace("-", "_")
        for v in trials(o):
            given = [v] * (o["count"] or 1) if o["type"] == "numbers" else v
            if fits(o, v):
                assert _core.option_problem(command, o["name"], _options._text(v)) == ""
                continue
            words = _core.option_problem(command, o["name"], _options._text(v))
            assert words, (command, key, v)
            with pytest.raises(ValueError) as e:
                call(command, tmp_path, key, given)
            assert str(e.value) == f"{key}: {words}"
            assert listing(tmp_path) == before, (command, key, v)
            refused += 1
    assert (tmp_path / "out" / "watch.db").read_text() == "state"
    assert refused > 10


@pytest.mark.parametrize("command", sorted(FUNCTIONS))
def test_functions_take_every_option_of_their_command_with_the_tables_default(command):
    params = inspect.signature(FUNCTIONS[command]).parameters
    for o in _options.TABLE:
        if command not in o["commands"] or o["name"] in NOT_TAKEN[command]:
            continue
        key = o["setting"].replace("-", "_")
        if key not in params:
            assert key in GRID_KEYS or key in ("field", "site"), (command, key)
            continue
        default = params[key].default
        if o["default"] is not None and default is not None and key != "out":
            assert default == o["default"], (command, key)


def test_the_message_is_the_programs(tmp_path):
    with pytest.raises(ValueError, match=r'^level: not a finite number from -100 to 100 dBZ: "nan"$'):
        next(velmora.watch(tmp_path, tmp_path / "out", once=True, level=math.nan))
    with pytest.raises(ValueError, match=r'^settle: not a finite number from 0 to 3600 s: "nan"$'):
        next(velmora.watch(tmp_path, tmp_path / "out", once=True, settle=math.nan))
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(TypeError, match="level must be a number, not str"):
        velmora.analyze(tmp_path / "in.nc", level="40")


@pytest.mark.parametrize("argv, says", [
    (["--level", "nan"], 'velmora batch: --level: not a finite number from -100 to 100 dBZ: "nan"'),
    (["--min-cells", "2.5"], 'velmora batch: --min-cells: not a whole number from 0 to 2147483647: "2.5"'),
    (["--retries", "-1"], "velmora batch: --retries: -1 is not from 0 to 100"),
    (["--workers", "0"], "velmora batch: --workers: 0 is not from 1 to 10000"),
    (["--spacing", "1,0,1"], "velmora batch: --spacing: 0 is not from 0.01 to 100 km"),
    (["--extent", "-1,1"], "velmora batch: --extent: 4 numbers separated by commas (XMIN,XMAX,YMIN,YMAX), not '-1,1'"),
])
def test_the_batch_parser_refuses_in_one_line(argv, says, tmp_path, capsys):
    with pytest.raises(SystemExit) as e:
        batch_main(["batch", str(tmp_path / "a.nc"), *argv])
    assert e.value.code == 2
    assert capsys.readouterr().err == says + "\n"
    assert list(tmp_path.iterdir()) == []


def test_the_batch_parser_takes_the_tables_defaults():
    from velmora.__main__ import _parser
    args = _parser().parse_args(["a.nc"])
    for name in ("var", "level", "min_cells", "min_volume", "retries"):
        want = _options.default("batch", name)
        assert getattr(args, name) == (list(want) if isinstance(want, tuple) else want), name
    # The grid's options not given are left to the library, which takes the table's defaults and knows
    # they were not given (a network's grid spans every radar unless an extent is given).
    for name in ("spacing", "extent", "levels", "roi_min", "roi_angle", "origin"):
        assert getattr(args, name) is None, name
