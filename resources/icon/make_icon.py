#!/usr/bin/env python3
"""Build the Kestrune Download Manager program icon.

Usage: python3 make_icon.py OUTPUT.ico

The artwork is vector geometry (a rounded teal-to-blue square holding a
white downward arrow over a tray), rasterised here with supersampled
anti-aliasing and packed into one Windows icon group:

  * 48, 32, 24 and 16 px at 32 bits (BGRA), 8 bits and 4 bits per pixel,
    as classic BMP entries (XOR bitmap plus 1-bit AND mask);
  * 256 px at 32 bits, stored as PNG.

Only the Python standard library is used and the output is byte-for-byte
the same on every run.
"""
import math
import struct
import sys
import zlib

SIZES = (48, 32, 24, 16)
BIG = 256
GRID = 4                      # samples per axis on pixels crossed by an edge
TOP = (0x17, 0x8E, 0xA6)      # background gradient, top
BOTTOM = (0x0B, 0x4A, 0x8C)   # background gradient, bottom
WHITE = (255, 255, 255)

VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
       (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
       (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
       (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
VGA_USED = (0, 4, 6, 7, 15)  # the calm subset the 4-bit images may pick


def mix(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def box(x0, y0, x1, y1, r=0.0):
    """Signed distance to an axis-aligned box with corner radius r."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return sdf


def convex(points):
    """Signed distance bound for a convex polygon (exact inside, never
    larger than the true distance outside, which is all the edge test
    in render() needs)."""
    edges = list(zip(points, points[1:] + points[:1]))
    sign = 1 if sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in edges) > 0 else -1
    lines = []
    for (x0, y0), (x1, y1) in edges:
        nx, ny = (y1 - y0) * sign, (x0 - x1) * sign
        length = math.hypot(nx, ny)
        nx, ny = nx / length, ny / length
        lines.append((nx, ny, nx * x0 + ny * y0))

    def sdf(x, y):
        return max(nx * x + ny * y - c for nx, ny, c in lines)
    return sdf


def artwork(n):
    """Shapes of an n-pixel icon in pixel units: the plate, its vertical
    extent (for the gradient) and the white mark.  Straight edges land on
    whole pixels so the small sizes stay crisp; the arrowhead has 45 degree
    sides."""
    def px(f, least=1):
        return max(least, round(f * n))

    margin = px(0.06)
    plate = box(margin, margin, n - margin, n - margin, px(0.19, 2))
    c = n / 2
    shaft, head = px(0.075), px(0.25, 3)          # half widths
    top = px(0.17)
    base = top + px(0.27, 4)
    tray_top = base + head + px(0.05)
    wall = px(0.08)
    tray_bottom = tray_top + wall
    tray_half = px(0.3, 5)
    lip = px(0.08, 2)                              # rise of the tray sides
    r = wall / 2 if n >= 48 else 0.0
    # The extra half pixel puts the head's sides through pixel centres, so
    # the edge pixels come out 1/8 or 7/8 covered instead of all half-grey.
    head += 0.5
    mark = [
        box(c - shaft, top, c + shaft, base + 1, r / 2),
        convex([(c - head, base), (c + head, base), (c, base + head)]),
        box(c - tray_half, tray_top, c + tray_half, tray_bottom, r),
        box(c - tray_half, tray_top - lip, c - tray_half + wall, tray_bottom, r),
        box(c + tray_half - wall, tray_top - lip, c + tray_half, tray_bottom, r),
    ]
    return plate, (margin, n - margin), mark


def render(n):
    """Rows (top-down) of straight-alpha (r, g, b, a) 8-bit tuples.

    A pixel whose centre lies further than 0.75 px from every outline is
    coloured from its centre alone; the rest get GRID x GRID samples."""
    plate, (g0, g1), mark = artwork(n)
    ramp = [mix(TOP, BOTTOM, min(1.0, max(0.0, (y - g0) / (g1 - g0))))
            for y in range(n + 1)]
    steps = [(i + 0.5) / GRID for i in range(GRID)]
    rows = []
    for py in range(n):
        row = []
        for px in range(n):
            x, y = px + 0.5, py + 0.5
            d = plate(x, y)
            near = abs(d) < 0.75
            if not near and d > 0:
                row.append((0, 0, 0, 0))
                continue
            marks = [f(x, y) for f in mark]
            near = near or min(abs(m) for m in marks) < 0.75
            points = ([(px + sx, py + sy) for sy in steps for sx in steps]
                      if near else [(x, y)])
            total, hits = [0.0, 0.0, 0.0], 0
            for sx, sy in points:
                if plate(sx, sy) >= 0:
                    continue
                hits += 1
                if any(f(sx, sy) < 0 for f in mark):
                    colour = WHITE
                else:
                    colour = mix(ramp[int(sy)], ramp[int(sy) + 1], sy % 1)
                for i in range(3):
                    total[i] += colour[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(int(v / hits + 0.5) for v in total)
            row.append(rgb + (int(255 * hits / len(points) + 0.5),))
        rows.append(row)
    return rows


def ramp_palette():
    """VGA first, then 240 blends of the gradient with white."""
    colours = list(VGA)
    for t in range(16):
        shade = mix(TOP, BOTTOM, t / 15)
        colours += [tuple(round(v) for v in mix(shade, WHITE, s / 14))
                    for s in range(15)]
    return colours


def quantiser(palette, allowed):
    cache = {}

    def index(rgb):
        if rgb not in cache:
            cache[rgb] = min(allowed, key=lambda i: sum(
                w * (p - q) ** 2 for w, p, q in zip((2, 4, 3), palette[i], rgb)))
        return cache[rgb]
    return index


def and_mask(rows, n):
    stride = (n + 31) // 32 * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x >> 3] |= 0x80 >> (x & 7)
        out += line
    return bytes(out)


def bmp_image(rows, n, bits):
    """One classic icon image: BITMAPINFOHEADER, palette, XOR, AND."""
    stride = (n * bits + 31) // 32 * 4
    xor = bytearray()
    palette = b""
    if bits == 32:
        for row in reversed(rows):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
    else:
        colours = VGA if bits == 4 else ramp_palette()
        allowed = VGA_USED if bits == 4 else range(len(colours))
        index = quantiser(colours, allowed)
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
        for row in reversed(rows):
            idx = [index(p[:3]) if p[3] >= 128 else 0 for p in row]
            if bits == 4:
                idx += [0] * (len(idx) % 2)
                line = bytes(idx[i] << 4 | idx[i + 1] for i in range(0, len(idx), 2))
            else:
                line = bytes(idx)
            xor += line + bytes(stride - len(line))
    mask = and_mask(rows, n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette + bytes(xor) + mask


def png_image(rows, n):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def build():
    """List of (size, bit count, colour count, image bytes)."""
    images = []
    for n in SIZES:
        rows = render(n)
        images.append((n, 32, 0, bmp_image(rows, n, 32)))
        images.append((n, 8, 0, bmp_image(rows, n, 8)))
        images.append((n, 4, 16, bmp_image(rows, n, 4)))
    images.append((BIG, 32, 0, png_image(render(BIG), BIG)))
    return images


def write_icon(path, images):
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for n, bits, colours, data in images:
        side = 0 if n >= 256 else n
        directory += struct.pack("<BBBBHHII", side, side, colours, 0, 1, bits,
                                 len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(directory + b"".join(data for *_, data in images))


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    write_icon(argv[1], build())


if __name__ == "__main__":
    main(sys.argv)
