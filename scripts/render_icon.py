#!/usr/bin/env python3
"""Render the icon of a VMS save file as a PNG.

A VMS file starts with a header; the icon lives at fixed offsets in it:
  0x60  palette: 16 entries, each a little-endian 16-bit ARGB4444 word
        (alpha in the top nibble, then red, green, blue)
  0x80  bitmap: 32 rows of 16 bytes, two pixels per byte, the high
        nibble being the left pixel; each nibble indexes the palette
Each 4-bit channel is widened to 8 bits (x * 17) and alpha is kept.
"""
import argparse
import struct
import sys
import zlib

PALETTE_AT, BITMAP_AT, SIDE = 0x60, 0x80, 32
BITMAP_LEN = SIDE * SIDE // 2


def read_icon(data):
    """Return 32 rows of 32 (r, g, b, a) tuples."""
    words = struct.unpack_from("<16H", data, PALETTE_AT)
    pal = [((w >> 8 & 15) * 17, (w >> 4 & 15) * 17, (w & 15) * 17,
            (w >> 12 & 15) * 17) for w in words]
    bits = data[BITMAP_AT:BITMAP_AT + BITMAP_LEN]
    return [[pal[bits[y * 16 + x // 2] >> (4 if x % 2 == 0 else 0) & 15]
             for x in range(SIDE)] for y in range(SIDE)]


def png(rows, scale):
    """Encode the rows as an 8-bit RGBA PNG, each pixel a scale x scale block."""
    raw = b"".join(b"\0" + b"".join(bytes(p) * scale for p in row)
                   for row in rows for _ in range(scale))
    size = SIDE * scale

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body)))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    ap = argparse.ArgumentParser(description="Write the icon of a VMS file as a PNG.")
    ap.add_argument("input", help="VMS file")
    ap.add_argument("output", help="PNG file to write")
    ap.add_argument("--scale", type=int, default=8, help="integer zoom (default 8)")
    args = ap.parse_args()
    if args.scale < 1:
        ap.error("--scale must be at least 1")
    with open(args.input, "rb") as f:
        data = f.read()
    if len(data) < BITMAP_AT + BITMAP_LEN:
        print(f"{args.input}: too short for an icon ({len(data)} bytes, "
              f"need {BITMAP_AT + BITMAP_LEN})", file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(png(read_icon(data), args.scale))
    return 0


if __name__ == "__main__":
    sys.exit(main())
