#!/usr/bin/env python3
"""Writes the Windows program icon kq-lumaralink.ico from the icon pictures.

Nine images: 48 x 48, 32 x 32 and 16 x 16 pixels, each at 4, 8 and 32 bits per pixel.  The
pictures are read as raw RGBA through ImageMagick (`convert x.png rgba:-`).  The 32-bit images
keep the alpha channel; the 4- and 8-bit ones get a palette of the picture's most frequent
colours (every other colour drawn as the nearest one) and a mask that hides pixels less than
half opaque.  The result is committed; run this (make-art.sh does) only to change it.
"""
import collections
import struct
import subprocess
import sys


def read_rgba(path, size):
    raw = subprocess.run(["convert", path, "rgba:-"], check=True, capture_output=True).stdout
    if len(raw) != size * size * 4:
        sys.exit(f"{path}: expected {size}x{size} RGBA")
    return [tuple(raw[i:i + 4]) for i in range(0, len(raw), 4)]


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda k: sum((a - b) ** 2 for a, b in zip(palette[k], colour)))


def and_mask(pixels, size):
    # One bit per pixel, rows padded to 32 bits, bottom row first; 1 = transparent.
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if pixels[y * size + x][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(pixels, size, bits):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    rows = []
    if bits == 32:
        for y in reversed(range(size)):
            rows.append(b"".join(struct.pack("BBBB", b, g, r, a)
                                 for r, g, b, a in pixels[y * size:(y + 1) * size]))
        palette_bytes = b""
    else:
        count = 1 << bits
        opaque = [p[:3] for p in pixels if p[3] >= 128]
        palette = [c for c, _ in collections.Counter(opaque).most_common(count)]
        palette += [(0, 0, 0)] * (count - len(palette))
        palette_bytes = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
        cache = {}
        stride = ((size * bits + 31) // 32) * 4
        for y in reversed(range(size)):
            row = bytearray(stride)
            for x in range(size):
                r, g, b, a = pixels[y * size + x]
                index = 0 if a < 128 else cache.setdefault((r, g, b), nearest(palette, (r, g, b)))
                if bits == 8:
                    row[x] = index
                else:
                    row[x // 2] |= index << (4 if x % 2 == 0 else 0)
            rows.append(bytes(row))
    return header + palette_bytes + b"".join(rows) + and_mask(pixels, size)


def main():
    images = []
    for size in (48, 32, 16):
        pixels = read_rgba(f"kq-lumaralink-{size}.png", size)
        for bits in (4, 8, 32):
            images.append((size, bits, dib(pixels, size, bits)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = (1 << bits) if bits < 8 else 0
        out += struct.pack("<BBBBHHII", size, size, colours & 0xFF, 0, 1, bits, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data in images)
    with open("kq-lumaralink.ico", "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
