"""Cells left out by their volume from Python: the same cells as the
command, the counts of what was found and left out, the checks of
min_volume, and the despeckle turned off through grid=."""
import numpy as np
import pytest

import velmora

from conftest import DATA

KNMI = DATA / "odim_nldhl_201106101140.h5"


def test_small_cells_are_left_out_and_the_rest_renumbered():
    values = np.full((4, 12, 12), np.nan, dtype=np.float32)
    values[0:2, 0:2, 0:2] = 45.0      # 8 voxels of 0.5 km³: 4 km³
    values[0:4, 5:10, 5:10] = 45.0    # 100 voxels: 50 km³
    kw = dict(x=np.arange(12.0), y=np.arange(12.0), z=0.5 + 0.5 * np.arange(4.0))
    every = velmora.analyze(values, min_volume=0, **kw)
    assert list(every.cells["voxels"]) == [8, 100]
    a = velmora.analyze(values, **kw)
    assert (a.cells_found, a.cells_too_small, a.min_volume) == (2, 1, 10.0)
    assert list(a.cells["cell"]) == [1] and list(a.cells["voxels"]) == [100]
    assert int(a.labels.max()) == 1 and int((a.labels == 1).sum()) == 100


@pytest.mark.parametrize("bad, error", [(-1, ValueError), (float("nan"), ValueError), ("5", TypeError),
                                        (True, TypeError)])
def test_min_volume_is_checked(bad, error):
    with pytest.raises(error, match="min_volume"):
        velmora.analyze(np.zeros((2, 2, 2), np.float32), x=[0, 1], y=[0, 1], z=[0, 1], min_volume=bad)


def test_den_helder_clutter_is_left_out():
    if not KNMI.exists():
        pytest.skip(f"real radar volume not found: {KNMI}")
    a = velmora.analyze(KNMI)
    assert (a.outcome, a.cells_found, a.cells_too_small) == ("nothing kept", 6, 6)
    assert len(velmora.analyze(KNMI, min_volume=0).cells) == 6
    # Without the despeckle the gridded volume differs, and nothing breaks.
    kept = velmora.analyze(KNMI, min_volume=0, grid={"despeckle": False})
    assert len(kept.cells) >= 6


def test_gate_filters_are_checked_and_leave_files_without_quality_alone():
    if not KNMI.exists():
        pytest.skip(f"real radar volume not found: {KNMI}")
    with pytest.raises(ValueError, match="min_quality: 2 is not from 0 to 1"):
        velmora.analyze(KNMI, grid={"min_quality": 2})
    # The volume has no quality groups: the filter leaves it as it is.
    a = velmora.analyze(KNMI, min_volume=0, grid={"min_quality": 0.9})
    assert len(a.cells) == 6
