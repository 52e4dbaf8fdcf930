#!/usr/bin/env python3
"""Draws the configurator's artwork: the program icon (a card before a reader's waves, 16/32/48 px) and the
strip of eight 16x16 images of the shared image list over magenta. Writes resources/ConfigApp.ico and
resources/ConfigAppImages.bmp; run it again after changing a drawing."""
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'resources')
MAGENTA = (255, 0, 255)


def rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def icon_pixel(x, y):
    """Colour (r, g, b, a) at a point of the unit square."""
    # The card, lower left, a dark outline around a light face with a gold chip and a stripe.
    if rounded_rect(x, y, 0.04, 0.34, 0.70, 0.94, 0.07):
        if not rounded_rect(x, y, 0.09, 0.39, 0.65, 0.89, 0.05):
            return (20, 60, 120, 255)
        if 0.15 <= x <= 0.33 and 0.48 <= y <= 0.64:
            return (225, 175, 40, 255)
        if 0.15 <= x <= 0.58 and 0.74 <= y <= 0.80:
            return (90, 140, 200, 255)
        return (235, 243, 252, 255)
    # The reader's waves rising from the card towards the upper right.
    d = math.hypot(x - 0.40, y - 0.55)
    angle = math.atan2(0.55 - y, x - 0.40)
    if 0.2 < angle < 1.35:
        for radius in (0.30, 0.43, 0.56):
            if abs(d - radius) < 0.045:
                return (30, 120, 220, 255)
    return (0, 0, 0, 0)


def render_icon(size):
    samples = 4
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = icon_pixel((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] // n
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], alpha))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def icon_image(size):
    rows = render_icon(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bytes(bits)
    return header + xor + mask


def write_icon(path, sizes):
    images = [icon_image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


# The eight images, each a function of the pixel centre (x, y in 0..16) giving a colour or None.
def folder(x, y):
    if 2 <= x <= 14 and 5 <= y <= 13:
        return (200, 150, 30) if (x < 3 or x > 13 or y < 6 or y > 12) else (250, 205, 80)
    if 2 <= x <= 7 and 3.5 <= y <= 5:
        return (200, 150, 30)
    return None


def green_arrow(x, y):
    if 2 <= x <= 9 and 6.5 <= y <= 9.5:
        return (20, 150, 40)
    if 9 <= x <= 14 and abs(y - 8) <= (14 - x) * 0.9:
        return (20, 150, 40)
    return None


def play(x, y):
    if 4 <= x <= 13 and abs(y - 8) <= (13 - x) * 0.65:
        return (30, 140, 40)
    return None


def stop(x, y):
    return (190, 30, 30) if 4 <= x <= 12 and 4 <= y <= 12 else None


def drop_down(x, y):
    if 4 <= y <= 10 and abs(x - 8) <= (10 - y) + 0.5:
        return (40, 40, 40)
    return None


def plus(x, y):
    if (6.5 <= x <= 9.5 and 2 <= y <= 14) or (6.5 <= y <= 9.5 and 2 <= x <= 14):
        return (20, 130, 40)
    return None


def cross(x, y):
    if 2.5 <= x <= 13.5 and 2.5 <= y <= 13.5 and (abs(x - y) <= 1.6 or abs(x + y - 16) <= 1.6):
        return (200, 30, 30)
    return None


def check(x, y):
    if 2 <= x <= 6.5 and abs(y - (x + 4.5)) <= 1.6:
        return (20, 140, 40)
    if 6 <= x <= 14 and abs(y - (11 - (x - 6) * 1.05)) <= 1.6 and y >= 2:
        return (20, 140, 40)
    return None


IMAGES = [folder, green_arrow, play, stop, drop_down, plus, cross, check]


def write_strip(path):
    width, height = 16 * len(IMAGES), 16
    stride = (width * 3 + 3) // 4 * 4
    pixels = b''
    for py in reversed(range(height)):
        row = bytearray()
        for px in range(width):
            colour = IMAGES[px // 16]((px % 16) + 0.5, py + 0.5) or MAGENTA
            row += bytes((colour[2], colour[1], colour[0]))
        row += bytes(stride - len(row))
        pixels += bytes(row)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, 'wb') as f:
        f.write(head + info + pixels)


if __name__ == '__main__':
    write_icon(os.path.join(ROOT, 'ConfigApp.ico'), [16, 32, 48])
    write_strip(os.path.join(ROOT, 'ConfigAppImages.bmp'))
