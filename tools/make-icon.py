#!/usr/bin/env python3
"""Draws the window icon: a laser line crossing a V-shaped joint on a steel-blue tile.

Writes an ICO with a 48x48 and a 16x16 image, 32 bits per pixel, uncompressed
(10,806 bytes). Usage: make-icon.py OUTPUT.ico
"""
import struct
import sys


def pixel(x, y, n):
    """RGBA of the pixel at (x, y) on an n x n tile, drawn in unit coordinates."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    joint = abs(v - (0.45 + abs(u - 0.5) * -0.9 + 0.45)) < 0.07  # the V of the joint
    laser = abs(v - 0.5) < 0.05 and 0.08 < u < 0.92
    if laser:
        return (255, 40, 30, 255)
    if joint:
        return (0, 220, 90, 255)
    shade = int(60 + 40 * (1 - v))
    return (shade // 2, shade, min(255, shade * 2), 255)


def image(n):
    rows = []
    for y in reversed(range(n)):  # DIB rows run bottom-up
        rows.append(b"".join(struct.pack("<BBBB", b, g, r, a)
                             for (r, g, b, a) in (pixel(x, y, n) for x in range(n))))
    mask_row = ((n + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * n)


def main():
    sizes = (48, 16)
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
