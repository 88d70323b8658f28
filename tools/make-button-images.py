#!/usr/bin/env python3
"""Draws the button pictures of the main window and the search dialog into ui/images.

Only the standard library is used: every shape is a union of capsules (thick line segments with
round ends), circles and rounded boxes, sampled 4 x 4 times per pixel for smooth edges, and the
result is written as an RGBA PNG with a transparent background. Each picture is drawn twice: at its
size (name.png) and at twice its size for screens of device pixel ratio 2 (name@2x.png, which Qt
picks by itself for such screens).

    python3 tools/make-button-images.py [output directory]
"""
import math
import os
import struct
import sys
import zlib

SAMPLES = 4


def capsule(ax, ay, bx, by, radius):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
        t = max(0.0, min(1.0, t))
        return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= radius
    return inside


def circle(cx, cy, radius):
    return lambda x, y: math.hypot(x - cx, y - cy) <= radius


def rounded_box(left, top, right, bottom, radius):
    def inside(x, y):
        qx = max(left + radius - x, 0.0, x - (right - radius))
        qy = max(top + radius - y, 0.0, y - (bottom - radius))
        return math.hypot(qx, qy) <= radius and left <= x <= right and top <= y <= bottom
    return inside


def union(*shapes):
    return lambda x, y: any(shape(x, y) for shape in shapes)


def render(size, layers, scale=1):
    """layers: (shape, (r, g, b)) painted in order, each over the previous ones. The shapes are given
    in units of the picture's size; scale pixels make one unit."""
    rows = []
    for py in range(size * scale):
        row = bytearray()
        for px in range(size * scale):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / scale
                    y = (py + (sy + 0.5) / SAMPLES) / scale
                    colour = None
                    for shape, rgb in layers:
                        if shape(x, y):
                            colour = rgb
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / SAMPLES**2)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + row for row in rows)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def outlined(shape_outer, shape_inner, dark, light):
    return [(shape_outer, dark), (shape_inner, light)]


def plus32():
    def bars(grow):
        return union(rounded_box(12 - grow, 3 - grow, 20 + grow, 29 + grow, 2 + grow),
                     rounded_box(3 - grow, 12 - grow, 29 + grow, 20 + grow, 2 + grow))
    shine = union(rounded_box(13.5, 4.5, 15.5, 13.5, 1), rounded_box(4.5, 13.5, 13.5, 15.5, 1))
    return 32, outlined(bars(1.3), bars(0), (20, 95, 30), (46, 170, 64)) + [(shine, (150, 225, 150))]


def cross(size, margin, arm, outline):
    lo, hi = margin, size - margin
    outer = union(capsule(lo, lo, hi, hi, arm + outline), capsule(hi, lo, lo, hi, arm + outline))
    inner = union(capsule(lo, lo, hi, hi, arm), capsule(hi, lo, lo, hi, arm))
    return size, outlined(outer, inner, (128, 16, 16), (220, 40, 36))


def binoculars32():
    body = (40, 48, 70)
    barrel = (70, 84, 118)
    glass = (120, 180, 230)
    glint = (225, 240, 255)
    layers = [
        (rounded_box(5, 5, 14, 18, 2.5), body),
        (rounded_box(18, 5, 27, 18, 2.5), body),
        (rounded_box(6.5, 6.5, 12.5, 17, 1.5), barrel),
        (rounded_box(19.5, 6.5, 25.5, 17, 1.5), barrel),
        (rounded_box(12, 9, 20, 15, 1.5), body),
        (circle(9.5, 21.5, 7.5), body),
        (circle(22.5, 21.5, 7.5), body),
        (circle(9.5, 21.5, 5.0), glass),
        (circle(22.5, 21.5, 5.0), glass),
        (circle(8.0, 20.0, 1.6), glint),
        (circle(21.0, 20.0, 1.6), glint),
    ]
    return 32, layers


def check18():
    outer = union(capsule(3.5, 9.5, 7.5, 13.5, 2.6), capsule(7.5, 13.5, 14.5, 4.0, 2.6))
    inner = union(capsule(3.5, 9.5, 7.5, 13.5, 1.7), capsule(7.5, 13.5, 14.5, 4.0, 1.7))
    return 18, outlined(outer, inner, (20, 95, 30), (40, 170, 60))


IMAGES = {
    "plus32.png": plus32,
    "cross32.png": lambda: cross(32, 7, 4.0, 1.2),
    "binoculars32.png": binoculars32,
    "check18.png": check18,
    "cross18.png": lambda: cross(18, 4.5, 1.7, 0.9),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "ui", "images")
    os.makedirs(out, exist_ok=True)
    for name, make in IMAGES.items():
        size, layers = make()
        for scale, suffix in ((1, ""), (2, "@2x")):
            path = os.path.join(out, name.replace(".png", suffix + ".png"))
            write_png(path, size * scale, render(size, layers, scale))


if __name__ == "__main__":
    main()
