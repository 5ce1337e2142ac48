#!/usr/bin/env python3
"""Writes the power guard's icon: one .ico with a 32x32 and a 16x16 image in
16 colours (4 bits per pixel, standard VGA palette). Standard library only.

    make_icon.py OUT.ico
"""
import struct
import sys

# The 16-colour VGA palette as (red, green, blue).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
BLACK, DARK_BLUE, WHITE, YELLOW = 0, 1, 15, 14  # palette indices


def pixel(x, y, size):
    """A printer-like shape: a dark body, a white sheet, a yellow lamp."""
    m = size // 8
    if m <= x < size - m and size // 2 - m <= y < size - m:
        if x == size - 2 * m and y == size - 2 * m - 1:
            return YELLOW
        return DARK_BLUE
    if 2 * m <= x < size - 2 * m and m <= y < size // 2 - m:
        return WHITE
    return None  # transparent


def image(size):
    rows_colour = []
    rows_mask = []
    for y in range(size - 1, -1, -1):  # bottom-up DIB
        nibbles = []
        mask_bits = []
        for x in range(size):
            p = pixel(x, y, size)
            nibbles.append(BLACK if p is None else p)
            mask_bits.append(1 if p is None else 0)
        row = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        row += b"\0" * (-len(row) % 4)
        rows_colour.append(row)
        mrow = bytearray()
        for i in range(0, size, 8):
            b = 0
            for bit in mask_bits[i:i + 8]:
                b = (b << 1) | bit
            mrow.append(b)
        mrow += b"\0" * (-len(mrow) % 4)
        rows_mask.append(bytes(mrow))
    colour = b"".join(rows_colour)
    mask = b"".join(rows_mask)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(colour) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", r, g, b, 0)[::-1][1:] + b"\0"
                       for (r, g, b) in PALETTE)
    return header + palette + colour + mask


def main():
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
