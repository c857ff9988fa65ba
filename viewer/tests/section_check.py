"""The console's section checked against the grid: the values trilinear
between radar.vti's nodes at the points along the line, computed here with
VTK's reader and SciPy, independently of velmora.

python3 section_check.py RADAR.vti SECTION.json -> prints the largest
difference and the number of samples compared; status 1 when they differ.
"""
import json
import sys

import numpy as np
from scipy.ndimage import map_coordinates
from vtk import vtkXMLImageDataReader
from vtk.util.numpy_support import vtk_to_numpy


def grid(path):
    r = vtkXMLImageDataReader()
    r.SetFileName(path)
    r.Update()
    img = r.GetOutput()
    nx, ny, nz = img.GetDimensions()
    values = vtk_to_numpy(img.GetPointData().GetArray(0)).astype(np.float64).reshape(nz, ny, nx)
    return values, np.array(img.GetOrigin()), np.array(img.GetSpacing())


def main():
    values, origin, spacing = grid(sys.argv[1])
    with open(sys.argv[2]) as f:
        s = json.load(f)
    n, z = s["samples"], np.array(s["z_km"])
    a, b = np.array(s["from"]), np.array(s["to"])
    u = (b - a) / np.linalg.norm(b - a)
    along = np.arange(n) * s["step_km"]
    xs, ys = a[0] + along * u[0], a[1] + along * u[1]
    got = np.array(s["values"], dtype=np.float64).reshape(len(z), n)
    worst, compared = 0.0, 0
    for k, zk in enumerate(z):
        coords = np.vstack([np.full(n, (zk - origin[2]) / spacing[2]), (ys - origin[1]) / spacing[1], (xs - origin[0]) / spacing[0]])
        # A sample touching a missing node has none; only samples with all
        # eight neighbours valid are compared.
        valid = map_coordinates(np.isfinite(values).astype(float), coords, order=1, mode="nearest") > 0.999999
        want = map_coordinates(np.nan_to_num(values, nan=0.0), coords, order=1, mode="nearest")
        both = valid & np.isfinite(got[k])
        if np.any(valid != np.isfinite(got[k])):
            print(f"level {k}: samples with and without a value differ")
            return 1
        if both.any():
            worst = max(worst, float(np.max(np.abs(want[both] - got[k][both]))))
            compared += int(both.sum())
    print(f"{compared} samples, largest difference {worst:.2e} dBZ")
    return 0 if compared > 0 and worst < 1e-3 else 1


if __name__ == "__main__":
    sys.exit(main())
