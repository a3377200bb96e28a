"""The launcher killed in the middle of a job (its process ended at once, as
Task Manager ends it) and started again: once its window is up, the game
folder is byte for byte as before the job or as after it, with nothing left
beside it. Download phases are hit by time on a slow server, the unpack and
commit phases by the test build's stop points."""
import hashlib
import io
import os
import re
import shutil
import subprocess
import time
import unittest
import zipfile

from launcher import (BUILD, MIRRORS, WWW, Launcher, control, fresh_start, local_appdata, probe, publish, reg_set, run,
                      win_path, write)
from test_jobs import P5, P6, blob, read
from test_update import NEW_EXE, OLD_EXE, file_version, log_text, publish_feed, unpublish_feed

# The unpack and commit stop points count entries, not seconds: a pack of a
# few hundred files reaches each of them as one of thousands would.
PACK_FILES = 400


KEPT = "RealmPorter-backup/Interface-20000101-000000-000"


def snapshot(folder):
    """Every folder and file under `folder` with the SHA-256 of each file; the
    date in the name of a kept Interface is left out."""
    out = {}
    dated = lambda p: re.sub(r"Interface-(n\d+-\d{8}-\d{6}|\d{8}-\d{6}-\d{3})", "Interface-dated", os.path.normpath(p))
    for root, dirs, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        for d in dirs:
            out[dated(os.path.join(rel, d))] = None
        for f in files:
            with open(os.path.join(root, f), "rb") as fh:
                out[dated(os.path.join(rel, f))] = hashlib.sha256(fh.read()).hexdigest()
    return out


def unpublish(product):
    """Takes a client off the mirrors: a normal client left there would tell
    the patch buttons of later tests which edition their folder holds."""
    for m in ("m1", "m2", "m3"):
        shutil.rmtree(os.path.join(WWW, m, "wow335", product), ignore_errors=True)
        doc = os.path.join(WWW, m, "wow335", product + ".json")
        if os.path.exists(doc):
            os.remove(doc)


def grown_to(path, n):
    """A stop point: the file being downloaded holds at least n bytes."""
    return lambda: os.path.exists(path) and os.path.getsize(path) >= n


