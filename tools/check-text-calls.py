#!/usr/bin/env python3
"""Fails when the program hands a text to Windows through an ANSI ("...A")
function or structure.

The launcher's texts are GBK, but Windows reads a narrow text in the system's
code page, which is 936 only where Windows is set to Simplified Chinese: on
any other system the player would see boxes and Latin letters. Every text
therefore goes wide, made from code page 936 by WideFromGbk (net/text.h), and
every window is a wide window, so that its messages carry wide text too."""
import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
literal_check = __import__("check-literals")

NARROW = [
    "AppendMenuA", "CallWindowProcA", "CreateWindowA", "CreateWindowExA", "DefWindowProcA", "DispatchMessageA",
    "DrawTextA", "DrawTextExA", "ExtTextOutA", "FindWindowA", "FindWindowExA", "GetDlgItemTextA", "GetMessageA",
    "GetWindowTextA", "InsertMenuA", "InsertMenuItemA", "MENUITEMINFOA", "MessageBoxA", "MessageBoxExA",
    "MessageBoxIndirectA", "ModifyMenuA", "NOTIFYICONDATAA", "PeekMessageA", "RegisterClassA", "RegisterClassExA",
    "SendDlgItemMessageA", "SendMessageA", "SetDlgItemTextA", "SetWindowTextA", "SetWindowLongA",
    "SetWindowLongPtrA", "Shell_NotifyIconA", "ShellExecuteA", "ShellExecuteExA", "TextOutA", "WNDCLASSA",
    "WNDCLASSEXA",
]
USE = re.compile(r"\b(%s)\b" % "|".join(NARROW))


def main(root):
    bad = []
    for d in literal_check.PROGRAM_DIRS:
        for base, _, files in sorted(os.walk(os.path.join(root, d))):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8") as f:
                    src = literal_check.strip_comments(f.read())
                for lineno, line in enumerate(src.splitlines(), 1):
                    for m in USE.finditer(line):
                        bad.append(f"{os.path.relpath(path, root)}:{lineno}: {m.group(1)}")
    for b in bad:
        print("narrow text call (use the wide one, with WideFromGbk or UiText):", b)
    print("narrow text calls: %d problem(s)" % len(bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
