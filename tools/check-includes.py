#!/usr/bin/env python3
"""Fails when an #include goes against the way the program's rooms depend on
one another, or when ARCHITECTURE.md names a path that does not exist.

  start/   the wiring: nothing else includes it
  ui/      the window: only ui/ and start/ include it
  net/     the transport: nothing of manifest/, config/, download/, install/
  manifest/  the manifests: nothing of config/ (callers pass what the settings hold)
  hash/    SHA-256: nothing of the rooms above it
  ui/main_window.h   only the window itself and start/

Tests under tests/ may include what they test."""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE_DIRS = ["start", "app", "hash", "config", "game", "net", "manifest", "download", "install", "ui", "res",
               "tools", "bench"]
ABOVE_HASH = ["start/", "ui/", "install/", "download/", "manifest/", "net/", "config/", "game/"]


def rule_broken(source, target):
    room = source.split("/", 1)[0]
    if target.startswith("start/") and room != "start":
        return "only start/ includes start/"
    if target.startswith("ui/") and room not in ("ui", "start"):
        return "only ui/ and start/ include ui/"
    # The command files stand on ui/window_services.h: a command that reached
    # back into the window would close a circle.
    if target == "ui/main_window.h" and room != "start" and source != "ui/main_window.cpp":
        return "only the window itself and start/ include ui/main_window.h"
    if room == "net" and target.split("/", 1)[0] in ("manifest", "config", "download", "install"):
        return "net/ includes nothing of manifest/, config/, download/, install/"
    if room == "manifest" and target.startswith("config/"):
        return "manifest/ includes nothing of config/"
    if room == "hash" and any(target.startswith(d) for d in ABOVE_HASH):
        return "hash/ includes nothing of the rooms above it"
    return None


def include_faults(root):
    bad = []
    for d in SOURCE_DIRS:
        for dirpath, _, names in os.walk(os.path.join(root, d)):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for m in INCLUDE.finditer(text):
                    why = rule_broken(rel, m.group(1))
                    if why:
                        lineno = text.count("\n", 0, m.start()) + 1
                        bad.append(f"{rel}:{lineno}: includes {m.group(1)} ({why})")
    return bad


# Paths in backticks that look like the repository's own: a folder with a
# slash, or a file with an extension under a known top folder.
PATH = re.compile(r"`([A-Za-z0-9_.\-]+(?:/[A-Za-z0-9_.\-*{},]*)+|[A-Za-z0-9_\-]+\.(?:md|py|sh|cmake|txt))`")


def map_faults(root):
    path = os.path.join(root, "ARCHITECTURE.md")
    if not os.path.exists(path):
        return ["ARCHITECTURE.md is missing"]
    bad = []
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for m in PATH.finditer(text):
        named = m.group(1).rstrip("/")
        # `ui/window_services.{h,cpp}` names two files.
        brace = re.match(r"(.*)\{([^}]*)\}(.*)$", named)
        names = [brace.group(1) + alt + brace.group(3) for alt in brace.group(2).split(",")] if brace else [named]
        for n in names:
            if not os.path.exists(os.path.join(root, n)):
                lineno = text.count("\n", 0, m.start()) + 1
                bad.append(f"ARCHITECTURE.md:{lineno}: names {n}, which does not exist")
    return bad


def main(root):
    bad = include_faults(root) + map_faults(root)
    for line in bad:
        print(line)
    if bad:
        print(f"{len(bad)} fault(s) in the includes' plan or the map")
        return 1
    print("the includes keep the plan; every path the map names exists")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
