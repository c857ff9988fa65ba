"""Shared fixtures: the repository's programs and data; no test leaves a host array unreleased."""
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
def in_tmp_leaving_no_array(tmp_path, monkeypatch):
    """Each test runs in its own folder (the writer modules write into the current one)."""
    monkeypatch.chdir(tmp_path)
    yield
    assert velmora.outstanding_arrays() == 0


@pytest.fixture
def cpol():
    if not CPOL.exists():
        pytest.skip(f"real radar volume not found: {CPOL} (the tests on it are skipped)")
    return CPOL


@pytest.fixture(scope="session")
def scene(tmp_path_factory):
    """The built-in synthetic volume as NetCDF, written by `velmora synth`."""
    path = tmp_path_factory.mktemp("scene") / "scene.nc"
    subprocess.run([str(VELMORA), "synth", str(path)], check=True, capture_output=True)
    return path


def command(*args, cwd=None):
    return subprocess.run([str(VELMORA), *map(str, args)], capture_output=True, text=True, cwd=cwd)
