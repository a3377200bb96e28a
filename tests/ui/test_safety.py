"""The launcher on a player's PC: DLLs planted beside it are never loaded,
and a crash leaves a report that a minidump reader opens and that the next
start names once."""
import glob
import os
import re
import shutil
import struct
import subprocess
import time
import unittest

import launcher
from launcher import BUILD, Launcher, fresh_start, local_appdata, run, write

HERE = os.path.dirname(os.path.abspath(__file__))


def dll_names(exe):
    """Every DLL name the exe carries: its static imports, its delay-loaded
    DLLs and the names it loads itself (narrow or wide strings)."""
    with open(exe, "rb") as f:
        data = f.read()
    names = {m.decode().lower() for m in re.findall(rb"[A-Za-z0-9_]{2,32}\.[dD][lL][lL]", data)}
    for m in re.findall(rb"(?<![A-Za-z0-9_]\x00)(?:[A-Za-z0-9_]\x00){2,32}\.\x00[dD]\x00[lL]\x00[lL]\x00", data):
        # A narrow string's last letter and its terminator read like a wide
        # letter: the name without it is planted too.
        name = m.decode("utf-16-le").lower()
        names.update((name, name[1:]))
    return names


# Windows 7's known DLLs among the launcher's imports (the loader takes them
# from System32 only), and comctl32, which the manifest takes from the
# side-by-side store.
KNOWN_OR_SXS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
                "shell32.dll", "shlwapi.dll", "user32.dll", "wininet.dll", "comctl32.dll"}


def static_imports(exe):
    out = run(["i686-w64-mingw32-objdump", "-p", exe], check=True).stdout.decode()
    return {line.split()[-1].lower() for line in out.splitlines() if "DLL Name:" in line}


def dependent_load_flags(exe):
    """The DependentLoadFlags of the image's load configuration, or None."""
    with open(exe, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    rva, size = struct.unpack_from("<II", data, opt + 96 + 8 * 10)
    if not rva or size < 56:
        return None
    table = opt + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(struct.unpack_from("<H", data, pe + 6)[0]):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            return struct.unpack_from("<H", data, rawptr + rva - vaddr + 54)[0]
    return None


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        self.folder = fresh_start("ui-planted")
        os.makedirs(self.folder)
        self.launcher = Launcher()
        self.cwd = os.getcwd()

    def tearDown(self):
        self.launcher.stop()
        os.chdir(self.cwd)
        launcher.EXE = os.environ.get("RP_EXE", os.path.join(BUILD, "RealmPorter.exe"))

    def test_the_exe_imports_only_known_dlls_and_asks_for_system32(self):
        self.assertEqual(static_imports(launcher.EXE) - KNOWN_OR_SXS, set())
        self.assertEqual(dependent_load_flags(launcher.EXE), 0x800)  # LOAD_LIBRARY_SEARCH_SYSTEM32

    def test_no_planted_dll_runs(self):
        exe = os.path.join(self.folder, "RealmPorter.exe")
        shutil.copy(launcher.EXE, exe)
        names = dll_names(exe)
        for expected in ("bcrypt.dll", "uxtheme.dll", "gdiplus.dll", "shcore.dll", "dbghelp.dll", "user32.dll"):
            self.assertIn(expected, names)
        planted = os.path.join(self.folder, "planted.dll")
        run(["i686-w64-mingw32-gcc", "-shared", "-nostdlib", "-e", "_DllMain@12", "-o", planted,
             os.path.join(HERE, "planted_dll.c"), "-lkernel32"], check=True)
        for name in names:
            shutil.copy(planted, os.path.join(self.folder, name))
        os.remove(planted)
        # Beside the exe and in the current folder alike.
        os.chdir(self.folder)
        launcher.EXE = exe
        self.launcher.start()
        main, _ = self.launcher.dump()
        self.assertTrue(main)
        self.launcher.stop()
        ran = sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.folder, "*.ran")))
        # Wine's own shlwapi imports shcore, and Wine resolves the imports of
        # its built-in DLLs through the exe's folder too, while the process
        # loads its static imports, before any code of the launcher runs.
        # Windows resolves shlwapi's imports among its known DLLs.
        self.assertEqual([r for r in ran if r != "shcore.dll.ran"], [], "planted DLLs that ran, of %s" % sorted(names))


