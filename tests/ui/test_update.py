"""The keyed launcher keeping itself current: offered a signed feed for a
newer build, it asks once, downloads, swaps its exe and restarts as the new
version. (What it refuses is checked without the window, in
tests/win/keyed/self_update_test.cpp.)"""
import os
import shutil
import struct
import unittest

import glob
import subprocess

import launcher
from launcher import BUILD, SITE, TOOL, WWW, Launcher, fresh_start, local_appdata, reg_query, run, write

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


def publish_feed(exe, version, share=None):
    """The exe and its feed, signed with the test key, under the site's
    launcher/ folder; `share`: the percentage of a staged release."""
    shutil.rmtree(FEED_DIR, ignore_errors=True)
    os.makedirs(FEED_DIR)
    shutil.copy(exe, os.path.join(FEED_DIR, "RealmPorter.exe"))
    run([TOOL, "launcher-feed", "--version", version, "--url", SITE + "/launcher/RealmPorter.exe", "--notes", NOTES,
         "--previous", OLD_EXE, "--out", FEED, exe] + (["--share", str(share)] if share is not None else []), check=True)
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

    def rollout_number(self):
        return reg_query("HKCU\\Software\\RealmPorter", "LauncherRolloutNumber").split()[-1]

    def test_a_signed_newer_launcher_replaces_this_one_and_restarts(self):
        """Twice, from a read-only exe: the .old it leaves is read-only too,
        and must neither stay nor block the next swap."""
        for attempt in (1, 2):
            os.chmod(self.exe, 0o444)
            publish_feed(NEW_EXE, "9.9.9")
            L = self.launcher.start()
            L.wait_box()
            self.assertIn("9.9.9", self.box_text())
            self.assertIn(NOTES, self.box_text())
            if attempt == 1:
                L.screenshot("launcher-update-offer")
            L.press("是")
            self.logged("RealmPorter 9.9.9 started")
            L.wait_for(lambda: L._dump_once()[0], 60, "the new launcher's window")
            self.assertEqual(file_version(self.exe), "9.9.9")
            self.assertEqual(read(self.exe), read(NEW_EXE))
            self.assertIn("LauncherUpdate: 9.9.9 in place of " + file_version(OLD_EXE), log_text())
            self.logged("LauncherUpdate: 9.9.9 has shown its window and read its feed")
            L.wait_for(lambda: sorted(os.listdir(self.folder)) == ["RealmPorter.exe"], 30, "the .old removed")
            L.stop()
            clear_log()
            if attempt == 1:  # the player's next release, as read-only as the first
                os.chmod(self.exe, 0o644)
                write(self.exe, read(OLD_EXE))
        L.start()
        self.logged("LauncherUpdate: feed offers 9.9.9, running 9.9.9: nothing to do")
        self.assertEqual(sorted(os.listdir(self.folder)), ["RealmPorter.exe"])
        self.assertEqual(L.boxes(), [])

    def test_the_old_launcher_stays_until_a_feed_is_read_and_shares_keep_their_number(self):
        write(self.exe + ".old", read(OLD_EXE))
        L = self.launcher.start()
        self.logged("LauncherUpdate: no feed")
        self.assertTrue(os.path.exists(self.exe + ".old"), "a window without a feed proves nothing")
        number = self.rollout_number()
        L.stop()
        publish_feed(NEW_EXE, "9.9.9", share=0)
        L.start()
        self.logged("LauncherUpdate: feed offers 9.9.9 to 0% of players, not yet to this one")
        L.wait_for(lambda: not os.path.exists(self.exe + ".old"), 30, "the .old removed after the feed")
        self.assertEqual(L.boxes(), [])
        L.stop()
        publish_feed(NEW_EXE, "9.9.9", share=100)
        L.start()
        L.wait_box()
        self.assertIn("9.9.9", self.box_text())
        L.press("否")
        self.assertEqual(self.rollout_number(), number)

    def test_a_release_that_dies_before_its_window_twice_gives_way_to_the_old_one(self):
        write(self.exe, read(NEW_EXE))
        write(self.exe + ".old", read(OLD_EXE))
        publish_feed(NEW_EXE, "9.9.9")
        crash = {"REALMPORTER_TEST_CRASH_VERSION": "9.9.9"}
        for start in (1, 2):
            L = self.launcher.start(wait_main=False, env=crash)
            try:
                L.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.fail("the release did not die\n" + L.describe())
            L.proc = None
            self.assertIn("LauncherUpdate: 9.9.9 on trial, start %d of 2" % start, log_text())
            self.assertTrue(os.path.exists(self.exe + ".old"))
        L.start(env=crash)
        self.logged("LauncherUpdate: 9.9.9 did not reach its window and feed in 2 starts")
        L.wait_for(lambda: "两次未能正常打开" in L.dump()[1][1005]["text"], 30, "the status line")
        self.assertEqual(L.dump()[1][1005]["text"], "新版登录器 9.9.9 两次未能正常打开，已换回原来的版本。")
        L.screenshot("launcher-rolled-back")
        L.wait_box()  # the crash report, named once as after any crash
        self.assertIn("错误报告", self.box_text())
        L.press("确定")
        self.logged("LauncherUpdate: feed offers 9.9.9, which failed its trial here")
        self.assertEqual(read(self.exe), read(OLD_EXE))
        L.wait_for(lambda: sorted(os.listdir(self.folder)) == ["RealmPorter.exe"], 30, "the refused exe removed")
        self.assertEqual(L.boxes(), [])
        crashes = glob.glob(os.path.join(local_appdata(), "RealmPorter", "crash", "crash-*.dmp"))
        self.assertEqual(len(crashes), 2, "both crash reports kept")


if __name__ == "__main__":
    unittest.main(verbosity=2)
