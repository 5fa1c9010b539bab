#!/usr/bin/env python3
"""Draws the updater's application icon in the logo's style: the logo's pixel-font "C" in light
grey over its blue-to-green wave, on a dark rounded square with a navy rim. Writes one PNG per
size in the desktop's icon theme layout: OUT/NxN/apps/corvane-uploader.png, and the window's
icon as a Windows icon file with the sizes ICO_SIZES, which the resources hold.

Usage: make_icon.py [OUT [ICO]]   (defaults: packaging/icons/hicolor, app/FileVari/UploaderIcon.ico)
"""
import math
import os
import struct
import sys

from make_logo import FONT, png

SIZES = (16, 32, 48, 64, 128, 256)
ICO_SIZES = (16, 32, 48, 64, 128)
NAME = "corvane-uploader"
SAMPLES = 4  # per pixel and axis, for smooth edges

BACKGROUND = (8, 8, 20)
RIM = (0, 0, 128)
LETTER = (235, 235, 235)


def wave_colour(t):
    """The logo's ribbon colour at t in [0, 1] from left to right."""
    return (int(40 * (1 - t)), int(85 + 150 * t), int(255 * (1 - t) + 60 * t))


def inside_rounded_square(u, v, inset, radius):
    """Whether the point (u, v) of the unit square lies in the square inset by `inset` with
    corners rounded by `radius`."""
    lo, hi = inset + radius, 1 - inset - radius
    dx = max(lo - u, 0.0, u - hi)
    dy = max(lo - v, 0.0, v - hi)
    return dx * dx + dy * dy <= radius * radius


def draw(size):
    # The letter sits on whole pixels, as a pixel font should, at every size.
    cell = max(1, round(size * 0.085))
    gx0 = (size - 5 * cell) // 2
    gy0 = round(size * 0.12)
    glyph = FONT["C"]
    px = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied r, g, b and alpha
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    u = (x + (sx + 0.5) / SAMPLES) / size
                    v = (y + (sy + 0.5) / SAMPLES) / size
                    if not inside_rounded_square(u, v, 0.03, 0.17):
                        continue
                    colour = BACKGROUND
                    if not inside_rounded_square(u, v, 0.03 + 0.035, 0.17 - 0.035):
                        colour = RIM
                    c = int((u * size - gx0) // cell)
                    r = int((v * size - gy0) // cell)
                    if 0 <= c < 5 and 0 <= r < 7 and glyph[r][c] == "1":
                        colour = LETTER
                    # One period of the logo's wave across the lower part, as thick as the
                    # logo's relative to its height.
                    t = (u - 0.08) / 0.84
                    if 0 <= t <= 1:
                        yc = 0.79 + 0.075 * math.sin(t * math.pi * 2)
                        d = abs(v - yc)
                        if d < 0.055:
                            a = 1 - d / 0.055
                            w = wave_colour(t)
                            colour = tuple(w[i] * a + colour[i] * (1 - a) for i in range(3))
                    for i in range(3):
                        acc[i] += colour[i]
                    acc[3] += 1
            n = SAMPLES * SAMPLES
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3))
                           + (int(round(255 * acc[3] / n)),))
        px.append(row)
    return px


def ico(images):
    """Encodes square images of (r, g, b, a) rows as an icon file of 32-bit bitmaps, the form
    every icon reader takes."""
    entries, data = [], []
    offset = 6 + 16 * len(images)
    for px in images:
        n = len(px)
        # Bottom-up BGRA rows, then the 1-bit mask (all clear: the alpha channel decides),
        # each mask row padded to 4 bytes. The bitmap's height counts both.
        pixels = b"".join(b"".join(struct.pack("4B", p[2], p[1], p[0], p[3]) for p in row)
                          for row in reversed(px))
        mask = bytes(((n + 31) // 32) * 4 * n)
        bitmap = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(pixels) + len(mask),
                             0, 0, 0, 0) + pixels + mask
        entries.append(struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(bitmap), offset))
        data.append(bitmap)
        offset += len(bitmap)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(data)


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "packaging/icons/hicolor"
    ico_path = sys.argv[2] if len(sys.argv) > 2 else "app/FileVari/UploaderIcon.ico"
    drawn = {size: draw(size) for size in SIZES}
    for size in SIZES:
        folder = os.path.join(out, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, NAME + ".png"), "wb") as f:
            f.write(png(drawn[size]))
    with open(ico_path, "wb") as f:
        f.write(ico([drawn[size] for size in ICO_SIZES]))
