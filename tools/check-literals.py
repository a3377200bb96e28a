#!/usr/bin/env python3
"""Fails when a plain narrow string or character literal in the program's C++
sources holds a non-ASCII character.

UI texts are GBK at run time while server-list, JSON and HTTP texts are
UTF-8, so every literal with non-ASCII text must say which it is: u8"..."
(converted with Gbk() where the UI shows it) or L"...". A plain "..." would
depend on the compiler's execution character set.

  check-literals.py [ROOT]              the check
  check-literals.py --texts OUT [ROOT]  every non-ASCII text of the program
                                        (u8 and wide literals, escapes read)
                                        into OUT, one piece a line, UTF-8"""
import os
import re
import sys

PROGRAM_DIRS = ["start", "app", "hash", "config", "game", "net", "manifest", "download", "install", "ui"]
DIRS = PROGRAM_DIRS + ["tools", "tests", "bench"]
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


def source_lines(root, dirs):
    """(path, line number, line) of every source line, comments removed."""
    for d in dirs:
        for base, _, files in sorted(os.walk(os.path.join(root, d))):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h", ".hpp", ".cc")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8") as f:
                    src = strip_comments(f.read())
                for lineno, line in enumerate(src.splitlines(), 1):
                    yield os.path.relpath(path, root), lineno, line


def literals(root, dirs):
    """(path, line number, prefix, literal) of every literal in the sources."""
    for path, lineno, line in source_lines(root, dirs):
        for m in LITERAL.finditer(line):
            yield path, lineno, m.group(1) or m.group(2), m.group(0)


def report(bad, what, check):
    for b in bad:
        print(what, b)
    print("%s: %d problem(s)" % (check, len(bad)))
    return 1 if bad else 0


def texts(out_path, root):
    # Universal-character escapes become their characters; any other escape
    # (\n, \0...) splits the text, each piece standing on its own line.
    escape = re.compile(r'\\(?:u([0-9a-fA-F]{4})|U([0-9a-fA-F]{8})|x[0-9a-fA-F]+|[0-7]{1,3}|.)')
    pieces = []
    for _, _, prefix, lit in literals(root, PROGRAM_DIRS):
        if prefix not in ("u8", "L"):
            continue
        body = lit[lit.index(lit[-1]) + 1:-1]
        body = escape.sub(lambda m: chr(int(m.group(1) or m.group(2), 16)) if m.group(1) or m.group(2) else "\n", body)
        pieces += [p for p in body.split("\n") if any(ord(c) > 0x7F for c in p)]
    with open(out_path, "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(p + "\n" for p in pieces))
    return 0


def main(root):
    bad = [f"{path}:{lineno}: {lit[:60]}" for path, lineno, prefix, lit in literals(root, DIRS)
           if prefix is None and any(ord(c) > 0x7F for c in lit)]
    return report(bad, "plain literal with non-ASCII text:", "literal encodings")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--texts":
        sys.exit(texts(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "."))
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
