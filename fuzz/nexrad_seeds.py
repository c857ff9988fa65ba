#!/usr/bin/python3
"""Seeds of the nexrad fuzz target: small NEXRAD Level II volumes.

  nexrad_seeds.py DIR   writes DIR/nexrad/*: message-31 volumes (plain,
                        bzip2 blocks, gzip) and message-1 volumes (plain,
                        gzip), a few KB each

Written from the Archive II record layout: a 24-byte volume header, then
messages of a 12-byte CTM header, a 16-byte message header and a body;
legacy messages fill 2432-byte records, message 31 takes its size.
"""
import bz2
import gzip
import os
import struct
import sys

DATE, MS = 15000, 43200000


def volume_header(icao=b"KTLX"):
    return b"AR2V0006.001" + struct.pack(">II", DATE, MS) + icao


def message(mtype, body, fixed):
    if len(body) % 2:
        body += b"\0"
    m = b"\0" * 12 + struct.pack(">HBBHHIHH", (16 + len(body)) // 2, 0, mtype, 1, DATE, MS, 1, 1) + body
    return m.ljust(2432, b"\0") if fixed else m


def moment(name, bits, scale, offset, first, spacing, raw):
    data = bytes(raw) if bits == 8 else struct.pack(">%dH" % len(raw), *raw)
    b = b"D" + name + struct.pack(">IHhhhhBBff", 0, len(raw), first, spacing, 0, 0, 0, bits, scale, offset) + data
    return b + b"\0" * (len(b) % 2)


def message31(cut, azimuth, elevation, ms, moments):
    vol = b"RVOL" + struct.pack(">HBBffhH5fHH", 44, 1, 0, 35.3331, -97.2778, 370, 20, 0, 0, 0, 0, 0, 212, 0)
    blocks = [vol] + moments
    pointers, at = [], 68
    for b in blocks:
        pointers.append(at)
        at += len(b)
    pointers += [0] * (9 - len(pointers))
    head = b"KTLX" + struct.pack(">IHHfBBHBBBBfBBH9I", ms, DATE, 1, azimuth, 0, 0, at, 2, 1, cut, 1, elevation, 0, 0,
                                 len(blocks), *pointers)
    return message(31, head + b"".join(blocks), False)


def message1(cut, az_code, el_code, ref, vel):
    b = struct.pack(">IHHHHHHHhhHHHHHfHHHHH", MS, DATE, 1000, az_code, 1, 1, el_code, cut, 0, -375, 1000, 250, len(ref),
                    len(vel), 1, 0.0, 100 if ref else 0, 100 + len(ref) if vel else 0, 0, 4, 11)
    return message(1, b.ljust(100, b"\0") + bytes(ref) + bytes(vel), True)


def radials31(short_first=False):
    """Two cuts; with short_first, the second cut's first radial is its shortest and a third cut points up."""
    out = []
    for i in range(4):
        out.append(message31(1, 359.5 + i, 0.5, MS + 100 * i,
                             [moment(b"REF", 8, 2.0, 66.0, 2125, 250, [0, 1, 2, 66, 100 + 7 * i, 255]),
                              moment(b"VEL", 16, 10.0, 1000.0, 2125, 250, [0, 1, 1000, 1255, 745, 3000, 65535])]))
    for i in range(2):
        out.append(message31(2, 10.25 * i, 1.45, MS + 60000 + 100 * i,
                             [moment(b"REF", 8, 2.0, 66.0, 1000, 1000, [40, 50, 60, 70][: 2 + 2 * i if short_first else 4 - 2 * i]),
                              moment(b"SW ", 8, 2.0, 129.0, 1000, 250, [129, 130])]))
    if short_first:
        for i in range(2):
            out.append(message31(3, 180.0 * i, 90.0, MS + 90000, [moment(b"REF", 8, 2.0, 66.0, 2125, 250, [100, 120])]))
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.join(sys.argv[1], "nexrad")
    os.makedirs(out, exist_ok=True)
    meta = message(2, b"\x11" * 40, True)
    radials = radials31()
    plain = volume_header() + meta + b"".join(radials)
    blocks = volume_header()
    parts = [meta, b"".join(radials[:4]), b"".join(radials[4:])]
    for i, part in enumerate(parts):
        z = bz2.compress(part, 9)
        blocks += struct.pack(">i", -len(z) if i == len(parts) - 1 else len(z)) + z
    legacy = volume_header(b"KLIX") + b"".join(message1(1, 8192 * i, 88, [0, 1, 2, 108, 140], []) for i in range(2)) + \
        message1(2, 100, 96, [], [0, 1, 129, 150, 100])
    uneven = volume_header() + meta + b"".join(radials31(short_first=True))
    files = {"msg31_plain": plain, "msg31_bzip2": blocks, "msg31_gzip": gzip.compress(plain, mtime=0),
             "msg31_short_first_radial_birdbath": uneven,
             "msg1_plain": legacy, "msg1_gzip": gzip.compress(legacy, mtime=0)}
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
