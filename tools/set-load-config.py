#!/usr/bin/env python3
"""Points a linked PE32 image's load-configuration directory at its
`_load_config_used` record.

GNU ld before 2.43 neither fills that directory from the symbol nor takes a
dependent-load flag, so the build sets the directory after the link. The
record's DependentLoadFlags tell Windows 10 and later where to look for the
image's static imports. Usage: set-load-config.py NM IMAGE
"""
import struct
import subprocess
import sys


def main():
    nm, image = sys.argv[1], sys.argv[2]
    symbols = subprocess.run([nm, image], check=True, capture_output=True, text=True).stdout
    va = None
    for line in symbols.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == "__load_config_used":
            va = int(parts[0], 16)
    if va is None:
        sys.exit(f"{image}: no _load_config_used record")
    data = bytearray(open(image, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        sys.exit(f"{image}: not a PE image")
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x10B:
        sys.exit(f"{image}: not a PE32 image")
    image_base = struct.unpack_from("<I", data, opt + 28)[0]
    rva = va - image_base
    # The record's own first field is its size; the directory says the same.
    file_offset = None
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    table = opt + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(sections):
        s = table + 40 * i
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            file_offset = rawptr + rva - vaddr
    if file_offset is None:
        sys.exit(f"{image}: _load_config_used lies in no section")
    size = struct.unpack_from("<I", data, file_offset)[0]
    load_config_entry = opt + 96 + 8 * 10
    struct.pack_into("<II", data, load_config_entry, rva, size)
    open(image, "wb").write(bytes(data))


if __name__ == "__main__":
    main()
