"""Shared fixtures: the repository's programs and data, and the checks every
test of a module run makes (no host array left unreleased)."""
import os
import pathlib
import subprocess

import pytest

import velmora

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VELMORA_BUILD", REPO / "build"))
VELMORA = BUILD / "velmora"
DATA = REPO.parent / "shared" / "data"
CPOL = DATA / "cpol_200601200050.nc"


@pytest.fixture(autouse=True)
def no_arrays_left():
    """Every call leaves the host with no array handed out."""
    yield
    assert velmora.outstanding_arrays() == 0


@pytest.fixture(autouse=True)
def in_tmp(tmp_path, monkeypatch):
    """Tests write only into their temporary folder (the writer modules write
    into the current folder)."""
    monkeypatch.chdir(tmp_path)


@pytest.fixture
def cpol():
    if not CPOL.exists():
        pytest.skip(f"real radar volume not found: {CPOL} (the tests on it are skipped)")
    return CPOL


@pytest.fixture(scope="session")
def scene(tmp_path_factory):
    """The built-in synthetic scene as NetCDF, written by `velmora synth`."""
    path = tmp_path_factory.mktemp("scene") / "scene.nc"
    subprocess.run([str(VELMORA), "synth", str(path)], check=True, capture_output=True)
    return path


def command(*args, cwd=None):
    return subprocess.run([str(VELMORA), *map(str, args)], capture_output=True, text=True, cwd=cwd)
