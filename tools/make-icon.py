#!/usr/bin/env python3
"""Draws the launcher's icon (a star over an arched bridge on a night-blue
tile) at every size Windows asks for and writes a multi-size .ico file.

Sizes up to 128 are stored as 32-bit DIBs, 256 as PNG, which is what the
shell expects of an .ico. Only the standard library is used."""
import math
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 128, 256]
SAMPLES = 4  # supersampling per axis, for smooth edges


def clamp01(v):
    return 0.0 if v < 0 else 1.0 if v > 1 else v


def star_inside(x, y, cx, cy, r_out, r_in):
    """True when (x, y) lies inside a five-pointed star with a tip upwards."""
    pts = []
    for i in range(10):
        r = r_out if i % 2 == 0 else r_in
        a = math.pi * i / 5
        pts.append((cx + r * math.sin(a), cy - r * math.cos(a)))
    inside = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def sample(u, v):
    """Colour (r, g, b, a) of the icon at unit coordinates (u, v)."""
    # Rounded tile.
    m, rad = 0.04, 0.2
    qx = max(abs(u - 0.5) - (0.5 - m - rad), 0.0)
    qy = max(abs(v - 0.5) - (0.5 - m - rad), 0.0)
    if math.hypot(qx, qy) > rad:
        return (0, 0, 0, 0)
    # Night sky gradient.
    t = v
    r, g, b = 8 + 20 * t, 18 + 30 * t, 38 + 70 * t
    # Arched bridge: a thick band on a circle below the centre.
    d = math.hypot(u - 0.5, v - 1.02)
    if 0.50 <= d <= 0.60 and v < 0.9:
        k = clamp01((0.9 - v) * 6)
        r, g, b = r + (240 - r) * k, g + (190 - g) * k, b + (80 - b) * k
    # Star above the bridge.
    if star_inside(u, v, 0.5, 0.36, 0.26, 0.11):
        r, g, b = 255, 226, 120
    return (r, g, b, 255)


def render(size):
    px = []
    n = SAMPLES * SAMPLES
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = sample((x + (sx + 0.5) / SAMPLES) / size, (y + (sy + 0.5) / SAMPLES) / size)
                    a = c[3] / 255.0
                    acc[0] += c[0] * a
                    acc[1] += c[1] * a
                    acc[2] += c[2] * a
                    acc[3] += c[3]
            alpha = acc[3] / n
            if alpha > 0:
                cov = alpha / 255.0 * n
                rgb = [int(round(acc[i] / cov)) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((min(rgb[0], 255), min(rgb[1], 255), min(rgb[2], 255), int(round(alpha))))
        px.append(row)
    return px


def png_bytes(px):
    size = len(px)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in px)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib_bytes(px):
    size = len(px)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(px) for p in row)
    stride = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(px):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + xor + bytes(and_mask)


def main(out):
    images = []
    for s in SIZES:
        px = render(s)
        images.append((s, png_bytes(px) if s >= 256 else dib_bytes(px)))
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for s, data in images:
        dim = 0 if s >= 256 else s
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(head + entries + b"".join(d for _, d in images))


if __name__ == "__main__":
    main(sys.argv[1])
