#!/usr/bin/env python3
"""Draws the project's own wallpaper (1536x1152, 8-bit RGBA PNG) with the standard library only.

Run once to regenerate resources/OKAVU.png; the committed file is what the build embeds.
"""
import math
import struct
import sys
import zlib

W, H = 1536, 1152


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def pixel(x, y):
    # A dusk gradient with soft concentric waves around a low sun and a quill-like stroke.
    t = y / (H - 1)
    r = 18 + 60 * t
    g = 28 + 40 * t
    b = 70 + 50 * (1 - t)
    dx, dy = x - W * 0.68, y - H * 0.62
    d = math.hypot(dx, dy)
    glow = max(0.0, 1.0 - d / 520.0)
    r += 200 * glow ** 2
    g += 120 * glow ** 2
    b += 40 * glow ** 2
    wave = 0.5 + 0.5 * math.sin(d / 18.0)
    r += 10 * wave
    g += 8 * wave
    b += 14 * wave
    # Quill stroke: a slanted band with a tapering width.
    u = (x - 0.18 * W) * 0.8 + (y - 0.85 * H) * 0.6
    v = -(x - 0.18 * W) * 0.6 + (y - 0.85 * H) * 0.8
    if 0 < u < 900:
        half = 26 * math.sin(math.pi * u / 900)
        if abs(v + 0.0004 * (u - 450) ** 2 - 80) < half:
            r, g, b = r * 0.35 + 230 * 0.65, g * 0.35 + 226 * 0.65, b * 0.35 + 210 * 0.65
    return (min(255, int(r)), min(255, int(g)), min(255, int(b)), 255)


def main(out):
    rows = bytearray()
    for y in range(H):
        rows.append(0)
        for x in range(W):
            rows.extend(pixel(x, y))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/OKAVU.png")
