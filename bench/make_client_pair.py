#!/usr/bin/env python3
"""Version 1 and version 2 of a benchmark client, for the client update.

  make_client_pair.py V1 V2 MIB

Three archives of MIB MiB each, rebuilt for version 2 with a few per cent
changed (bench/make_delta_pair.py: entries dropped, inserted, rewritten, a
new index), and 300 small files of 4 to 256 KiB, of which version 2 changes
30 (same size, new bytes), removes 5 and adds 10. Prints, on one line: the
changed bytes (what a perfect transfer fetches: the archives' changed
entries, header and index, the changed and the added small files), the
bytes of the changed small files, of the added ones, and version 2's total.
"""
import os
import random
import subprocess
import sys

ARCHIVES = ["Data/common.MPQ", "Data/expansion.MPQ", "Data/zhCN/locale-zhCN.MPQ"]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    v1, v2, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rnd = random.Random(7)
    here = os.path.dirname(os.path.abspath(__file__))
    changed = 0
    for seed, rel in enumerate(ARCHIVES, 1):
        old, new = os.path.join(v1, *rel.split("/")), os.path.join(v2, *rel.split("/"))
        os.makedirs(os.path.dirname(old), exist_ok=True)
        os.makedirs(os.path.dirname(new), exist_ok=True)
        out = subprocess.run([sys.executable, os.path.join(here, "make_delta_pair.py"), old, new, str(mib), str(seed)],
                             check=True, capture_output=True, text=True).stdout.split()
        changed += int(out[1])
    small = ["Data/zhCN/DBFilesClient/f%03d.dbc" % i for i in range(300)]
    sizes = {p: int(4096 * 2 ** rnd.uniform(0, 6)) for p in small}
    dropped = set(rnd.sample(small, 5))
    rewritten = set(rnd.sample([p for p in small if p not in dropped], 30))
    changed_small = added_small = 0
    for p in small:
        data = os.urandom(sizes[p])
        write(os.path.join(v1, *p.split("/")), data)
        if p in dropped:
            continue
        if p in rewritten:
            data = os.urandom(sizes[p])
            changed_small += len(data)
        write(os.path.join(v2, *p.split("/")), data)
    for i in range(10):
        data = os.urandom(int(4096 * 2 ** rnd.uniform(0, 6)))
        write(os.path.join(v2, "Data", "zhCN", "DBFilesClient", "new%02d.dbc" % i), data)
        added_small += len(data)
    write(os.path.join(v1, "Wow.exe"), b"MZ bench client")
    write(os.path.join(v2, "Wow.exe"), b"MZ bench client")
    total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(v2) for f in fs)
    print(changed + changed_small + added_small, changed_small, added_small, total)


if __name__ == "__main__":
    main()
