#!/usr/bin/env python3
"""Draws the program's icon: two pools' bars (red RAM, green CPU, as the Graph tab draws
them) standing in a tarn. Writes app/icons/tarnwell.ico (16, 32 and 48 pixels, each in 8-bit
and 32-bit colour) and one PNG per size for the Qt window. Standard library only, so that
any machine can redraw it: scripts/make_icon.py [output-folder]."""
import os
import struct
import sys
import zlib

SIZES = (48, 32, 16)
SAMPLES = 4  # per pixel and axis: the edges are the average of 16 samples

RED, RED_EDGE = (224, 40, 40), (140, 16, 16)
GREEN, GREEN_EDGE = (40, 168, 64), (16, 96, 32)
WATER_TOP, WATER_BOTTOM, WATER_EDGE = (96, 164, 224), (24, 72, 156), (16, 48, 112)
RIPPLE = (200, 228, 250)

# The drawing in sixteenths of the icon's side. Each bar: left, right, top, colour, edge.
BARS = ((1, 4, 5, RED, RED_EDGE), (4, 7, 8, GREEN, GREEN_EDGE),
        (9, 12, 2, RED, RED_EDGE), (12, 15, 6, GREEN, GREEN_EDGE))
BAR_FOOT = 13.0
POOL_X, POOL_Y, POOL_RX, POOL_RY = 8.0, 12.6, 7.6, 3.0


def over(under, colour, alpha):
    """`colour` at `alpha` over the premultiplied pixel `under` (r, g, b, a)."""
    r, g, b, a = under
    return (colour[0] * alpha + r * (1 - alpha), colour[1] * alpha + g * (1 - alpha),
            colour[2] * alpha + b * (1 - alpha), alpha + a * (1 - alpha))


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def sample(x, y, size):
    """The premultiplied colour at (x, y), in sixteenths, for an icon of `size` pixels."""
    px = 16.0 / size  # one pixel, in sixteenths: edges stay one pixel wide at every size
    pixel = (0.0, 0.0, 0.0, 0.0)
    d = ((x - POOL_X) / POOL_RX) ** 2 + ((y - POOL_Y) / POOL_RY) ** 2
    in_pool = d <= 1
    water = mix(WATER_TOP, WATER_BOTTOM, max(0.0, min(1.0, (y - (POOL_Y - POOL_RY)) / (2 * POOL_RY))))
    if in_pool and y <= POOL_Y:  # the far half, behind the bars
        pixel = over(pixel, WATER_EDGE if d > (1 - 2.2 * px / POOL_RY) else water, 1.0)
    for left, right, top, colour, edge in BARS:
        if left <= x < right and top <= y < BAR_FOOT:
            inner = size > 16 and left + px <= x < right - px and y >= top + px
            pixel = over(pixel, colour if inner or size == 16 else edge, 1.0)
            if size == 16 and y < top + px:
                pixel = over(pixel, edge, 1.0)
    if in_pool and y > POOL_Y:  # the near half, the bars' feet seen through it
        pixel = over(pixel, WATER_EDGE if d > (1 - 2.2 * px / POOL_RY) else water, 0.8)
    if in_pool and abs(y - (POOL_Y + 0.9)) < 0.5 * px and abs(x - POOL_X) < POOL_RX * 0.55:
        pixel = over(pixel, RIPPLE, 0.7)
    return pixel


def render(size):
    """Rows top-down of (r, g, b, a) bytes, not premultiplied."""
    rows = []
    step = 16.0 / size / SAMPLES
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0.0] * 4
            for sj in range(SAMPLES):
                for si in range(SAMPLES):
                    p = sample(16.0 * i / size + (si + 0.5) * step, 16.0 * j / size + (sj + 0.5) * step, size)
                    acc = [s + v for s, v in zip(acc, p)]
            r, g, b, a = (v / SAMPLES ** 2 for v in acc)
            if a <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(min(255.0, v / a))) for v in (r, g, b)) + (int(round(a * 255)),))
        rows.append(row)
    return rows


def palette_of(rows):
    """At most 256 colours for the opaque pixels, coarser until they fit."""
    for shift in range(0, 8):
        colours = sorted({tuple((c >> shift) << shift for c in p[:3]) for row in rows for p in row if p[3] >= 128})
        if len(colours) <= 256:
            return shift, colours
    raise AssertionError("unreachable")


def bmp_entry(rows, bits):
    """An icon image: BITMAPINFOHEADER, palette, colour rows bottom-up, AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for i, p in enumerate(row):
            if p[3] < 128:  # transparent where the system reads only the mask
                line[i // 8] |= 0x80 >> (i % 8)
        mask += line
    colour = bytearray()
    palette = b""
    if bits == 32:
        for row in reversed(rows):
            for r, g, b, a in row:
                colour += bytes((b, g, r, a))
    else:
        shift, colours = palette_of(rows)
        index = {c: n for n, c in enumerate(colours)}
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours) + bytes(4 * (256 - len(colours)))
        stride = (size + 3) // 4 * 4
        for row in reversed(rows):
            line = bytearray(stride)
            for i, p in enumerate(row):
                if p[3] >= 128:
                    line[i] = index[tuple((c >> shift) << shift for c in p[:3])]
            colour += line
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, len(colour) + len(mask), 0, 0,
                         256 if bits == 8 else 0, 0)
    return header + palette + bytes(colour) + bytes(mask)


def ico(images):
    """ICONDIR, one ICONDIRENTRY per (size, bits, data), then the images."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits, len(data), offset + len(body))
        body += data
    return out + body


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "app", "icons")
    os.makedirs(folder, exist_ok=True)
    images = []
    for size in SIZES:
        rows = render(size)
        images += [(size, 32, bmp_entry(rows, 32)), (size, 8, bmp_entry(rows, 8))]
        with open(os.path.join(folder, "tarnwell-%d.png" % size), "wb") as f:
            f.write(png(rows))
    with open(os.path.join(folder, "tarnwell.ico"), "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
