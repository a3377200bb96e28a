#!/usr/bin/env python3
"""Builds the UI font resource.

  subset-font.py chars OUT SOURCE...     collect the characters to keep
  subset-font.py subset TTC CHARS OUT    cut Noto Sans CJK SC Bold down to them

The face is taken from Debian's Noto Sans CJK collection, kept to what the
program can show (ASCII, CJK punctuation, full-width forms, all of GB2312
and every character of the program's own texts) and renamed to the family
"Noto Sans SC", style Bold, which is the face name the program asks for."""
import sys

FAMILY = "Noto Sans SC"
STYLE = "Bold"
SOURCE_FAMILY = "Noto Sans CJK SC"


def gb2312_chars():
    out = set()
    for hi in range(0xA1, 0xF8):
        for lo in range(0xA1, 0xFF):
            try:
                out.add(bytes((hi, lo)).decode("gb2312"))
            except UnicodeDecodeError:
                pass
    return out


def collect(out_path, sources):
    chars = set(chr(c) for c in range(0x20, 0x7F))
    chars |= set(chr(c) for c in range(0x3000, 0x3040))  # CJK symbols and punctuation
    chars |= set(chr(c) for c in range(0xFF01, 0xFF5F))  # full-width forms
    chars |= set("\u2026\u2014\u2018\u2019\u201c\u201d\u00b7\u00d7")
    chars |= gb2312_chars()
    for path in sources:
        with open(path, encoding="utf-8") as f:
            chars |= {c for c in f.read() if ord(c) >= 0x80}
    text = "".join(sorted(chars))
    try:
        with open(out_path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(out_path, "w", encoding="utf-8") as f:
        f.write(text)


def subset(ttc_path, chars_path, out_path):
    from fontTools.subset import Options, Subsetter
    from fontTools.ttLib import TTCollection

    collection = TTCollection(ttc_path)
    font = None
    for face in collection.fonts:
        if face["name"].getDebugName(1) == SOURCE_FAMILY and face["name"].getDebugName(2) == STYLE:
            font = face
            break
    if font is None:
        sys.exit(f"subset-font: no '{SOURCE_FAMILY} {STYLE}' face in {ttc_path}")

    with open(chars_path, encoding="utf-8") as f:
        text = f.read()
    options = Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    options.name_languages = ["*"]
    options.notdef_outline = True
    options.hinting = True
    sub = Subsetter(options)
    sub.populate(text=text)
    sub.subset(font)

    name = font["name"]
    for nid in (1, 2, 3, 4, 6, 16, 17):
        name.removeNames(nameID=nid)
    for nid, value in ((1, FAMILY), (2, STYLE), (3, f"{FAMILY} {STYLE}; RealmPorter subset"),
                       (4, f"{FAMILY} {STYLE}"), (6, "NotoSansSC-Bold")):
        name.setName(value, nid, 3, 1, 0x409)
        name.setName(value, nid, 1, 0, 0)
    font["OS/2"].usWeightClass = 700
    font["OS/2"].fsSelection = (font["OS/2"].fsSelection & ~0x41) | 0x20  # Bold, not Regular
    font["head"].macStyle |= 1
    # CFF keeps its own copy of the names; keep them consistent.
    if "CFF " in font:
        cff = font["CFF "].cff
        cff.fontNames = ["NotoSansSC-Bold"]
        top = cff.topDictIndex[0]
        top.FamilyName = FAMILY
        top.FullName = f"{FAMILY} {STYLE}"
    font.save(out_path)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "chars":
        collect(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 5 and sys.argv[1] == "subset":
        subset(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
