#!/usr/bin/env python3
"""Writes ModemAbout.ico: the applet's icon, four square images of 256, 48,
32 and 16 pixels with 32 bits per pixel (the 256-pixel image PNG-compressed,
the others as bottom-up BGRA bitmaps with an AND mask). A rounded blue tile
with white signal bars.

    python3 make_icon.py [output]
"""
import struct
import sys
import zlib

SIZES = (256, 48, 32, 16)


def pixel(x, y, n):
    """RGBA of pixel (x, y) (y down) of an n by n image."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius, as a fraction of the side
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    # Four bars of rising height, left to right.
    for i in range(4):
        left = 0.18 + i * 0.17
        top = 0.70 - i * 0.15
        if left <= u < left + 0.11 and top <= v < 0.82:
            return (255, 255, 255, 255)
    shade = int(40 + 60 * (1 - v))
    return (shade // 2, shade + 40, 200, 255)


def png(n):
    rows = b""
    for y in range(n):
        rows += b"\0" + b"".join(bytes(pixel(x, y, n)) for x in range(n))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def dib(n):
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b""
    for y in reversed(range(n)):
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            colour += bytes((b, g, r, a))
    mask_row = ((n + 31) // 32) * 4
    mask = b""
    for y in reversed(range(n)):
        bits = bytearray(mask_row)
        for x in range(n):
            if pixel(x, y, n)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "ModemAbout.ico"
    images = [png(n) if n == 256 else dib(n) for n in SIZES]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, image in zip(SIZES, images):
        data += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


if __name__ == "__main__":
    main()
