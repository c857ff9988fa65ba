"""Hail: the cells' hail columns and the MESH field with levels, none without; a sounding gives the same levels."""
import numpy as np
import pytest

import velmora

HAIL = ["shi", "mesh_mm", "mesh75_mm", "mesh95_mm", "posh_pct", "poh_pct", "height_max_dbz_above_h0_km"]


def test_levels_give_hail_per_cell_and_column(scene, tmp_path):
    plain = velmora.analyze(scene)
    assert plain.mesh is None
    assert not set(HAIL) & set(plain.cells.columns)
    a = velmora.analyze(scene, freezing_level=2.0, minus20_level=4.0)
    for name in HAIL:
        assert name in a.cells.columns
    assert (a.cells["mesh_mm"] > 0).any()
    assert ((a.cells["posh_pct"] >= 0) & (a.cells["posh_pct"] <= 100)).all()
    mesh = a.mesh
    assert mesh.dims == ("y", "x") and mesh.attrs["units"] == "mm"
    # A cell's MESH is that of its strongest column, of its own voxels: at most the column's.
    assert float(mesh.max()) >= float(a.cells["mesh_mm"].max()) - 1e-4
    sounding = tmp_path / "sounding.csv"
    sounding.write_text("height_m,temperature_c\n0,10\n2000,0\n4000,-20\n8000,-50\n")
    b = velmora.analyze(scene, sounding=sounding)
    np.testing.assert_allclose(b.mesh.values, mesh.values, rtol=1e-6)
    np.testing.assert_allclose(b.cells["shi"], a.cells["shi"], rtol=1e-9)
    printed = a.to_files(tmp_path / "out", picture=False)
    assert "MESH mm" in printed and (tmp_path / "out" / "mesh.nc").exists()


def test_levels_that_cannot_be_used_are_refused(scene, tmp_path):
    with pytest.raises(ValueError, match="give both --freezing-level and --minus20-level"):
        velmora.analyze(scene, freezing_level=2.0)
    warm = tmp_path / "warm.csv"
    warm.write_text("0,30\n5000,5\n")
    with pytest.raises(Exception, match=f"the sounding {warm} never reaches 0 °C"):
        velmora.analyze(scene, sounding=warm)
