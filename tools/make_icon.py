#!/usr/bin/env python3
"""Writes the program's icon: one 48 x 48 picture, 32 bits per pixel.

The picture is a flash chip: a dark body with pins on its left and right
edges, a notch marking pin 1, and a yellow lightning bolt across the body.
The file holds an ICONDIR, one entry, and one image in the classic form
(BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask), which
every Windows version reads. The output is the same bytes on every run, so
the generated file is kept in the repository and builds need no Python.

Usage: make_icon.py OUTPUT.ico
"""

import struct
import sys

SIZE = 48

TRANSPARENT = (0, 0, 0, 0)
BODY = (40, 44, 52, 255)
BODY_EDGE = (90, 96, 108, 255)
PIN = (190, 194, 200, 255)
NOTCH = (110, 116, 128, 255)
BOLT = (255, 204, 0, 255)
BOLT_EDGE = (160, 110, 0, 255)

# Lightning bolt, in pixel coordinates from the top-left corner.
BOLT_OUTLINE = [(27, 8), (15, 26), (23, 26), (19, 40), (33, 20), (25, 20), (29, 8)]


def inside_polygon(x, y, polygon):
    """Even-odd rule, sampled at the pixel's centre."""
    px, py = x + 0.5, y + 0.5
    inside = False
    count = len(polygon)
    for i in range(count):
        x1, y1 = polygon[i]
        x2, y2 = polygon[(i + 1) % count]
        if (y1 > py) != (y2 > py):
            cross_x = x1 + (py - y1) * (x2 - x1) / (y2 - y1)
            if px < cross_x:
                inside = not inside
    return inside


def pixel(x, y):
    """Colour (r, g, b, a) of the pixel at column x, row y (row 0 at the top)."""
    body_left, body_right, body_top, body_bottom = 10, 37, 5, 42
    in_body = body_left <= x <= body_right and body_top <= y <= body_bottom
    if in_body:
        if inside_polygon(x, y, BOLT_OUTLINE):
            near_edge = any(
                not inside_polygon(x + dx, y + dy, BOLT_OUTLINE)
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            return BOLT_EDGE if near_edge else BOLT
        if (x - 15) ** 2 + (y - 10) ** 2 <= 4:
            return NOTCH
        if x in (body_left, body_right) or y in (body_top, body_bottom):
            return BODY_EDGE
        return BODY
    # Six pins on each side, 3 pixels wide with 3 pixels between them.
    on_pin_row = any(8 + 6 * i <= y <= 10 + 6 * i for i in range(6))
    if on_pin_row and (4 <= x < body_left or body_right < x <= 43):
        return PIN
    return TRANSPARENT


def icon_bytes():
    colour_rows = []
    mask_rows = []
    mask_stride = ((SIZE + 31) // 32) * 4  # 1-bit rows padded to 32 bits
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        row = bytearray()
        mask = bytearray(mask_stride)
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
            if a == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        colour_rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    colour = b"".join(colour_rows)
    mask = b"".join(mask_rows)

    # The height counts the colour picture and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask

    icon_dir = struct.pack("<HHH", 0, 1, 1)
    offset = len(icon_dir) + 16
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), offset)
    return icon_dir + entry + image


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    with open(argv[1], "wb") as out:
        out.write(icon_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
