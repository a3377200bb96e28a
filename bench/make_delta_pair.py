#!/usr/bin/env python3
"""An old and a new patch archive, the new one rebuilt from the old as an
operator's archiver does it: a header, the entries (compressed data: random
bytes, 4 KiB to 2 MiB each) and an index at the end that records every
entry's offset. The new archive keeps most entries, but drops some, inserts
new ones between them (shifting everything after), rewrites a few in place,
and writes a fresh index.

  make_delta_pair.py OLD NEW MIB [SEED]

Prints the new archive's size and its changed bytes (the inserted and
rewritten entries, the new header and index): the bytes a perfect transfer
would have to fetch.
"""
import os
import random
import struct
import sys


def main():
    old_path, new_path, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rnd = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    target = mib << 20
    sizes = []
    while sum(sizes) < target:
        sizes.append(int(4096 * 2 ** rnd.uniform(0, 9)))
    data = os.urandom(sum(sizes))
    entries, at = [], 0
    for n in sizes:
        entries.append(data[at:at + n])
        at += n

    def archive(items):
        header = b"MPQ\x1a" + struct.pack("<II", len(items), 0) + os.urandom(20)
        out, offsets, pos = [header], [], len(header)
        for e in items:
            offsets.append(pos)
            out.append(e)
            pos += len(e)
        index = b"".join(struct.pack("<QI", o, len(e)) + os.urandom(4) for o, e in zip(offsets, items))
        out.append(index)
        return b"".join(out), len(header) + len(index)

    new_items, changed = [], 0
    for e in entries:
        r = rnd.random()
        if r < 0.01:  # dropped
            continue
        if r < 0.02:  # rewritten in place: same size, new content
            e = os.urandom(len(e))
            changed += len(e)
        new_items.append(e)
        if rnd.random() < 0.009:  # a new entry after this one
            extra = os.urandom(int(4096 * 2 ** rnd.uniform(0, 9)))
            new_items.append(extra)
            changed += len(extra)
    old, _ = archive(entries)
    new, fixed = archive(new_items)
    changed += fixed
    with open(old_path, "wb") as f:
        f.write(old)
    with open(new_path, "wb") as f:
        f.write(new)
    print(len(new), changed)


if __name__ == "__main__":
    main()
