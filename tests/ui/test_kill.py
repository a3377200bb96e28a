"""The launcher killed in the middle of a job (the whole Wine prefix, as a
power cut or Task Manager would end it) and started again: once its window is
up, the game folder is byte for byte as before the job or as after it, with
nothing left beside it. Download phases are hit by time on a slow server, the
unpack and commit phases by the test build's stop points."""
import hashlib
import io
import os
import shutil
import subprocess
import time
import unittest
import zipfile

from launcher import (BUILD, MIRRORS, PROBE, WWW, Launcher, control, local_appdata, publish, reg_set, reset_state, run,
                      win_path, write)
from test_jobs import P5, P6, blob, read

PACK_FILES = 2000


def snapshot(folder):
    """Every folder and file under `folder` with the SHA-256 of each file."""
    out = {}
    for root, dirs, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        for d in dirs:
            out[os.path.normpath(os.path.join(rel, d))] = None
        for f in files:
            with open(os.path.join(root, f), "rb") as fh:
                out[os.path.normpath(os.path.join(rel, f))] = hashlib.sha256(fh.read()).hexdigest()
    return out


def log_text():
    try:
        with open(os.path.join(local_appdata(), "RealmPorter", "launcher.log"), encoding="gbk", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def unpublish(product):
    """Takes a client off the mirrors: a normal client left there would tell
    the patch buttons of later tests which edition their folder holds."""
    for m in ("m1", "m2", "m3"):
        shutil.rmtree(os.path.join(WWW, m, "wow335", product), ignore_errors=True)
        doc = os.path.join(WWW, m, "wow335", product + ".json")
        if os.path.exists(doc):
            os.remove(doc)


class KilledJobs(unittest.TestCase):
    def setUp(self):
        reset_state()
        write(os.path.join(WWW, "site", "serverlist.txt"), "甲服|w|10.1.1.1:3724|10.1.1.1:3724|描述\n".encode())
        self.work = os.path.join(BUILD, "ui-kill")
        shutil.rmtree(self.work, ignore_errors=True)
        self.game = os.path.join(self.work, "Game")
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(self.game, "Wow.exe")))
        self.launcher = Launcher()
        self.runs = []

    def tearDown(self):
        self.launcher.stop()
        print("\n".join(self.runs))

    def local(self, rel):
        return os.path.join(self.game, *rel.split("/"))

    def make_game(self, files):
        shutil.rmtree(self.game, ignore_errors=True)
        write(self.local("Wow.exe"), read(os.path.join(BUILD, "rp_helper_game.exe")))
        for rel, data in files.items():
            write(self.local(rel), data)

    def journals(self):
        folder = os.path.join(local_appdata(), "RealmPorter")
        return [n for n in os.listdir(folder) if "journal" in n] if os.path.isdir(folder) else []

    def kill_loop(self, points, press, before, after, files):
        """For each (stop point, condition): the game folder as before, the
        job started with button `press`, the prefix killed once the
        condition holds, the launcher started again (set to stop at the next
        point) and the folder compared once its window is up."""
        env = lambda i: {"REALMPORTER_TEST_STOP": points[i][0]} if i < len(points) and points[i][0] else None
        self.make_game(files)
        L = self.launcher.start(env=env(0))
        for i, (stop, reached) in enumerate(points):
            start = time.time()
            press(L) if callable(press) else L.command(press)
            L.wait_for(reached, 120, "kill point %s" % stop)
            run(["wineserver", "-k"])
            L.proc.wait(timeout=30)
            # The prefix's persistent server as the fixture keeps it, and its
            # desktop and services brought up by a program whose output nobody
            # reads: they keep the output pipes of the program that starts
            # them, and a probe whose output is read would never seem to end.
            quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            subprocess.run(["wineserver", "-p"], **quiet)
            subprocess.run(["wine", PROBE, "find", "RealmPorter"], **quiet)
            try:
                L.start(timeout=90, env=env(i + 1))  # recovery runs before the window appears
            except AssertionError:
                self.fail("kill at %s: no window after the restart\n%s" % (stop, L.describe()))
            now = snapshot(self.game)
            state = "before" if now == before else "after" if now == after else None
            self.runs.append("kill at %-14s -> %s, %.1f s" % (stop or "download", state, time.time() - start))
            if state is None:
                extra = sorted(set(now) - set(before) - set(after))
                self.fail("kill at %s: the folder is neither as before nor as after; extra %s\n%s" %
                          (stop, extra[:10], L.describe()))
            self.assertEqual(self.journals(), [], stop)
            self.make_game(files)

    def stopped_at(self, stop):
        return lambda: "TestStopPoint: stopped at %s\n" % stop in log_text()

    def test_addon_install_killed_at_a_dozen_points(self):
        players = {"Interface/AddOns/Old/old.toc": b"old", "Interface/keep.txt": b"mine",
                   "WTF/Config.wtf": b"SET realmlist mine", "WTF/Account/mine.lua": b"mine",
                   "Fonts/FRIZQT__.TTF": b"my font", "Data/zhCN/realmlist.wtf": b"set realmlist x"}
        entries = [("Interface/AddOns/Pack%02d/f%04d.lua" % (i % 30, i), b"-- line %d\n" % i * 8)
                   for i in range(PACK_FILES)]
        entries += [("Fonts/FRIZQT__.TTF", blob(200000, 3)), ("WTF/Config.wtf", b"SET realmlist pack")]
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in entries:
                z.writestr(name, data)
        write(os.path.join(WWW, "m2", "大脚插件.zip"), buf.getvalue())
        after_files = {k: v for k, v in players.items() if not k.startswith("Interface/")}
        after_files.update(entries)
        self.make_game(after_files)
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        cache = os.path.join(local_appdata(), "RealmPorter", "plugin_cache", "dajiao.zip")
        size = len(buf.getvalue())

        def downloaded(fraction):
            return lambda: os.path.exists(cache) and os.path.getsize(cache) >= size * fraction

        # Slow for the two downloads that are killed (a size query and the
        # download each), at full speed for the rest.
        control(MIRRORS[1], "/__fault?path=/*&kind=slow&arg=%d&times=4" % (size // 4))
        points = [(None, downloaded(0.2)), (None, downloaded(0.6))]
        # Three replacements (Interface, the font, Config.wtf): two moves each,
        # then the commit point; the last entry unpacked is Config.wtf.
        stops = ["unpack:0", "unpack:%d" % (PACK_FILES // 2), "unpack:%d" % (PACK_FILES + 1)]
        stops += ["commit:%d" % n for n in range(7)]
        points += [(stop, self.stopped_at(stop)) for stop in stops]
        self.kill_loop(points, 1016, before, after, players)
        self.assertIn("Recovery: rolling back an interrupted commit", log_text())
        self.assertEqual(len(self.runs), 12)

    def test_hd_patch_killed_during_download_and_commit(self):
        new5, new6 = blob(300000, 5), blob(600000, 6)
        src = os.path.join(self.work, "hd-src")
        write(os.path.join(src, *P5.split("/")), new5)
        write(os.path.join(src, *P6.split("/")), new6)
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        players = {P5: new5, P6: b"old six", "WTF/Config.wtf": b"mine"}
        self.make_game(dict(players, **{P6: new6}))
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        part = self.local(P6) + ".part"

        def downloaded(n):
            return lambda: os.path.exists(part) and os.path.getsize(part) >= n

        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd/files/*&kind=slow&arg=200000&times=2")
        points = [(None, downloaded(100000)), (None, downloaded(400000))]
        points += [(stop, self.stopped_at(stop)) for stop in ("commit:0", "commit:1", "commit:2")]
        self.kill_loop(points, 1008, before, after, players)

    def test_client_repair_killed_during_download_and_commit(self):
        new5, new6 = blob(300000, 5), blob(600000, 6)
        self.addCleanup(unpublish, "wow335-normal")
        for product, root, six in (("wow335-normal", "Wow3.3.5a", new6), ("wow335-hd", "[HD]Wow3.3.5a", blob(7, 7))):
            src = os.path.join(self.work, product)
            write(os.path.join(src, "Wow.exe"), read(os.path.join(BUILD, "rp_helper_game.exe")))
            write(os.path.join(src, *P5.split("/")), new5)
            write(os.path.join(src, *P6.split("/")), six)
            publish(product, root, src)
        damaged = bytearray(new6)
        damaged[4096:8192] = bytes(4096)
        players = {P5: new5, P6: bytes(damaged), "WTF/Config.wtf": b"mine"}
        self.make_game(dict(players, **{P6: new6}))
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        part = self.local(P6) + ".part"

        def downloaded(n):
            return lambda: os.path.exists(part) and os.path.getsize(part) >= n

        def check_and_repair(L):
            L.command(1018)
            L.wait_for(lambda: "是否立即修复？" in "".join("|".join(b) for b in L.boxes()), 60, "the check's box")
            L.press("是")

        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-normal/files/*&kind=slow&arg=200000&times=2")
        points = [(None, downloaded(100000)), (None, downloaded(400000))]
        points += [(stop, self.stopped_at(stop)) for stop in ("commit:0", "commit:1", "commit:2")]
        self.kill_loop(points, check_and_repair, before, after, players)


if __name__ == "__main__":
    unittest.main(verbosity=2)
