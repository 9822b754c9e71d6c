#!/usr/bin/env python3
"""Draws Kelvor's two 16-colour icons (32x32 and 16x16 each): left.ico (power symbol), right.ico (clock).

Run from anywhere: writes left.ico and right.ico beside this script. The output is deterministic."""
import math
import os
import struct

# The standard 16-colour VGA palette, as (red, green, blue).
PALETTE = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
           (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0),
           (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255)]
BLACK, DARK_RED, GREY, RED, YELLOW, WHITE, BLUE = 0, 4, 8, 12, 14, 15, 9
TRANSPARENT = None


def disc(n, rim, inside):
    """An n x n image of a disc with a rim; inside(x, y, c, r, d) colours the rest."""
    c, r = (n - 1) / 2, n / 2 - 0.5
    img = []
    for y in range(n):
        row = []
        for x in range(n):
            d = math.hypot(x - c, y - c)
            if d > r:
                row.append(TRANSPARENT)
            elif d > r - max(1, n // 16):
                row.append(rim)
            else:
                row.append(inside(x, y, c, r, d))
        img.append(row)
    return img


def power(n):
    """A red disc with a white power symbol."""
    def inside(x, y, c, r, d):
        ang = math.degrees(math.atan2(x - c, c - y))
        if abs(x - c) < n / 16 + 0.2 and n * 0.15 < y < c:
            return WHITE
        if r * 0.45 < d < r * 0.62 and abs(ang) > 35:
            return WHITE
        return RED
    return disc(n, DARK_RED, inside)


def clock(n):
    """A yellow clock face with a blue minute hand and a black hour hand at three."""
    def inside(x, y, c, r, d):
        if abs(x - c) < 0.7 and c - r * 0.75 < y <= c:
            return BLUE
        if abs(y - c) < 0.7 and c <= x < c + r * 0.55:
            return BLACK
        return YELLOW if d < r * 0.85 else WHITE
    return disc(n, BLACK, inside)


def dib(img):
    n = len(img)
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    xor_stride = ((n * 4 + 31) // 32) * 4
    and_stride = ((n + 31) // 32) * 4
    xor, mask = b'', b''
    for row in reversed(img):  # bottom-up
        nibbles = [0 if p is TRANSPARENT else p for p in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, n, 2))
        xor += line.ljust(xor_stride, b'\0')
        bits = 0
        for p in row:
            bits = (bits << 1) | (1 if p is TRANSPARENT else 0)
        mask += bits.to_bytes(n // 8, 'big').ljust(and_stride, b'\0')
    return header + palette + xor + mask


def ico(images):
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = [dib(img) for img in images]
    for img, blob in zip(images, blobs):
        n = len(img)
        out += struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw in (('left.ico', power), ('right.ico', clock)):
        with open(os.path.join(here, name), 'wb') as f:
            f.write(ico([draw(32), draw(16)]))
