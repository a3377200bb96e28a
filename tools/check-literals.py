#!/usr/bin/env python3
"""Fails when a plain narrow string or character literal in the program's C++
sources holds a non-ASCII character.

UI texts are GBK at run time while server-list, JSON and HTTP texts are
UTF-8, so every literal with non-ASCII text must say which it is: u8"..."
(converted with Gbk() where the UI shows it) or L"...". A plain "..." would
depend on the compiler's execution character set."""
import os
import re
import sys

DIRS = ["app", "config", "game", "net", "manifest", "download", "install", "ui", "tools", "tests", "bench"]
LITERAL = re.compile(r'(u8|u|U|L)?R?"(?:[^"\\\n]|\\.)*"|(u8|u|U|L)?\'(?:[^\'\\\n]|\\.)+\'')
COMMENT = re.compile(r'//[^\n]*|/\*.*?\*/', re.S)


def strip_comments(src):
    # Keep literals intact while removing comments: scan both in one pass.
    out = []
    pos = 0
    token = re.compile(r'//[^\n]*|/\*.*?\*/|(?:u8|u|U|L)?R?"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)+\'', re.S)
    for m in token.finditer(src):
        out.append(src[pos:m.start()])
        t = m.group(0)
        out.append("\n" * t.count("\n") if t.startswith("/") else t)
        pos = m.end()
    out.append(src[pos:])
    return "".join(out)


def main(root):
    bad = []
    for d in DIRS:
        for base, _, files in os.walk(os.path.join(root, d)):
            for name in files:
                if not name.endswith((".cpp", ".h", ".hpp", ".cc")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8") as f:
                    src = strip_comments(f.read())
                for lineno, line in enumerate(src.splitlines(), 1):
                    for m in LITERAL.finditer(line):
                        prefix = m.group(1) or m.group(2)
                        if prefix is None and any(ord(c) > 0x7F for c in m.group(0)):
                            bad.append(f"{os.path.relpath(path, root)}:{lineno}: {m.group(0)[:60]}")
    for b in bad:
        print("plain literal with non-ASCII text:", b)
    print("literal encodings: %d problem(s)" % len(bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
