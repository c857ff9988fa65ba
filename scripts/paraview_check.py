# Opens every VTK XML file of an analysis folder in ParaView and prints what
# it read: type, points, cells and point arrays. Run with ParaView's batch
# interpreter (Debian: paraview + python3-paraview, which cannot be installed
# beside libvtk9-dev, so this is a check by hand, not part of the tests):
#   xvfb-run -a pvbatch3.11 scripts/paraview_check.py velmora-analysis
import glob
import sys

from paraview.simple import OpenDataFile, UpdatePipeline, servermanager

failed = 0
for path in sorted(glob.glob(sys.argv[1] + "/*.vt?")):
    reader = OpenDataFile(path)
    if reader is None:
        print(path, "ParaView has no reader for it")
        failed += 1
        continue
    UpdatePipeline(proxy=reader)
    data = servermanager.Fetch(reader)
    pd = data.GetPointData()
    arrays = [pd.GetArrayName(i) for i in range(pd.GetNumberOfArrays())]
    print(path.split("/")[-1], type(data).__name__, data.GetNumberOfPoints(), "points", data.GetNumberOfCells(), "cells", arrays)
    if data.GetNumberOfPoints() == 0:
        failed += 1
sys.exit(1 if failed else 0)
