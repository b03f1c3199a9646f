#!/usr/bin/env python3
"""Writes qvm_updater.ico: a device chip with an upward update arrow, in four
images (32x32 and 16x16, each in 16 and in 256 colours). Standard library
only; run it again after changing the drawing and commit the result.

    python3 make_icon.py [output.ico]
"""
import os
import struct
import sys

# The classic 16-colour palette, in the order Windows uses.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


# Parts of the drawing: their colour in the 256-colour images is shaded per
# point by sample(); in the 16-colour images each part takes one fixed
# palette entry.
PART16 = {"outline": 0, "body": 8, "marker": 15, "pin_lit": 7, "pin_dark": 8,
          "arrow_edge": 2, "arrow": 10}


def sample(x, y):
    """(part, colour) at (x, y) in a 32 x 32 design space, or None."""
    # Update arrow over the lower right of the chip: a head and a shaft.
    head_top, head_base, head_cx, head_half = 10.0, 19.0, 22.0, 8.5
    if head_top <= y < head_base:
        half = head_half * (y - head_top) / (head_base - head_top)
        if abs(x - head_cx) <= half + 0.6:
            if abs(x - head_cx) >= half - 0.9 or y >= head_base - 1.0:
                return ("arrow_edge", (0, 100, 30))
            return ("arrow", (60, 210 - int(5 * (y - head_top)), 80))
    if head_base <= y < 30.0 and 19.0 <= x < 25.0:
        if x < 20.0 or x >= 24.0 or y >= 29.0:
            return ("arrow_edge", (0, 100, 30))
        return ("arrow", (40, 165 - int(2 * (y - head_base)), 60))
    # Chip body with a pin-one marker.
    if 6.0 <= x < 24.0 and 6.0 <= y < 24.0:
        if x < 7.0 or y < 7.0 or x >= 23.0 or y >= 23.0:
            return ("outline", (16, 16, 24))
        if (x - 10.0) ** 2 + (y - 10.0) ** 2 <= 2.2:
            return ("marker", (230, 230, 230))
        shade = 80 - int(1.2 * (x + y - 14.0))
        return ("body", (shade, shade, shade + 14))
    # Pins: four on each side, 2 units wide, 3 long.
    for p in (8.0, 12.0, 16.0, 20.0):
        if p <= x < p + 2.0 and (3.0 <= y < 6.0 or 24.0 <= y < 27.0):
            return ("pin_lit", (210, 210, 210)) if x < p + 1.0 else ("pin_dark", (140, 140, 140))
        if p <= y < p + 2.0 and (3.0 <= x < 6.0 or 24.0 <= x < 27.0):
            return ("pin_lit", (210, 210, 210)) if y < p + 1.0 else ("pin_dark", (140, 140, 140))
    return None


def render(size, bpp, grid=4):
    """Rows of palette-free pixels, top row first, by supersampling: for 16
    colours the palette index of the part most samples hit, for 256 colours
    the mean colour; None where fewer than half the samples hit."""
    scale = 32.0 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = []
            for sy in range(grid):
                for sx in range(grid):
                    s = sample((px + (sx + 0.5) / grid) * scale, (py + (sy + 0.5) / grid) * scale)
                    if s is not None:
                        hits.append(s)
            if len(hits) * 2 < grid * grid:
                row.append(None)
            elif bpp == 4:
                parts = [h[0] for h in hits]
                row.append(VGA16[PART16[max(set(parts), key=parts.count)]])
            else:
                row.append(tuple(sum(h[1][i] for h in hits) // len(hits) for i in range(3)))
        rows.append(row)
    return rows


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((colour[k] - palette[i][k]) ** 2 for k in range(3)))


def indexed(rows, bpp):
    if bpp == 4:
        palette = list(VGA16)
    else:
        palette = [(0, 0, 0)]
        for row in rows:
            for c in row:
                if c is not None and c not in palette:
                    palette.append(c)
        if len(palette) > 256:
            raise SystemExit("too many colours for a 256-colour image")
        palette += [(0, 0, 0)] * (256 - len(palette))
    index_rows = [[0 if c is None else nearest(c, palette) for c in row] for row in rows]
    return palette, index_rows


def pack_rows(rows, bits):
    """Bottom-up rows of `bits`-per-pixel values, each padded to 4 bytes."""
    out = b""
    for row in reversed(rows):
        acc, nbits, data = 0, 0, bytearray()
        for v in row:
            acc = (acc << bits) | v
            nbits += bits
            if nbits == 8:
                data.append(acc)
                acc, nbits = 0, 0
        if nbits:
            data.append(acc << (8 - nbits))
        while len(data) % 4:
            data.append(0)
        out += bytes(data)
    return out


def image(size, bpp):
    rows = render(size, bpp)
    palette, index_rows = indexed(rows, bpp)
    mask_rows = [[1 if c is None else 0 for c in row] for row in rows]
    xor = pack_rows(index_rows, bpp)
    mask = pack_rows(mask_rows, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + pal + xor + mask


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "qvm_updater.ico")
    formats = [(32, 4), (16, 4), (32, 8), (16, 8)]
    images = [image(s, b) for s, b in formats]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bpp), img in zip(formats, images):
        data += struct.pack("<BBBBHHII", size, size, 16 if bpp == 4 else 0, 0, 1, bpp,
                            len(img), offset)
        offset += len(img)
    data += b"".join(images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
