#!/usr/bin/env python3
"""Cuts a picture out of the screen that Xvfb keeps in a file (Xvfb -fbdir):
    xwd-crop.py SCREEN_FILE WxH+X+Y PICTURE.png
The screen is an XWD file with 24-bit colour in 32-bit pixels."""
import re
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
order = ">" if struct.unpack(">I", data[:4])[0] < 4096 else "<"
header = struct.unpack(order + "25I", data[:100])
size, byte_order, bits, line, colours = header[0], header[7], header[11], header[12], header[19]
if bits != 32:
    sys.exit("xwd-crop.py: the screen has %d bits a pixel, not 32" % bits)
start = size + 12 * colours
w, h, x, y = map(int, re.match(r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", sys.argv[2]).groups())
rows = bytearray()
for r in range(y, y + h):
    row = data[start + r * line + 4 * x:start + r * line + 4 * (x + w)]
    rows += b"\0"
    for i in range(0, len(row), 4):
        pixel = row[i:i + 4] if byte_order == 0 else row[i:i + 4][::-1]
        rows += bytes((pixel[2], pixel[1], pixel[0]))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


with open(sys.argv[3], "wb") as png:
    png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
              chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))
