"""The storm-cell analysis of `velmora analyze` in a few lines of the Python
radar stack: face-connected objects at or above the level, measured on their
voxels, and the isosurface at the level. The yardstick of analyze_scale.py.

/usr/bin/python3 bench/analyze_pipeline.py VOLUME.nc --var DT --level 40 --out DIR
"""
import argparse
import os

import netCDF4
import numpy as np
import pandas as pd
from skimage import measure

p = argparse.ArgumentParser()
p.add_argument("volume")
p.add_argument("--var", default="DT")
p.add_argument("--level", type=float, default=40.0)
p.add_argument("--min-cells", type=int, default=8)
p.add_argument("--out", default="python-analysis")
a = p.parse_args()

with netCDF4.Dataset(a.volume) as nc:
    var = nc[a.var]
    data = var[0] if var.ndim == 4 else var[:]
    # The levels in km for the cell tops: metres unless the units say km.
    z = nc["z"][:].astype(np.float64) / (1.0 if getattr(nc["z"], "units", "m") == "km" else 1000.0)
# Missing data never belongs to a cell: below the level.
dbz = np.ma.filled(data.astype(np.float32), a.level - 100.0)
labels = measure.label(dbz >= a.level, connectivity=1)
rows = []
for r in measure.regionprops(labels, intensity_image=dbz):
    if r.area * 4 <= a.min_cells:   # four tetrahedra per voxel in velmora's count
        continue
    k, j, i = r.centroid
    rows.append({"no": len(rows) + 1, "voxels": int(r.area), "max": float(r.intensity_max),
                 "mean": float(r.intensity_mean), "ck": k, "cj": j, "ci": i, "top_km": float(z[r.coords[:, 0].max()])})
if rows:
    surface = measure.marching_cubes(dbz, level=a.level)
os.makedirs(a.out, exist_ok=True)
pd.DataFrame(rows, columns=["no", "voxels", "max", "mean", "ck", "cj", "ci", "top_km"]).to_csv(
    os.path.join(a.out, "cells.csv"), index=False)
print(f"cells: {len(rows)}")
