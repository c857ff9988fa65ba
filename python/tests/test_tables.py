"""Every table velmora writes is CSV pandas reads as it is: with rows and
without (its header alone, the same columns), and with volume names holding
commas, quotes and line ends."""
import shutil

import pandas as pd
import pytest

from conftest import command

NAMES = ["b,1.nc", 'say "hi".nc', "two\nlines.nc", "plain.nc"]
HAIL = ("--freezing-level", "2", "--minus20-level", "4")


@pytest.fixture(scope="module")
def named(tmp_path_factory):
    """The synthetic series under names a CSV must quote, in time order."""
    d = tmp_path_factory.mktemp("series")
    assert command("synth", "--series", str(len(NAMES)), d / "s").returncode == 0
    for k, name in enumerate(NAMES):
        shutil.copy(d / "s" / f"series_{k:03d}.nc", d / name)
    return d


def tables_under(folder):
    """Every .csv under the folder, by its path within it."""
    return {str(p.relative_to(folder)): p for p in sorted(folder.rglob("*.csv"))}


def run(*args):
    r = command(*args)
    assert r.returncode == 0, r.stderr
    return r


def test_every_table_reads_with_its_rows_and_names_as_given(named, tmp_path):
    volumes = [named / n for n in reversed(NAMES)]
    run("track", *volumes, "--out", tmp_path / "track", "--no-picture", *HAIL)
    run("verify", tmp_path / "track", "--out", tmp_path / "verify.csv")
    arriving = tmp_path / "in"
    arriving.mkdir()
    for n in NAMES:
        shutil.copy(named / n, arriving / n)
    run("watch", arriving, "--out", tmp_path / "watch", "--once", "--settle", "0", "--no-picture")
    run("synth", "--series", "2", tmp_path / "synth")
    tables = {**{f"track/{k}": p for k, p in tables_under(tmp_path / "track").items()},
              **{f"watch/{k}": p for k, p in tables_under(tmp_path / "watch").items()},
              "verify.csv": tmp_path / "verify.csv", "truth.csv": tmp_path / "synth" / "truth.csv"}
    for must in ["track/tracks.csv", "track/volumes.csv", "track/hail_tracks.csv", "watch/tracks.csv",
                 "watch/volumes.csv", "watch/verify.csv", "track/volumes/b,1/cells.csv",
                 "track/volumes/b,1/cell_properties.csv", "track/volumes/b,1/surface_cells.csv",
                 "watch/volumes/plain/forecast.csv"]:
        assert must in tables, must
    for name, path in tables.items():
        df = pd.read_csv(path)
        assert len(df) > 0 and not df.columns.str.startswith("Unnamed").any(), name
    for folder in ["track", "watch"]:
        v = pd.read_csv(tmp_path / folder / "volumes.csv")
        assert list(v["volume"]) == NAMES, folder
        assert set(pd.read_csv(tmp_path / folder / "tracks.csv")["source"]) == set(NAMES), folder
    assert set(pd.read_csv(tmp_path / "track" / "hail_tracks.csv")["source"]) <= set(NAMES)


def test_without_cells_every_table_is_its_header_with_the_same_columns(named, tmp_path):
    volume = named / "plain.nc"
    run("analyze", volume, "--out", tmp_path / "cells", "--no-picture")
    for how, more in [("no echo", ["--level", "90"]), ("none kept", ["--min-volume", "1e6"])]:
        out = tmp_path / how.replace(" ", "_")
        r = run("analyze", volume, "--out", out, "--no-picture", *more)
        assert r.stdout.startswith("0 storm cells"), (how, r.stdout)
        # The isosurface's areas stay where the cells are all too small.
        empty = ["cells.csv", "cell_properties.csv"] + (["surface_cells.csv"] if how == "no echo" else [])
        for table in ["cells.csv", "cell_properties.csv", "surface_cells.csv"]:
            got, full = pd.read_csv(out / table), pd.read_csv(tmp_path / "cells" / table)
            assert len(full) > 0 and (len(got) == 0) == (table in empty), (how, table)
            assert list(got.columns) == list(full.columns), (how, table)
    # A series without cells: its tables too, the same columns as one with cells.
    volumes = [named / n for n in NAMES[:2]]
    run("track", *volumes, "--out", tmp_path / "none", "--no-picture", "--level", "90", *HAIL)
    run("track", *volumes, "--out", tmp_path / "some", "--no-picture", *HAIL)
    for table in ["tracks.csv", "hail_tracks.csv", "volumes.csv", "volumes/b,1/cell_properties.csv"]:
        empty, full = pd.read_csv(tmp_path / "none" / table), pd.read_csv(tmp_path / "some" / table)
        assert len(full) > 0, table
        assert list(empty.columns) == list(full.columns), table
    assert len(pd.read_csv(tmp_path / "none" / "tracks.csv")) == 0
    assert list(pd.read_csv(tmp_path / "none" / "volumes.csv")["cells"]) == [0, 0]
