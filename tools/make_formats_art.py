#!/usr/bin/env python3
"""Draws the Formats page's bitmaps over magenta: the Choice column's radio marks (off, on) and the filter
tabs' images (grey: the filter has no default format, green: it has one), two 16x16 images each. Writes
resources/ConfigFormatsRadio.bmp and resources/ConfigFormatsTabs.bmp; run it again after changing a drawing."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'resources')
MAGENTA = (255, 0, 255)


def radio(x, y, on):
    d2 = (x - 7.5) ** 2 + (y - 7.5) ** 2
    if d2 > 6.5 ** 2:
        return MAGENTA
    if d2 > 5.3 ** 2:
        return (70, 90, 120)
    if on and d2 <= 2.8 ** 2:
        return (30, 110, 40)
    return (255, 255, 255)


def tab_mark(x, y, green):
    if x < 2 or x > 13 or y < 4 or y > 11:
        return MAGENTA
    if x in (2, 13) or y in (4, 11):
        return (40, 90, 40) if green else (90, 90, 90)
    return (80, 190, 80) if green else (190, 190, 190)


def write_bmp(name, width, height, pixel):
    row = bytearray()
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        while len(row) % 4:
            row.append(0)
        rows.append(bytes(row))
    image = b''.join(rows)
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(image), 0, 0, 14 + 40)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    with open(os.path.join(ROOT, name), 'wb') as f:
        f.write(header + info + image)


write_bmp('ConfigFormatsRadio.bmp', 32, 16, lambda x, y: radio(x % 16, y, x >= 16))
write_bmp('ConfigFormatsTabs.bmp', 32, 16, lambda x, y: tab_mark(x % 16, y, x >= 16))