class KilledJobs(unittest.TestCase):
    def setUp(self):
        self.work = fresh_start("ui-kill")
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

    def kill(self, L):
        # The launcher's process ended at once, no thread of it running
        # another instruction, as End Process in Task Manager does; Wine's
        # server, desktop and services stay up as a player's system does, and
        # the next start waits until the server has taken the window away.
        L.proc.kill()
        L.proc.wait(timeout=30)
        L.wait_for(lambda: probe("find", "RealmPorter")[0] != 0, 30, "the killed launcher's window to go")

    def clear_log(self):
        try:
            os.remove(os.path.join(local_appdata(), "RealmPorter", "launcher.log"))
        except OSError:
            pass

    def kill_loop(self, points, press, before, after, files):
        """For each (stop point, condition): the game folder as before, the
        job started with button `press`, the launcher killed once the
        condition holds, the launcher started again (set to stop at the next
        point) and the folder compared once its window is up."""
        env = lambda i: {"REALMPORTER_TEST_STOP": points[i][0]} if i < len(points) and points[i][0] else None
        self.make_game(files)
        L = self.launcher.start(env=env(0))
        for i, (stop, reached) in enumerate(points):
            start = time.time()
            press(L) if callable(press) else L.command(press)
            L.wait_for(reached, 120, "kill point %s" % stop)
            self.kill(L)
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

    def killed_in_recovery(self, commit_stop, press, before, files, moves):
        """The job killed at `commit_stop`, then recovery itself killed after
        each change it makes: every start stops after its first move or
        removal, and the next goes on from what the disk shows. Once a start
        has nothing left to do its window appears, with the folder as before
        and no journal."""
        self.make_game(files)
        self.clear_log()
        L = self.launcher.start(env={"REALMPORTER_TEST_STOP": commit_stop})
        L.command(press)
        L.wait_for(self.stopped_at(commit_stop), 120, "kill point %s" % commit_stop)
        self.kill(L)
        kills = 0
        for _ in range(moves + 3):
            self.clear_log()
            L.start(wait_main=False, env={"REALMPORTER_TEST_STOP": "recover:0"})
            up = L.wait_for(lambda: "stopped" if self.stopped_at("recover:0")() else L._dump_once()[0], 90,
                            "recovery to stop or the window")
            if up != "stopped":
                break
            kills += 1
            self.kill(L)
        self.runs.append("recovery after %s killed %d times" % (commit_stop, kills))
        now = snapshot(self.game)
        self.assertEqual(sorted(set(now) ^ set(before)), [], L.describe())
        self.assertEqual(now, before)
        self.assertEqual(self.journals(), [])
        self.assertEqual(kills, moves)

    def addon_case(self):
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
        # The player's Interface is kept, dated, beside the game's folders.
        after_files = {k: v for k, v in players.items() if not k.startswith("Interface/")}
        after_files.update({KEPT + k[len("Interface"):]: v for k, v in players.items() if k.startswith("Interface/")})
        after_files.update(entries)
        self.make_game(after_files)
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        return players, after, before, len(buf.getvalue())

    def test_addon_install_killed_at_a_dozen_points(self):
        players, after, before, size = self.addon_case()
        cache = os.path.join(local_appdata(), "RealmPorter", "plugin_cache", "dajiao.zip")
        # Slow for the two downloads that are killed (a size query and the
        # download each), at full speed for the rest.
        control(MIRRORS[1], "/__fault?path=/*&kind=slow&arg=%d&times=4" % (size // 4))
        points = [(None, grown_to(cache, size * 0.2)), (None, grown_to(cache, size * 0.6))]
        # Three replacements (Interface, the font, Config.wtf): two moves each,
        # then the commit point and after it; the last entry unpacked is
        # Config.wtf.
        stops = ["unpack:0", "unpack:%d" % (PACK_FILES // 2), "unpack:%d" % (PACK_FILES + 1)]
        stops += ["commit:%d" % n for n in range(8)]
        points += [(stop, self.stopped_at(stop)) for stop in stops]
        self.kill_loop(points, 1016, before, after, players)
        self.assertIn("Recovery: rolling back an interrupted commit", log_text())
        self.assertEqual(len(self.runs), 13)

    def test_addon_recovery_killed_after_each_of_its_moves(self):
        players, _, before, _ = self.addon_case()
        # Every move made, the commit not done: six moves back, then the
        # staging and the aside folder removed.
        self.killed_in_recovery("commit:6", 1016, before, players, 8)

    def test_a_game_folder_moved_after_a_kill_mid_commit(self):
        players, after, before, _ = self.addon_case()
        self.make_game(players)
        L = self.launcher.start(env={"REALMPORTER_TEST_STOP": "commit:3"})
        L.command(1016)
        L.wait_for(self.stopped_at("commit:3"), 120, "kill point commit:3")
        self.kill(L)
        moved = os.path.join(self.work, "Moved")
        shutil.move(self.game, moved)
        half = snapshot(moved)
        # The launcher still set to the old place: nothing there to recover,
        # and nothing of the moved folder touched or forgotten.
        L.start(timeout=90)
        self.assertEqual(snapshot(moved), half)
        self.assertEqual(self.journals(), ["addon.journal.lost-1"])
        self.launcher.stop()
        self.game = moved
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(moved, "Wow.exe")))
        L.start(timeout=90)
        L.command(1016)  # recovers the moved folder first, then installs
        L.wait_for(lambda: L.dump()[1][1016]["text"] == "安装大脚插件" and L.dump()[1][1003]["enabled"], 120,
                   "the install to finish")
        self.assertEqual(L.boxes(), [])
        self.assertIn("Recovery: the game folder was moved", log_text())
        self.assertEqual(snapshot(moved), after)
        self.assertEqual(self.journals(), [])

    def test_hd_patch_killed_during_download_and_commit(self):
        new5, new6 = blob(300000, 5), blob(600000, 6)
        src = os.path.join(self.work, "hd-src")
        write(os.path.join(src, *P5.split("/")), new5)
        write(os.path.join(src, *P6.split("/")), new6)
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        # The player's own .bak and .part beside the archive stay at every stop.
        players = {P5: new5, P6: b"old six", P6 + ".bak": b"switched off", P6 + ".part": b"mine", "WTF/Config.wtf": b"mine"}
        self.make_game(dict(players, **{P6: new6}))
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        part = self.local(P6) + ".RealmPorter-new"

        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd/files/*&kind=slow&arg=200000&times=2")
        points = [(None, grown_to(part, 100000)), (None, grown_to(part, 400000))]
        points += [(stop, self.stopped_at(stop)) for stop in ("commit:0", "commit:1", "commit:2", "commit:3")]
        self.kill_loop(points, 1008, before, after, players)

    def test_hd_patch_recovery_killed_after_each_of_its_moves(self):
        new6 = blob(600000, 6)
        src = os.path.join(self.work, "hd-src")
        write(os.path.join(src, *P5.split("/")), b"five")
        write(os.path.join(src, *P6.split("/")), new6)
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        players = {P5: b"five", P6: b"old six", P6 + ".bak": b"switched off", "WTF/Config.wtf": b"mine"}
        self.make_game(players)
        before = snapshot(self.game)
        # Both moves made, the commit not done: the new archive taken back,
        # the old one put back, the new file removed; the player's .bak stays.
        self.killed_in_recovery("commit:2", 1008, before, players, 3)

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
        players = {P5: new5, P6: bytes(damaged), P6 + ".bak": b"switched off", "WTF/Config.wtf": b"mine"}
        self.make_game(dict(players, **{P6: new6}))
        after = snapshot(self.game)
        self.make_game(players)
        before = snapshot(self.game)
        part = self.local(P6) + ".RealmPorter-new"

        def check_and_repair(L):
            L.command(1018)
            L.wait_for(lambda: "是否立即修复？" in "".join("|".join(b) for b in L.boxes()), 60, "the check's box")
            L.press("是")

        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-normal/files/*&kind=slow&arg=200000&times=2")
        points = [(None, grown_to(part, 100000)), (None, grown_to(part, 400000))]
        points += [(stop, self.stopped_at(stop)) for stop in ("commit:0", "commit:1", "commit:2", "commit:3")]
        self.kill_loop(points, check_and_repair, before, after, players)

    def test_launcher_swap_killed_at_each_step(self):
        """The keyed launcher's self-update killed after its download, after
        each rename of the swap, before its restart and in the next start's
        deletion of the .old: a launcher still starts (from the .old when
        that is all there is), and once it is up the folder holds one
        RealmPorter.exe, the old or the new."""
        import launcher
        folder = os.path.join(self.work, "launcher")
        exe = os.path.join(folder, "RealmPorter.exe")
        old, new = read(OLD_EXE), read(NEW_EXE)
        old_version = file_version(OLD_EXE)
        self.addCleanup(setattr, launcher, "EXE", launcher.EXE)
        self.addCleanup(unpublish_feed)
        for stop in ("swap:0", "swap:1", "swap:2", "swap:3", "tidy:0", "proved:0", "rollback:1"):
            shutil.rmtree(folder, ignore_errors=True)
            self.clear_log()
            after_swap = stop in ("tidy:0", "proved:0", "rollback:1")
            if after_swap:  # a swap done, its .old still there
                write(exe, new)
                write(exe + ".old", old)
                # proved:0 is reached by reading a feed; rollback:1 by a
                # release that has failed its trial twice already.
                publish_feed(OLD_EXE, old_version)
                if stop == "rollback:1":
                    reg_set("HKCU\\Software\\RealmPorter", "LauncherTrial", "REG_SZ", "9.9.9 2")
                else:
                    launcher.wine("reg", "delete", "HKCU\\Software\\RealmPorter", "/v", "LauncherTrial", "/f")
            else:
                write(exe, old)
                publish_feed(NEW_EXE, "9.9.9")
            launcher.EXE = exe
            L = self.launcher.start(wait_main=False, env={"REALMPORTER_TEST_STOP": stop})
            if not after_swap:
                L.wait_box(60)  # the offer comes right after the window
                L.press("是")
            L.wait_for(self.stopped_at(stop), 120, "kill point %s" % stop)
            self.kill(L)
            # A feed the launcher reads but does not act on: the new exe
            # proves itself by reading it, and its .old goes.
            publish_feed(OLD_EXE, old_version)
            left = sorted(os.listdir(folder))
            launcher.EXE = exe if os.path.exists(exe) else exe + ".old"
            self.clear_log()
            L.start(timeout=90)
            L.wait_for(lambda: "LauncherUpdate: feed offers " + old_version in log_text(), 60, "the feed check")
            L.wait_for(lambda: sorted(os.listdir(folder)) == ["RealmPorter.exe"], 30, "the folder tidied")
            state = "old" if read(exe) == old else "new" if read(exe) == new else None
            self.runs.append("kill at %-7s left %s, started %s -> %s" %
                             (stop, left, os.path.basename(launcher.EXE), state))
            self.assertIsNotNone(state, stop)
            self.launcher.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
