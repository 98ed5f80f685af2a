#!/usr/bin/env python3
"""Fails unless an .ico shows, pixel for pixel, the icon in a VMS file's header.

  check_icon.py ICON.ico FILE.vms

The .ico is decoded as Windows reads it (the first image, colour rows
bottom-up, the mask making a pixel transparent), the VMS icon by
scripts/render_icon.py; both become rows of (r, g, b, a).
"""
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "scripts"))
from render_icon import SIDE, read_icon  # noqa: E402


def read_ico(data):
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    assert kind == 1 and count >= 1, "not an icon file"
    width, height, _, _, _, bits, _, at = struct.unpack_from("<BBBBHHII", data, 6)
    assert (width, height, bits) == (SIDE, SIDE, 4), f"image is {width}x{height}, {bits} bpp"
    header_size, w, h, _, bpp, compression = struct.unpack_from("<IiiHHI", data, at)
    assert (w, h, bpp, compression) == (SIDE, 2 * SIDE, 4, 0), "unexpected BITMAPINFOHEADER"
    at += header_size
    palette = [(r, g, b) for b, g, r, _ in struct.iter_unpack("<4B", data[at:at + 64])]
    colours = data[at + 64:at + 64 + SIDE * SIDE // 2]
    mask = data[at + 64 + len(colours):at + 64 + len(colours) + SIDE * SIDE // 8]
    rows = []
    for y in reversed(range(SIDE)):  # the last row in the file is the top one
        row = []
        for x in range(SIDE):
            index = colours[y * 16 + x // 2] >> (4 if x % 2 == 0 else 0) & 15
            transparent = mask[y * 4 + x // 8] >> (7 - x % 8) & 1
            row.append(palette[index] + (0 if transparent else 255,))
        rows.append(row)
    return rows


def main():
    ico_path, vms_path = sys.argv[1:3]
    got = read_ico(pathlib.Path(ico_path).read_bytes())
    want = read_icon(pathlib.Path(vms_path).read_bytes())
    for y in range(SIDE):
        for x in range(SIDE):
            if got[y][x] != want[y][x]:
                sys.exit(f"{ico_path}: pixel ({x}, {y}) is {got[y][x]}, "
                         f"the header's icon has {want[y][x]}")
    print(f"{ico_path}: the icon of {vms_path}, pixel for pixel")


if __name__ == "__main__":
    main()
