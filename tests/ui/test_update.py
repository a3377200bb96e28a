"""The keyed launcher keeping itself current: offered a signed feed for a
newer build, it asks once, downloads, swaps its exe and restarts as the new
version. (What it refuses is checked without the window, in
tests/win/keyed/self_update_test.cpp.)"""
import os
import shutil
import struct
import unittest

import launcher
from launcher import BUILD, SITE, TOOL, WWW, Launcher, fresh_start, local_appdata, run, write

KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "keys")
FEED_DIR = os.path.join(WWW, "site", "launcher")
FEED = os.path.join(FEED_DIR, "latest.json")
OLD_EXE = os.path.join(BUILD, "RealmPorter-keyed.exe")  # the build's version
NEW_EXE = os.path.join(BUILD, "RealmPorter-keyed-next.exe")  # 9.9.9
NOTES = "修正了登录问题"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def log_text():
    try:
        with open(os.path.join(local_appdata(), "RealmPorter", "launcher.log"), encoding="gbk", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def clear_log():
    try:
        os.remove(os.path.join(local_appdata(), "RealmPorter", "launcher.log"))
    except OSError:
        pass


def file_version(path):
    """The file version of an exe's version resource, as "x.y.z"."""
    data = read(path)
    at = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), at)
    ms, ls = struct.unpack_from("<II", data, fixed + 8)
    return "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)


def publish_feed(exe, version):
    """The exe and its feed, signed with the test key, under the site's
    launcher/ folder."""
    shutil.rmtree(FEED_DIR, ignore_errors=True)
    os.makedirs(FEED_DIR)
    shutil.copy(exe, os.path.join(FEED_DIR, "RealmPorter.exe"))
    run([TOOL, "launcher-feed", "--version", version, "--url", SITE + "/launcher/RealmPorter.exe", "--notes", NOTES,
         "--out", FEED, exe], check=True)
    run([TOOL, "sign", "--key", os.path.join(KEYS, "test.key"), FEED], check=True)


def unpublish_feed():
    shutil.rmtree(FEED_DIR, ignore_errors=True)


class SelfUpdate(unittest.TestCase):
    """A folder holding the keyed launcher as RealmPorter.exe, which
    the test starts."""

    def setUp(self):
        self.folder = fresh_start("ui-update")
        self.exe = os.path.join(self.folder, "RealmPorter.exe")
        write(self.exe, read(OLD_EXE))
        launcher.EXE = self.exe
        self.launcher = Launcher()
        self.addCleanup(unpublish_feed)

    def tearDown(self):
        self.launcher.stop()
        launcher.EXE = os.environ.get("RP_EXE", os.path.join(BUILD, "RealmPorter.exe"))

    def logged(self, text, timeout=60):
        return self.launcher.wait_for(lambda: text in log_text(), timeout, "the log line " + text)

    def box_text(self):
        return "|".join("|".join(b) for b in self.launcher.boxes())

    def test_a_signed_newer_launcher_replaces_this_one_and_restarts(self):
        publish_feed(NEW_EXE, "9.9.9")
        L = self.launcher.start()
        L.wait_box()
        self.assertIn("9.9.9", self.box_text())
        self.assertIn(NOTES, self.box_text())
        L.screenshot("launcher-update-offer")
        L.press("是")
        self.logged("RealmPorter 9.9.9 started")
        L.wait_for(lambda: L._dump_once()[0], 60, "the new launcher's window")
        self.assertEqual(file_version(self.exe), "9.9.9")
        self.assertEqual(read(self.exe), read(NEW_EXE))
        self.assertIn("LauncherUpdate: 9.9.9 in place of " + file_version(OLD_EXE), log_text())
        L.stop()
        clear_log()
        L.start()
        self.logged("LauncherUpdate: feed offers 9.9.9, running 9.9.9: nothing to do")
        self.assertEqual(sorted(os.listdir(self.folder)), ["RealmPorter.exe"])
        self.assertEqual(L.boxes(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
