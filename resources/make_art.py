#!/usr/bin/env python3
"""Draws runpack's mark: the waiting window's picture (progress.bmp, 130 x 47, 8 bits per
pixel, run-length coded (BI_RLE8) with the nine colours it uses) and the icon (runpack.ico: 16, 32 and 48 pixels, 4 bits per pixel).
Deterministic; rerun after changing the drawing: python3 resources/make_art.py"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
BI_RLE8 = 1

# 16-colour palette shared by both pictures (R, G, B).
PALETTE = [
    (255, 255, 255),  # 0 white background
    (32, 36, 48),     # 1 outline, lettering
    (214, 150, 72),   # 2 parcel front
    (236, 186, 112),  # 3 parcel top
    (176, 112, 48),   # 4 parcel side
    (246, 230, 190),  # 5 tape
    (46, 160, 90),    # 6 run arrow
    (120, 210, 150),  # 7 arrow highlight
    (150, 156, 170),  # 8 grey lettering
    (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0),
]

# A 5 x 7 pixel alphabet, just the letters of the name.
GLYPHS = {
    'r': ["     ", "     ", "# ## ", "##  #", "#    ", "#    ", "#    "],
    'u': ["     ", "     ", "#   #", "#   #", "#   #", "#  ##", " ## #"],
    'n': ["     ", "     ", "# ## ", "##  #", "#   #", "#   #", "#   #"],
    'p': ["     ", "     ", "#### ", "#   #", "#### ", "#    ", "#    "],
    'a': ["     ", "     ", " ### ", "    #", " ####", "#   #", " ####"],
    'c': ["     ", "     ", " ### ", "#    ", "#    ", "#   #", " ### "],
    'k': ["#    ", "#    ", "#  # ", "# #  ", "##   ", "# #  ", "#  # "],
}


class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.pixels = [[0] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, colour)


def draw_parcel(c, x0, y0, size):
    """An open-flapped parcel seen slightly from above, with a green arrow leaving it."""
    s = size / 32.0
    def sc(v):
        return int(round(v * s))
    top, front_y, bottom = y0 + sc(6), y0 + sc(12), y0 + sc(30)
    left, right, depth = x0 + sc(2), x0 + sc(22), sc(6)
    # front face
    c.rect(left, front_y, right, bottom, 2)
    # side face, slanted
    for y in range(top, bottom):
        shift = max(0, min(depth, (front_y - y) if y < front_y else depth - (y - bottom + depth) if y > bottom - depth else depth))
        for x in range(right, right + shift):
            c.put(x, y, 4)
    # top face
    for y in range(top, front_y):
        offset = front_y - y
        for x in range(left + offset, right + offset):
            c.put(x, y, 3)
    # tape across the front and top
    mid = (left + right) // 2
    c.rect(mid - max(1, sc(2)), front_y, mid + max(1, sc(2)), bottom, 5)
    # outline
    for x in range(left, right):
        c.put(x, bottom - 1, 1)
        c.put(x, front_y, 1)
    for y in range(front_y, bottom):
        c.put(left, y, 1)
        c.put(right - 1, y, 1)
    # the arrow: a triangle pointing right, over the parcel's upper right corner
    ax, ay, ah = x0 + sc(16), y0 + sc(1), sc(14)
    for i in range(ah):
        half = ah // 2 - abs(i - ah // 2)
        for x in range(ax, ax + half + sc(2)):
            c.put(x, ay + i, 6 if i > ah // 3 else 7)


def draw_text(c, text, x0, y0, scale, colour):
    x = x0
    for ch in text:
        for row, line in enumerate(GLYPHS[ch]):
            for col, bit in enumerate(line):
                if bit == '#':
                    c.rect(x + col * scale, y0 + row * scale, x + (col + 1) * scale,
                           y0 + (row + 1) * scale, colour)
        x += 6 * scale


def bmp_rows(c, bits):
    rows = []
    for y in reversed(range(c.height)):  # bottom-up
        row = c.pixels[y]
        if bits == 8:
            data = bytes(row)
        else:
            data = bytes((row[i] << 4) | (row[i + 1] if i + 1 < c.width else 0)
                         for i in range(0, c.width, 2))
        data += b'\0' * ((-len(data)) % 4)
        rows.append(data)
    return b''.join(rows)


def rle8_rows(c):
    """The pixels as BI_RLE8 runs: bottom-up rows of (count, colour) pairs, each row closed by
    an end of line (00 00), the picture by an end of bitmap (00 01). Windows expands them
    when it loads the bitmap, so the window shows the same pixels as from plain rows."""
    out = bytearray()
    for y in reversed(range(c.height)):
        row = c.pixels[y]
        x = 0
        while x < c.width:
            run = 1
            while x + run < c.width and row[x + run] == row[x] and run < 255:
                run += 1
            out += bytes((run, row[x]))
            x += run
        out += b'\0\0'
    return bytes(out + b'\0\1')


def palette_bytes(count):
    entries = PALETTE + [(0, 0, 0)] * (count - len(PALETTE))
    return b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in entries[:count])


def write_bitmap(path):
    c = Canvas(130, 47)
    draw_parcel(c, 4, 6, 36)
    draw_text(c, "runpack", 46, 13, 2, 1)
    for x in range(46, 46 + 7 * 12 - 2):
        c.put(x, 33, 8)
    pixels = rle8_rows(c)
    colours = max(max(row) for row in c.pixels) + 1
    info = struct.pack('<IiiHHIIiiII', 40, c.width, c.height, 1, 8, BI_RLE8, len(pixels), 2835, 2835,
                       colours, 0)
    palette = palette_bytes(colours)
    offset = 14 + len(info) + len(palette)
    header = struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset)
    with open(path, 'wb') as f:
        f.write(header + info + palette + pixels)


def write_icon(path):
    images = []
    for size in (16, 32, 48):
        c = Canvas(size, size)
        draw_parcel(c, 0, 0, size)
        xor = bmp_rows(c, 4)
        mask_row = ((size + 31) // 32) * 4
        mask = b'\0' * (mask_row * size)  # every pixel opaque
        info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
        images.append((size, info + palette_bytes(16) + xor + mask))
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory = b''
    for size, data in images:
        directory += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(header + directory + b''.join(data for _, data in images))


if __name__ == '__main__':
    write_bitmap(os.path.join(HERE, 'progress.bmp'))
    write_icon(os.path.join(HERE, 'runpack.ico'))
