"""The keyed launcher keeping itself current: offered a signed feed for a
newer build, it asks once, downloads, swaps its exe and restarts as the new
version; offered anything else, it changes nothing, writes one log line and
asks nothing."""
import json
import os
import shutil
import struct
import unittest

import launcher
from launcher import BUILD, SITE, TOOL, WWW, Launcher, local_appdata, reset_state, run, write

KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "keys")
FEED_DIR = os.path.join(WWW, "site", "launcher")
FEED = os.path.join(FEED_DIR, "latest.json")
OLD_EXE = os.path.join(BUILD, "RealmPorter-keyed.exe")  # 1.0.0
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


def update_lines():
    return [line.split("] ", 1)[-1] for line in log_text().splitlines() if "LauncherUpdate:" in line]


def file_version(path):
    """The file version of an exe's version resource, as "x.y.z"."""
    data = read(path)
    at = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), at)
    ms, ls = struct.unpack_from("<II", data, fixed + 8)
    return "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)


def publish_feed(exe, version, key="test.key", edit=None, after_signing=None):
    """The exe and its signed feed under the site's launcher/ folder; `edit`
    changes the feed's values before it is signed, `after_signing` after."""
    shutil.rmtree(FEED_DIR, ignore_errors=True)
    os.makedirs(FEED_DIR)
    shutil.copy(exe, os.path.join(FEED_DIR, "RealmPorter.exe"))
    run([TOOL, "launcher-feed", "--version", version, "--url", SITE + "/launcher/RealmPorter.exe", "--notes", NOTES,
         "--out", FEED, exe], check=True)
    for change in (edit, "sign", after_signing):
        if change == "sign":
            run([TOOL, "sign", "--key", os.path.join(KEYS, key), FEED], check=True)
        elif change:
            with open(FEED, encoding="utf-8") as f:
                doc = json.load(f)
            change(doc)
            write(FEED, json.dumps(doc, ensure_ascii=False).encode())


def unpublish_feed():
    shutil.rmtree(FEED_DIR, ignore_errors=True)


class UpdateCase(unittest.TestCase):
    """A folder holding the keyed 1.0.0 launcher as RealmPorter.exe, which
    the tests start."""

    def setUp(self):
        reset_state()
        write(os.path.join(WWW, "site", "serverlist.txt"), "甲服|w|10.1.1.1:3724|10.1.1.1:3724|描述\n".encode())
        self.folder = os.path.join(BUILD, "ui-update")
        shutil.rmtree(self.folder, ignore_errors=True)
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


class SelfUpdate(UpdateCase):
    def test_a_signed_newer_launcher_replaces_this_one_and_restarts(self):
        publish_feed(NEW_EXE, "9.9.9")
        L = self.launcher.start()
        L.wait_box()
        self.assertIn("9.9.9", self.box_text())
        self.assertIn(NOTES, self.box_text())
        L.press("是")
        self.logged("RealmPorter 9.9.9 started")
        L.wait_for(lambda: L._dump_once()[0], 60, "the new launcher's window")
        self.assertEqual(file_version(self.exe), "9.9.9")
        self.assertEqual(read(self.exe), read(NEW_EXE))
        self.assertIn("LauncherUpdate: 9.9.9 in place of 1.0.0", log_text())
        L.stop()
        clear_log()
        L.start()
        self.logged("LauncherUpdate: feed offers 9.9.9, running 9.9.9: nothing to do")
        self.assertEqual(sorted(os.listdir(self.folder)), ["RealmPorter.exe"])
        self.assertEqual(L.boxes(), [])

    def test_anything_wrong_changes_nothing_and_asks_nothing(self):
        def sha(doc):
            doc["sha256"] = "0" * 64

        def lower(doc):
            doc["version"] = "0.9.0"

        def tamper(doc):
            doc["notes"] = "别的"

        before = read(self.exe)
        cases = [
            ("no feed", None, [], "LauncherUpdate: no feed at " + SITE + "/launcher/latest.json"),
            ("bad signature", (NEW_EXE, "9.9.9", "test.key", None, tamper), [], "feed signature invalid"),
            ("another key", (NEW_EXE, "9.9.9", "other.key", None, None), [], "feed signature invalid"),
            ("equal version", (OLD_EXE, "1.0.0", "test.key", None, None), [], "feed offers 1.0.0, running 1.0.0"),
            ("lower version", (OLD_EXE, "1.0.0", "test.key", lower, None), [], "feed offers 0.9.0, running 1.0.0"),
            ("hash mismatch", (NEW_EXE, "9.9.9", "test.key", sha, None), ["offering 9.9.9"],
             "size or SHA-256 differs from the feed"),
            # The tests run as root, for whom no folder is read-only: a
            # folder in the way of the download's file stands in.
            ("download not writable", (NEW_EXE, "9.9.9", "test.key", None, None), ["offering 9.9.9"],
             "folder not writable"),
        ]
        for name, feed, offered, line in cases:
            with self.subTest(name):
                unpublish_feed()
                if feed:
                    publish_feed(*feed)
                clear_log()
                blocked = self.exe + ".new"
                if name == "download not writable":
                    os.makedirs(blocked)
                L = self.launcher.start()
                if offered:
                    L.wait_box()
                    L.press("是")
                self.logged(line)
                lines = update_lines()
                self.assertEqual(len(lines), len(offered) + 1, lines)
                for want, got in zip(offered + [line], lines):
                    self.assertIn(want, got)
                self.assertEqual(L.boxes(), [])
                self.assertEqual(sorted(os.listdir(self.folder)),
                                 ["RealmPorter.exe"] + (["RealmPorter.exe.new"] if os.path.isdir(blocked) else []))
                self.assertEqual(read(self.exe), before)
                L.stop()
                shutil.rmtree(blocked, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
