#!/usr/bin/env python3
"""Writes the test bitmaps of the skin tests into bmp/ (committed output).

Run again after changing a picture: python3 make_bitmaps.py
Pixels are (r, g, b); black (0, 0, 0) is what the toolkit cuts away.
Pictures of at most 256 colours are stored with a palette, others as
24-bit rows.
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bmp")


def write_bmp(name, width, height, pixel):
    rows = [[pixel(x, y) for x in range(width)] for y in range(height)]
    colours = sorted({c for row in rows for c in row})
    if len(colours) <= 256:
        index = {c: i for i, c in enumerate(colours)}
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
        palette += b"\0" * (4 * (256 - len(colours)))
        stride = (width + 3) & ~3
        body = b"".join(bytes(index[c] for c in row).ljust(stride, b"\0")
                        for row in reversed(rows))
        bits, ncol = 8, 256
    else:
        palette = b""
        stride = (width * 3 + 3) & ~3
        body = b"".join(b"".join(struct.pack("<BBB", b, g, r) for (r, g, b) in row)
                        .ljust(stride, b"\0") for row in reversed(rows))
        bits, ncol = 24, 0
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(body),
                       2835, 2835, ncol, 0)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(header + info + palette + body)


def from_rows(rows, on, off=(0, 0, 0)):
    return lambda x, y: on if rows[y][x] == "X" else off


def rounded(width, height, radius):
    def inside(x, y):
        cx = min(max(x, radius), width - 1 - radius)
        cy = min(max(y, radius), height - 1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
    return inside


def wallpaper(x, y):
    # A diagonal gradient in 32 steps with a light frame; never black.
    k = ((x + y) * 32) // (320 + 200)
    if x < 3 or y < 3 or x > 316 or y > 196:
        return (200, 210, 230)
    return (30 + 3 * k, 50 + 4 * k, 110 + 4 * k)


def button(width, height, face, edge):
    def pixel(x, y):
        if x in (0, width - 1) or y in (0, height - 1):
            return edge
        return face
    return pixel


def main():
    os.makedirs(HERE, exist_ok=True)
    # Shapes.
    write_bmp("opaque.bmp", 6, 4, lambda x, y: (40 + 10 * x, 80, 120 + 20 * y))
    write_bmp("clear.bmp", 6, 4, lambda x, y: (0, 0, 0))
    write_bmp("corner.bmp", 6, 4, lambda x, y: (255, 255, 255) if (x, y) == (0, 0) else (0, 0, 0))
    write_bmp("runs.bmp", 6, 3, from_rows(["..XXXX", "XX..XX", "X.X..X"], (10, 200, 30)))
    # Red cut away (key 0x00FF0000 in the section's layout), black kept.
    write_bmp("redkey.bmp", 4, 2, from_rows(["XX..", ".XXX"], (255, 0, 0)))
    # The skinned dialog.
    write_bmp("wall.bmp", 320, 200, wallpaper)
    inside = rounded(320, 200, 24)
    write_bmp("mask.bmp", 320, 200, lambda x, y: (255, 255, 255) if inside(x, y) else (0, 0, 0))
    # Buttons: normal, pressed, focused, disabled.
    faces = [(90, 120, 200), (40, 60, 120), (140, 170, 250), (150, 150, 150)]
    for i, face in enumerate(faces):
        write_bmp("push%d.bmp" % i, 56, 20, button(56, 20, face, (20, 20, 40)))
    caption = {"close": (200, 50, 50), "max": (50, 170, 60), "min": (210, 180, 40)}
    for name, base in caption.items():
        for i, scale in enumerate([1.0, 0.6, 1.25, 0.0]):
            face = tuple(min(255, int(c * scale)) for c in base) if scale else (150, 150, 150)
            write_bmp("%s%d.bmp" % (name, i), 16, 16, button(16, 16, face, (250, 250, 250)))
    # The splash: an ellipse on black.
    def splash(x, y):
        if ((x - 99.5) / 100) ** 2 + ((y - 59.5) / 60) ** 2 > 1:
            return (0, 0, 0)
        return (230, 120 + (x * 100) // 200, 40)
    write_bmp("splash.bmp", 200, 120, splash)


if __name__ == "__main__":
    main()
