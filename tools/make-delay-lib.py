#!/usr/bin/env python3
"""Makes a delay-load import library from a mingw-w64 import library.

The program links a DLL that Windows 7 does not count among its known DLLs
through such a library, so that the first call goes through the program's
own loading from System32 instead of the loader's search, which looks in
the exe's folder first. Usage: make-delay-lib.py NM DLLTOOL IMPORT_LIB OUT
"""
import os
import subprocess
import sys


def main():
    nm, dlltool, implib, out = sys.argv[1:5]
    dll = subprocess.run([dlltool, "--identify", implib], check=True, capture_output=True,
                         text=True).stdout.split()[0]
    names = set()
    for line in subprocess.run([nm, implib], check=True, capture_output=True, text=True).stdout.splitlines():
        parts = line.split()
        # Each function has a thunk (T) beside its __imp_ pointer; data
        # exports, which a delay load cannot serve, have none.
        if len(parts) == 3 and parts[1] == "T" and parts[2].startswith("_") and not parts[2].startswith("__"):
            names.add(parts[2][1:])
    if not names:
        sys.exit(f"{implib}: no functions")
    definition = out + ".def"
    with open(definition, "w") as f:
        f.write(f"LIBRARY {dll}\nEXPORTS\n")
        for name in sorted(names):
            f.write(f"  {name}\n")
    subprocess.run([dlltool, "-k", "--input-def", definition, "--dllname", dll, "--output-delaylib", out],
                   check=True)
    os.remove(definition)


if __name__ == "__main__":
    main()
