#!/usr/bin/python3
"""Seed inputs of the fuzz targets.

  make_seeds.py --synthetic DIR   small hand-made volumes (the seeds kept in
                                  fuzz/seeds/<target>), written into DIR/<target>
  make_seeds.py --polar DIR       small polar volumes (ODIM HDF5, CF/Radial), the
                                  seeds kept in fuzz/seeds/odim and cfradial
  make_seeds.py --real FILE DIR   small slices of a real NetCDF radar volume
                                  (variable DT), for the corpora `make fuzz` grows

Each file is a few KB: a handful of grid nodes in each of the layouts the
readers take (NetCDF classic, 64-bit offset and NetCDF-4 with deflated
chunks, packed shorts, with and without a time axis, several time steps;
VTK image data in ASCII, inline binary, appended raw and zlib-compressed).
"""
import argparse
import base64
import os
import struct
import sys
import zlib

import numpy as np


def write_nc(path, values, fmt="NETCDF4", time=True, packed=False, units="m", chunked=True, steps=1,
             fill=-9999.0, xyz=None):
    import netCDF4
    nz, ny, nx = values.shape
    with netCDF4.Dataset(path, "w", format=fmt) as nc:
        if time:
            nc.createDimension("time", steps)
        nc.createDimension("z", nz)
        nc.createDimension("y", ny)
        nc.createDimension("x", nx)
        scale = 1000.0 if units == "m" else 1.0
        for name, n in (("x", nx), ("y", ny), ("z", nz)):
            v = nc.createVariable(name, "f4", (name,))
            v.units = units
            v[:] = xyz[name] if xyz else np.arange(n, dtype="f4") * scale + (500.0 if name == "z" else -2000.0) / (1000.0 / scale)
        dims = (("time",) if time else ()) + ("z", "y", "x")
        kw = {}
        if fmt == "NETCDF4" and chunked:
            kw = dict(zlib=True, complevel=4, chunksizes=((1,) if time else ()) + (max(1, nz // 2), ny, nx))
        if packed:
            v = nc.createVariable("DT", "i2", dims, fill_value=-32768, **kw)
            v.scale_factor = 0.01
            v.add_offset = 0.0
        else:
            v = nc.createVariable("DT", "f4", dims, fill_value=np.float32(fill), **kw)
            v.missing_value = np.float32(fill)
        v.units = "dBZ"
        data = np.where(np.isnan(values), fill, values).astype("f4")
        if packed:
            data = np.ma.masked_equal(data, fill)
        if time:
            for t in range(steps):
                v[t] = data + t
        else:
            v[:] = data


def vti_text(values, mode, spacing=(1.0, 1.0, 0.5), origin=(-2.0, -1.0, 0.5)):
    nz, ny, nx = values.shape
    flat = np.where(np.isnan(values), np.nan, values).astype("<f4").ravel()
    extent = f"0 {nx - 1} 0 {ny - 1} 0 {nz - 1}"
    head = ('<?xml version="1.0"?>\n<VTKFile type="ImageData" version="1.0" byte_order="LittleEndian" '
            'header_type="UInt32"%s>\n'
            f'<ImageData WholeExtent="{extent}" Origin="{origin[0]} {origin[1]} {origin[2]}" '
            f'Spacing="{spacing[0]} {spacing[1]} {spacing[2]}">\n<Piece Extent="{extent}">\n<PointData Scalars="DT">\n')
    tail_piece = '</PointData>\n<CellData/>\n</Piece>\n</ImageData>\n'
    raw = flat.tobytes()
    if mode == "ascii":
        body = '<DataArray type="Float32" Name="DT" format="ascii">\n' + " ".join(repr(float(x)) if not np.isnan(x) else "nan" for x in flat) + "\n</DataArray>\n"
        return (head % "") + body + tail_piece + "</VTKFile>\n"
    if mode == "binary":
        data = base64.b64encode(struct.pack("<I", len(raw)) + raw).decode()
        body = f'<DataArray type="Float32" Name="DT" format="binary">\n{data}\n</DataArray>\n'
        return (head % "") + body + tail_piece + "</VTKFile>\n"
    if mode == "appended":
        body = '<DataArray type="Float32" Name="DT" format="appended" offset="0"/>\n'
        return ((head % "") + body + tail_piece + '<AppendedData encoding="raw">\n_').encode("latin-1") + \
            struct.pack("<I", len(raw)) + raw + b"\n</AppendedData>\n</VTKFile>\n"
    if mode == "zlib":
        comp = zlib.compress(raw)
        header = struct.pack("<IIII", 1, len(raw), len(raw), len(comp))
        data = base64.b64encode(header).decode() + base64.b64encode(comp).decode()
        body = f'<DataArray type="Float32" Name="DT" format="binary">\n{data}\n</DataArray>\n'
        return (head % ' compressor="vtkZLibDataCompressor"') + body + tail_piece + "</VTKFile>\n"
    raise ValueError(mode)


def save(path, content):
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)


def volumes_synthetic():
    rng = np.random.default_rng(7)
    a = (rng.random((2, 3, 4)) * 50.0).astype("f4").round(1)
    a[0, 1, 2] = np.nan
    b = (rng.random((3, 4, 5)) * 60.0 - 5.0).astype("f4").round(1)
    b[1, :, 0] = np.nan
    return {"small": a, "cell": b}


def write_all(values_by_name, out, prefix):
    nc_dir = os.path.join(out, "netcdf")
    vti_dir = os.path.join(out, "vti")
    os.makedirs(nc_dir, exist_ok=True)
    os.makedirs(vti_dir, exist_ok=True)
    for name, v in values_by_name.items():
        p = os.path.join(nc_dir, f"{prefix}{name}")
        write_nc(p + "_nc4_deflate.nc", v)
        write_nc(p + "_nc4_contiguous.nc", v, chunked=False, time=False, units="km")
        write_nc(p + "_classic.nc", v, fmt="NETCDF3_CLASSIC")
        write_nc(p + "_64bit.nc", v, fmt="NETCDF3_64BIT_OFFSET", time=False)
        write_nc(p + "_packed.nc", v, packed=True)
        write_nc(p + "_steps.nc", v, fmt="NETCDF3_CLASSIC", steps=2)
        nz, ny, nx = v.shape
        uneven = {"x": np.cumsum(np.arange(1, nx + 1)).astype("f4") * 500.0,
                  "y": np.arange(ny, dtype="f4") * 1000.0, "z": np.arange(nz, dtype="f4") * 500.0 + 500.0}
        write_nc(p + "_uneven.nc", v, fmt="NETCDF3_CLASSIC", xyz=uneven)
        for mode in ("ascii", "binary", "appended", "zlib"):
            save(os.path.join(vti_dir, f"{prefix}{name}_{mode}.vti"), vti_text(v, mode))


def write_odim(path, nrays=4, nbins=3, vlen=False, raw_type="u1", two_quantities=True, how=False):
    """An ODIM_H5 polar volume through the NetCDF-4 library (an HDF5 file of
    groups and attributes): numbers as arrays of one, strings of fixed or
    variable length, sweeps stored out of order, per-ray angles."""
    import netCDF4

    def text(group, name, value):
        if vlen:
            group.setncattr_string(name, value)
        else:
            group.setncattr(name, value)

    with netCDF4.Dataset(path, "w", format="NETCDF4") as nc:
        what, where = nc.createGroup("what"), nc.createGroup("where")
        text(what, "object", "PVOL")
        text(what, "version", "H5rad 2.2")
        text(what, "date", "20200102")
        text(what, "time", "030405")
        where.lat, where.lon, where.height = np.float32(50.5), 6.25, np.int32(120)
        nc.createGroup("how").beamwH = 0.9
        for n, elangle, rays, bins in ((2, 1.5, nrays, nbins), (1, 0.5, nrays + 2, nbins + 1)):
            ds = nc.createGroup(f"dataset{n}")
            w = ds.createGroup("where")
            w.elangle, w.nrays, w.nbins, w.rstart, w.rscale = elangle, np.int64(rays), np.int64(bins), 0.5, 250.0
            t = ds.createGroup("what")
            text(t, "startdate", "20200102")
            text(t, "starttime", "030406")
            if how:
                h = ds.createGroup("how")
                h.startazA = np.arange(rays) * 360.0 / rays
                h.stopazA = (np.arange(rays) + 1) * 360.0 / rays
                h.elangles = np.full(rays, elangle)
            ds.createDimension("rays", rays)
            ds.createDimension("bins", bins)
            for m, (quantity, typ, gain, offset, nodata) in enumerate(
                    (("DBZH", raw_type, 0.5, -32.0, 255), ("VRADH", "i2", 0.1, 0.0, -32768))[:2 if two_quantities else 1], 1):
                d = ds.createGroup(f"data{m}")
                dw = d.createGroup("what")
                text(dw, "quantity", quantity)
                dw.gain, dw.offset, dw.nodata, dw.undetect = gain, offset, float(nodata), 0.0
                v = d.createVariable("data", typ, ("rays", "bins"), zlib=(m == 1 and not vlen))
                v.set_auto_maskandscale(False)
                v[:] = (np.arange(rays * bins).reshape(rays, bins) * 7 % 250).astype(typ)


def write_cfradial(path, fmt="NETCDF4", packed=True):
    """A CF/Radial 1.4 volume of two sweeps (4 and 3 rays) by 5 gates."""
    import netCDF4
    with netCDF4.Dataset(path, "w", format=fmt) as nc:
        nc.Conventions = "CF/Radial instrument_parameters"
        nc.createDimension("time", 7)
        nc.createDimension("range", 5)
        nc.createDimension("sweep", 2)
        nc.createDimension("string_length", 32)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 2021-03-04T05:06:00Z"
        t[:] = [7, 8, 9, 10, 20, 21, 22]
        r = nc.createVariable("range", "f4", ("range",))
        r.units = "meters"
        r[:] = np.arange(5) * 250.0 + 125.0
        s = nc.createVariable("time_coverage_start", "S1", ("string_length",))
        s[:] = netCDF4.stringtoarr("2021-03-04T05:06:07Z", 32)
        nc.createVariable("azimuth", "f4", ("time",))[:] = [0.5, 90.5, 180.5, 270.5, 359.75, 120, 240]
        nc.createVariable("elevation", "f4", ("time",))[:] = [0.5] * 4 + [1.5] * 3
        nc.createVariable("fixed_angle", "f4", ("sweep",))[:] = [0.5, 1.5]
        nc.createVariable("sweep_number", "i4", ("sweep",))[:] = [0, 1]
        nc.createVariable("sweep_start_ray_index", "i4", ("sweep",))[:] = [0, 4]
        nc.createVariable("sweep_end_ray_index", "i4", ("sweep",))[:] = [3, 6]
        for name, value in (("latitude", -12.25), ("longitude", 131.04), ("altitude", 42.0), ("radar_beam_width_h", 0.95)):
            nc.createVariable(name, "f8", ())[...] = value
        values = np.arange(35, dtype="f4").reshape(7, 5)
        if packed:
            v = nc.createVariable("DBZH", "i2", ("time", "range"), fill_value=-32768)
            v.scale_factor, v.add_offset = np.float32(0.5), np.float32(10.0)
        else:
            v = nc.createVariable("reflectivity", "f4", ("time", "range"), fill_value=np.float32(-9999.0))
            v.standard_name = "equivalent_reflectivity_factor"
        v.units = "dBZ"
        v[:] = np.ma.masked_where(values > 30, values)


def write_polar(out):
    odim, cf = os.path.join(out, "odim"), os.path.join(out, "cfradial")
    os.makedirs(odim, exist_ok=True)
    os.makedirs(cf, exist_ok=True)
    write_odim(os.path.join(odim, "pvol_fixed_strings_deflate.h5"), two_quantities=False)
    write_odim(os.path.join(odim, "pvol_vlen_strings_how.h5"), vlen=True, how=True, two_quantities=False)
    write_odim(os.path.join(odim, "pvol_float.h5"), raw_type="f4", two_quantities=False, nrays=3, nbins=2)
    # Classic files only: a NetCDF-4 CF/Radial file has more variables than
    # HDF5 keeps in a group's header, and one byte changed in the heap that
    # holds its links makes HDF5 1.10 free an invalid pointer in nc_open
    # (fuzz/library-crashes).
    write_cfradial(os.path.join(cf, "cfradial_classic_packed.nc"), fmt="NETCDF3_CLASSIC")
    write_cfradial(os.path.join(cf, "cfradial_64bit_float.nc"), fmt="NETCDF3_64BIT_OFFSET", packed=False)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--synthetic", metavar="DIR")
    ap.add_argument("--polar", metavar="DIR")
    ap.add_argument("--real", nargs=2, metavar=("FILE", "DIR"))
    args = ap.parse_args()
    if args.synthetic:
        write_all(volumes_synthetic(), args.synthetic, "")
    if args.polar:
        write_polar(args.polar)
    if args.real:
        src, out = args.real
        if not os.path.exists(src):
            print(f"make_seeds: {src} is absent; no slices of the real volume", file=sys.stderr)
            return 0
        import netCDF4
        with netCDF4.Dataset(src) as nc:
            dt = nc.variables["DT"]
            dt.set_auto_mask(False)
            full = np.array(dt[0], dtype="f4")
        full[full == -9999.0] = np.nan
        # Cells of the storm and its edge: a few nodes each, where values and
        # missing ones mix.
        slices = {}
        for k, (z0, y0, x0) in enumerate(((2, 40, 50), (4, 30, 70), (0, 55, 20), (8, 45, 60))):
            slices[f"real{k}"] = full[z0:z0 + 3, y0:y0 + 4, x0:x0 + 5]
        write_all(slices, out, "")
    return 0


if __name__ == "__main__":
    sys.exit(main())
