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
    bad = [f"{path}:{lineno}: {m.group(1)}"
           for path, lineno, line in literal_check.source_lines(root, literal_check.PROGRAM_DIRS)
           for m in USE.finditer(line)]
    return literal_check.report(bad, "narrow text call (use the wide one, with WideFromGbk or UiText):",
                                "narrow text calls")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
