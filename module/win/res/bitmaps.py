#!/usr/bin/env python3
"""Draws the bitmaps of linvo.dll and writes them as 24-bit BMP files: the toolbox picture
(bitmap 1, 16 x 15, the size forms designers show; its lower-left pixel is the background they
make transparent) and the design-mode picture (bitmap 201, 64 x 32: a nine-pin serial connector
beside the name). Usage: bitmaps.py OUTPUT_DIR"""

import pathlib
import struct
import sys

FACE = (192, 192, 192)      # the background, as forms designers' toolboxes have it
WHITE = (255, 255, 255)
OUTLINE = (32, 32, 32)
SHELL = (96, 112, 136)      # the connector's metal
PIN = (232, 200, 64)        # gold contacts
CABLE = (48, 48, 48)
INK = (0, 64, 128)          # the name

# The toolbox picture, one character a pixel.
TOOLBOX = [
    "................",
    "................",
    ".kkkkkkkkkkkkkk.",
    ".kssssssssssssk.",
    ".ksysysysysyssk.",
    ".kssssssssssssk.",
    "..ksysysysyssk..",
    "..kssssssssssk..",
    "...kkkkkkkkkk...",
    "......kkkk......",
    "......kcck......",
    "......kcck......",
    "......kcck......",
    "......kkkk......",
    "................",
]
COLOURS = {".": FACE, "k": OUTLINE, "s": SHELL, "y": PIN, "c": CABLE}

# A 5 x 7 font for the letters of the name.
LETTERS = {
    "L": ["x....", "x....", "x....", "x....", "x....", "x....", "xxxxx"],
    "I": ["xxxxx", "..x..", "..x..", "..x..", "..x..", "..x..", "xxxxx"],
    "N": ["x...x", "xx..x", "x.x.x", "x.x.x", "x..xx", "x...x", "x...x"],
    "V": ["x...x", "x...x", "x...x", "x...x", ".x.x.", ".x.x.", "..x.."],
    "O": [".xxx.", "x...x", "x...x", "x...x", "x...x", "x...x", ".xxx."],
}


def design():
    width, height = 64, 32
    image = [[WHITE] * width for _ in range(height)]

    def put(x, y, colour):
        if 0 <= x < width and 0 <= y < height:
            image[y][x] = colour

    # The connector: a trapezoid shell narrowing downwards, five pins over four.
    top, bottom = 6, 22
    for y in range(top, bottom + 1):
        inset = (y - top) * 3 // (bottom - top)
        left, right = 2 + inset, 23 - inset
        for x in range(left, right + 1):
            edge = y in (top, bottom) or x in (left, right)
            put(x, y, OUTLINE if edge else SHELL)
    for row, count, first in ((10, 5, 5), (16, 4, 7)):
        for i in range(count):
            for dx in range(2):
                for dy in range(2):
                    put(first + i * 4 + dx, row + dy, PIN)
    # The cable leaving the shell.
    for y in range(bottom + 1, height):
        for x in range(11, 15):
            put(x, y, OUTLINE if x in (11, 14) else CABLE)
    # The name.
    x0 = 27
    for letter in "LINVO":
        for y, line in enumerate(LETTERS[letter]):
            for x, dot in enumerate(line):
                if dot == "x":
                    put(x0 + x, 12 + y, INK)
        x0 += 7
    return image


def write_bmp(path, image):
    height, width = len(image), len(image[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(image):  # bottom-up
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        pixels += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    path.write_bytes(header + info + pixels)


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    write_bmp(out / "toolbox.bmp", [[COLOURS[c] for c in line] for line in TOOLBOX])
    write_bmp(out / "design.bmp", design())


if __name__ == "__main__":
    main()
