#!/usr/bin/env python3
"""Draws the updater's 612 x 103 logo (a wave over a dark band and the word CORVANE) as a PNG."""
import math
import struct
import sys
import zlib

W, H = 612, 103
FONT = {  # 5 x 7 bitmap glyphs
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "V": ["10001", "10001", "10001", "10001", "01010", "01010", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
}


def draw():
    px = [[(0, 0, 0, 0)] * W for _ in range(H)]
    for x in range(W):  # a blue-to-green sine ribbon
        t = x / (W - 1)
        yc = 70 + 18 * math.sin(t * math.pi * 4)
        colour = (int(40 * (1 - t)), int(85 + 150 * t), int(255 * (1 - t) + 60 * t))
        for y in range(H):
            d = abs(y - yc)
            if d < 5:
                a = int(255 * (1 - d / 5))
                px[y][x] = colour + (a,)
    text, scale, x0, y0 = "CORVANE", 7, 30, 6
    for i, ch in enumerate(text):
        for r, row in enumerate(FONT[ch]):
            for c, bit in enumerate(row):
                if bit == "1":
                    for dy in range(scale):
                        for dx in range(scale):
                            x = x0 + i * 6 * scale + c * scale + dx
                            y = y0 + r * scale + dy
                            if 0 <= x < W and 0 <= y < H:
                                px[y][x] = (235, 235, 235, 255)
    return px


def png(px):
    """Encodes rows of (r, g, b, a) pixels as an 8-bit RGBA PNG."""
    h, w = len(px), len(px[0])
    raw = b"".join(b"\x00" + b"".join(struct.pack("4B", *p) for p in row) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "app/FileVari/Logo.png"
    with open(out, "wb") as f:
        f.write(png(draw()))
