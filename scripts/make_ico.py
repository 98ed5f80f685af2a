#!/usr/bin/env python3
"""Write the camera icon of src/icon.hpp as a Windows .ico file.

The header's icon and the Windows programs' icon are one drawing: this
reads the palette (16 ARGB4444 words) and the 32 rows of hex digits from
the C++ source, and writes one 32x32 image of 4 bits a pixel:
  ICONDIR, one ICONDIRENTRY, then a BITMAPINFOHEADER whose height counts
  the colour rows and the mask rows (64), the 16-entry palette as
  B, G, R, 0 with each 4-bit channel widened to 8 bits (x * 17), the
  colour rows bottom-up (two pixels a byte, the left one in the high
  nibble, as in the VMS bitmap), and the 1-bit transparency mask, all
  zero: every palette entry is opaque.
"""
import re
import struct
import sys

SIDE = 32


def read_drawing(source):
    """Return the 16 palette words and the 32 rows of digits in the source."""
    def block(name):
        found = re.search(r"\b" + name + r"\s*=\s*\{(.*?)\};", source, re.S)
        if not found:
            sys.exit(f"make_ico.py: no '{name} = {{...}};' in the source")
        return found.group(1)
    palette = [int(w, 16) for w in re.findall(r"0x([0-9A-Fa-f]{4})\b", block("palette"))]
    rows = re.findall(r'"([^"]*)"', block("icon"))
    if len(palette) != 16:
        sys.exit(f"make_ico.py: {len(palette)} palette entries, need 16")
    if len(rows) != SIDE or any(not re.fullmatch(r"[0-9A-F]{32}", r) for r in rows):
        sys.exit(f"make_ico.py: the icon needs {SIDE} rows of {SIDE} hex digits")
    if any(w >> 12 != 0xF for w in palette):
        sys.exit("make_ico.py: a palette entry is not opaque; the mask would need it")
    return palette, rows


def ico(palette, rows):
    colour_rows = b"".join(bytes.fromhex(row) for row in reversed(rows))
    mask = bytes(SIDE * SIDE // 8)
    colours = b"".join(bytes(((w & 15) * 17, (w >> 4 & 15) * 17, (w >> 8 & 15) * 17, 0))
                       for w in palette)
    image = (struct.pack("<IiiHHIIiiII", 40, SIDE, 2 * SIDE, 1, 4, 0,
                         len(colour_rows) + len(mask), 0, 0, 16, 0)
             + colours + colour_rows + mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIDE, SIDE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_ico.py src/icon.hpp OUTPUT.ico")
    with open(sys.argv[1], encoding="utf-8") as f:
        palette, rows = read_drawing(f.read())
    with open(sys.argv[2], "wb") as f:
        f.write(ico(palette, rows))


if __name__ == "__main__":
    main()
