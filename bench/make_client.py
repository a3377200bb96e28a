#!/usr/bin/env python3
"""Writes a benchmark client of about TOTAL bytes into DIR.

  make_client.py uniform DIR TOTAL   24 files in fixed proportions
  make_client.py shape FILE DIR TOTAL  the sizes listed in FILE, scaled
  make_client.py small DIR           600 files of 20 to 400 KB and three
                                     archives of 40 MiB
  make_client.py ceiling DIR         the largest share of bytes one mirror
                                     of three gets when the files, largest
                                     first, go to the mirrors in turn
"""
import os
import random
import sys

CHUNK = 1 << 20


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, CHUNK)
            f.write(os.urandom(n))
            left -= n


def uniform(out, total):
    weights = [40, 30, 25, 20, 16, 12, 10, 8, 6, 5, 4, 3, 3, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1]
    for i, w in enumerate(weights):
        write_random(os.path.join(out, "Data", "part-%02d.MPQ" % i), total // sum(weights) * w)


def shape(listing, out, total):
    big, small = [], []
    rng = random.Random(335)
    for line in open(listing, encoding="utf-8"):
        line = line.split("#")[0].split()
        if not line:
            continue
        if line[0] == "small":
            count, lo, hi = int(line[1]), int(line[2]), int(line[3])
            for i in range(count):
                folder = ("Interface/AddOns/Blizzard_%02d" % (i % 40)) if i % 4 else "WTF/Account/%02d" % (i % 10)
                small.append(("%s/file-%03d.lua" % (folder, i), rng.randint(lo, hi) * 1024))
        else:
            big.append((line[0], float(line[1]) * 1048576))
    room = total - sum(size for _, size in small)
    scale = room / sum(size for _, size in big)
    for path, size in big:
        write_random(os.path.join(out, *path.split("/")), int(size * scale))
    for path, size in small:
        write_random(os.path.join(out, *path.split("/")), size)


def small(out):
    rng = random.Random(600)
    for i in range(3):
        write_random(os.path.join(out, "Data", "archive-%d.MPQ" % i), 40 * CHUNK)
    for i in range(600):
        path = os.path.join(out, "Interface", "AddOns", "Addon_%02d" % (i % 30), "file-%03d.lua" % i)
        write_random(path, rng.randint(20, 400) * 1000)


def ceiling(out):
    sizes = sorted((os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(out) for f in fs), reverse=True)
    shares = [sum(sizes[m::3]) for m in range(3)]
    print(max(shares) / sum(sizes))


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "uniform":
        uniform(sys.argv[2], int(sys.argv[3]))
    elif kind == "shape":
        shape(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif kind == "small":
        small(sys.argv[2])
    elif kind == "ceiling":
        ceiling(sys.argv[2])
    else:
        sys.exit(__doc__)