def minidump_streams(path):
    """The stream types of a minidump and the exception code, read as a
    minidump reader does: header, stream directory, exception stream."""
    with open(path, "rb") as f:
        data = f.read()
    signature, version, count, rva = struct.unpack_from("<4sIII", data, 0)
    if signature != b"MDMP" or version & 0xFFFF != 0xA793:
        raise ValueError("not a minidump")
    streams, code = {}, None
    for i in range(count):
        kind, size, at = struct.unpack_from("<III", data, rva + 12 * i)
        if at + size > len(data):
            raise ValueError("stream %d runs past the end" % kind)
        streams[kind] = (at, size)
    if 6 in streams:  # ExceptionStream: thread id, alignment, then the record
        code = struct.unpack_from("<I", data, streams[6][0] + 8)[0]
    modules = []
    if 4 in streams:  # ModuleListStream: count, then 108-byte records
        at = streams[4][0]
        for i in range(struct.unpack_from("<I", data, at)[0]):
            name_rva = struct.unpack_from("<I", data, at + 4 + 108 * i + 20)[0]
            length = struct.unpack_from("<I", data, name_rva)[0]
            modules.append(data[name_rva + 4:name_rva + 4 + length].decode("utf-16-le"))
    return streams, code, modules


class CrashReports(unittest.TestCase):
    def setUp(self):
        fresh_start()
        self.crash = os.path.join(local_appdata(), "RealmPorter", "crash")
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()

    def crash_on_purpose(self, where):
        self.launcher.start(env={"REALMPORTER_TEST_CRASH": where})
        try:
            self.launcher.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("the launcher did not end after its crash\n" + self.launcher.describe())
        self.launcher.proc = None

    def test_a_crash_on_any_thread_leaves_a_report_the_next_start_names_once(self):
        # Six older reports of an older launcher, dated while the clock ran
        # ahead: after the crash the newest five remain, the one just
        # written among them.
        os.makedirs(self.crash, exist_ok=True)
        for day in range(1, 7):
            for ext in (".dmp", ".log"):
                write(os.path.join(self.crash, "crash-209901%02d-000000%s" % (day, ext)), b"old")
        log_path = os.path.join(local_appdata(), "RealmPorter", "launcher.log")
        for where in ("thread", "main"):
            before = "[2000-01-01 00:00:00] a line before the crash on the %s thread\n" % where
            write(log_path, before.encode(), "ab")
            self.crash_on_purpose(where)
            dumps = sorted(glob.glob(os.path.join(self.crash, "crash-*.dmp")))
            self.assertEqual(len(dumps), 5)
            self.assertEqual(len(glob.glob(os.path.join(self.crash, "crash-*.log"))), 5)
            numbered = [d for d in dumps if re.search(r"crash-n\d+-", d)]
            newest = max(numbered, key=lambda d: int(re.search(r"crash-n(\d+)-", d).group(1)))
            self.assertRegex(os.path.basename(newest), r"^crash-n\d+-20\d{6}-\d{6}\.dmp$")
            self.assertNotIn("20990101", "".join(dumps))
            streams, code, modules = minidump_streams(newest)
            self.assertEqual(code, 0xC0000005)
            self.assertIn(3, streams)  # the threads
            self.assertTrue(any(m.lower().endswith("realmporter.exe") for m in modules), modules)
            with open(newest[:-4] + ".log", encoding="gbk", errors="replace") as f:
                tail = f.read()
            with open(log_path, encoding="gbk", errors="replace") as f:
                log = f.read()
            self.assertIn("report written to", log)
            self.assertIn(os.path.basename(newest), log)
            # The log's lines up to the crash are in the report.
            self.assertIn(before, tail)

            self.launcher.start()
            self.launcher.wait_box()
            _, boxes = launcher.probe("boxes")
            self.assertEqual(boxes.count("错误报告|"), 1, boxes)
            self.assertIn(os.path.basename(newest), boxes)
            self.launcher.press("确定")
            self.launcher.stop()
        # Named once: the start after that shows no box.
        self.launcher.start()
        time.sleep(2)
        self.assertEqual(self.launcher.boxes(), [])


if __name__ == "__main__":
    unittest.main()
