"""The three jobs through the real buttons: patch update, addon install and
client download, against the loopback mirrors."""
import io
import os
import re
import shutil
import subprocess
import time
import unittest
import zipfile

from launcher import (BUILD, FOLDER_INSTRUCTION, MIRRORS, WWW, Launcher, control, fresh_start, probe, publish,
                      reg_set, requests, run, unix_path, win_path, write)
from tour import settle_access_times

P5, P6 = "Data/zhCN/patch-zhCN-5.MPQ", "Data/zhCN/patch-zhCN-6.MPQ"


def blob(n, seed):
    import random
    r = random.Random(seed)
    return bytes(r.getrandbits(8) for _ in range(n))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def close_boxes(L):
    for _ in L.boxes():
        L.press("确定") or L.press("OK")


class Jobs(unittest.TestCase):
    def setUp(self):
        self.work = fresh_start("ui-jobs")
        self.game = os.path.join(self.work, "Game")
        os.makedirs(os.path.join(self.game, "Data", "zhCN"))
        # Client downloads go below the work folder: the folder browser
        # preselects the remembered save folder. Left to itself it suggests,
        # under Wine, the root of the file system, which every run shares.
        self.saves = os.path.join(self.work, "saves")
        os.makedirs(self.saves)
        reg_set("HKCU\\Software\\RealmPorter", "ClientPath", "REG_SZ", win_path(self.saves))
        shutil.copy(os.path.join(BUILD, "rp_helper_game.exe"), os.path.join(self.game, "Wow.exe"))
        self.new5, self.new6 = blob(300000, 5), blob(200000, 6)
        src = os.path.join(self.work, "hd-src")
        write(os.path.join(src, *P5.split("/")), self.new5)
        write(os.path.join(src, *P6.split("/")), self.new6)
        write(os.path.join(src, "Wow.exe"), read(os.path.join(BUILD, "rp_helper_game.exe")))
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        for name in ("大脚插件.zip", "魔盒插件.zip"):
            if os.path.exists(os.path.join(WWW, "m2", name)):
                os.remove(os.path.join(WWW, "m2", name))
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()

    def set_game(self):
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(self.game, "Wow.exe")))

    def local(self, rel):
        return os.path.join(self.game, *rel.split("/"))

    def start_slow_hd_patch(self, files, rate):
        """Old archives in the game folder, the HD patch's `files` served at
        `rate` bytes a second by every mirror, and its button pressed."""
        write(self.local(P5), b"old five")
        write(self.local(P6), b"old six")
        self.set_game()
        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd/files/%s&kind=slow&arg=%d" % (files, rate))
        L = self.launcher.start()
        L.command(1008)
        return L

    # Patch update

    def test_patch_refusals_come_before_any_request(self):
        L = self.launcher.start()
        L.command(1008)
        self.assertEqual(L.wait_box()[0][:2], ["提示", "请先选择路径！"])
        close_boxes(L)
        L.stop()
        self.set_game()
        for m in MIRRORS:
            control(m, "/__clearlog")
        running = subprocess.Popen(["wine", os.path.join(self.game, "Wow.exe"), "30000"])
        try:
            L.wait_for(lambda: os.path.exists(os.path.join(self.game, "started.txt")), 20, "the game")
            L.start()
            L.command(1008)
            self.assertEqual(L.wait_box()[0][:2], ["提示", "请先关闭正在运行的游戏再进行下载！"])
            close_boxes(L)
            self.assertEqual(sum(len(requests(m)) for m in MIRRORS), 0)
        finally:
            running.kill()
            run(["wine", os.path.join(BUILD, "rp_probe.exe"), "kill"])

    def test_patch_both_current_removes_stale_archives_only(self):
        write(self.local(P5), self.new5)
        write(self.local(P6), self.new6)
        write(self.local("Data/patch-5.MPQ"), b"stale")
        write(self.local("Cache/WDB/x.wdb"), b"cache")
        self.set_game()
        L = self.launcher.start()
        L.command(1008)
        self.assertEqual(L.wait_box(30)[0][:2], ["提示", "高清补丁已是最新，无需下载。"])
        close_boxes(L)
        self.assertFalse(os.path.exists(self.local("Data/patch-5.MPQ")))
        self.assertTrue(os.path.exists(self.local("Cache/WDB/x.wdb")))
        self.assertTrue(L.dump()[1][1003]["enabled"])

    def test_patch_both_differ_with_one_combined_percentage(self):
        write(self.local("Cache/x"), b"cache")
        L = self.start_slow_hd_patch("Data/zhCN/*", 150000)
        samples = []
        end = time.time() + 60
        while time.time() < end:
            _, c = L.dump()
            six_started = any("patch-zhCN-6" in line for line in requests(MIRRORS[0]))
            samples.append((c[1006]["pos"], six_started, c[1008]["text"]))
            if c[1008]["text"] == "下载高清补丁":
                break
            time.sleep(0.3)
        L.screenshot("jobs-patch-done")
        self.assertEqual(read(self.local(P5)), self.new5)
        self.assertEqual(read(self.local(P6)), self.new6)
        self.assertFalse(os.path.exists(self.local(P5) + ".RealmPorter-old"))
        self.assertFalse(os.path.exists(self.local("Cache")))
        before = [p for p, six, _ in samples if not six and p > 0]
        after = [p for p, six, _ in samples if six]
        self.assertTrue(before and max(before) <= 60, samples)
        self.assertTrue(after and min(after) >= 55, samples)
        _, c = L.dump()
        self.assertTrue(c[1005]["text"].startswith("高清补丁已就绪，请开始游戏! 已更新 2 个补丁文件，共下载 "), c[1005]["text"])
        self.assertTrue(c[1003]["enabled"] and c[1004]["enabled"])

    def test_patch_cancel_during_archive_six_keeps_five_and_restores_six(self):
        L = self.start_slow_hd_patch("Data/zhCN/patch-zhCN-6.MPQ", 20000)
        L.wait_for(lambda: any("patch-zhCN-6" in line for line in requests(MIRRORS[0])), 30, "archive 6")
        time.sleep(1)
        L.command(1008)
        box = L.wait_box()
        self.assertEqual(box[0][0], "取消下载")
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: L.dump()[1][1008]["text"] == "下载高清补丁", 20, "the finish")
        self.assertEqual(L.dump()[1][1005]["text"], "已取消，patch-zhCN-5.MPQ 已更新，其余游戏文件未作改动。")
        self.assertEqual(read(self.local(P5)), self.new5)
        self.assertEqual(read(self.local(P6)), b"old six")
        self.assertEqual(L.boxes(), [])

    def test_patch_only_archive_six_differs(self):
        write(self.local(P5), self.new5)
        write(self.local(P6), b"old six")
        self.set_game()
        for m in MIRRORS:
            control(m, "/__clearlog")
        L = self.launcher.start()
        L.command(1008)
        L.wait_for(lambda: L.dump()[1][1005]["text"].startswith("高清补丁已就绪，请开始游戏! 已更新 1 个"), 120, "the update")
        self.assertEqual(read(self.local(P6)), self.new6)
        self.assertEqual(read(self.local(P5)), self.new5)
        fetched = [line for m in MIRRORS for line in requests(m) if "/files/" in line]
        self.assertTrue(fetched and all("patch-zhCN-6" in line for line in fetched), fetched)
        self.assertEqual(L.dump()[1][1006]["pos"], 100)

    def test_patch_worker_fetch_failing_brings_archive_five_back(self):
        write(self.local(P5), b"old five")
        write(self.local(P6), b"old six")
        self.set_game()
        # The window's own fetch succeeds; the worker's second fetch fails everywhere.
        control(MIRRORS[0], "/__fault?path=/wow335/wow335-hd.json&kind=notfound&skip=1")
        for m in MIRRORS[1:]:
            control(m, "/__fault?path=/wow335/wow335-hd.json&kind=notfound")
        L = self.launcher.start()
        L.command(1008)
        self.assertEqual(L.wait_box(60)[0][:2], ["错误", "下载失败，请检查网络。"])
        close_boxes(L)
        self.assertEqual(read(self.local(P5)), b"old five")
        self.assertFalse(os.path.exists(self.local(P5) + ".RealmPorter-old"))
        self.assertEqual(read(self.local(P6)), b"old six")

    def test_addon_refused_while_a_patch_runs(self):
        L = self.start_slow_hd_patch("*", 30000)
        L.wait_for(lambda: L.dump()[1][1008]["text"] == "取消下载", 30, "the patch to start")
        time.sleep(1)
        L.command(1016)
        self.assertEqual(L.wait_box()[0][:2], ["提示", "补丁正在下载，请稍后再安装插件。"])
        close_boxes(L)
        self.assertEqual(L.dump()[1][1016]["text"], "安装大脚插件")

    # Addon install

    def addon_zip(self, entries):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in entries:
                z.writestr(name, data)
        write(os.path.join(WWW, "m2", "大脚插件.zip"), buf.getvalue())

    def test_addon_replaces_interface_even_when_wtf_exists(self):
        write(self.local("Interface/AddOns/Old/old.toc"), b"old")
        write(self.local("WTF/Config.wtf"), b"keep")
        write(self.local("Cache/x"), b"cache")
        self.addon_zip([("Interface/AddOns/BigFoot/BigFoot.toc", b"## Title: BigFoot"),
                        ("WTF/Account/x.lua", b"settings")])
        self.set_game()
        L = self.launcher.start()
        L.command(1016)
        L.wait_for(lambda: L.dump()[1][1016]["text"] == "安装大脚插件" and L.dump()[1][1003]["enabled"], 120,
                   "the install to finish")
        L.screenshot("jobs-addon-done")
        self.assertEqual(L.boxes(), [])
        kept = os.listdir(self.local("RealmPorter-backup"))
        self.assertEqual(len(kept), 1)
        self.assertEqual(L.dump()[1][1005]["text"], "大脚插件安装完成！原 Interface 已保存为 RealmPorter-backup\\" + kept[0])
        self.assertEqual(read(self.local("RealmPorter-backup/%s/AddOns/Old/old.toc" % kept[0])), b"old")
        self.assertTrue(os.path.exists(self.local("Interface/AddOns/BigFoot/BigFoot.toc")))
        self.assertFalse(os.path.exists(self.local("Interface/AddOns/Old")))
        self.assertEqual(read(self.local("WTF/Config.wtf")), b"keep")
        self.assertFalse(os.path.exists(self.local("Cache")))
        leftovers = [n for n in os.listdir(self.game) if n.startswith("Interface.")]
        self.assertEqual(leftovers, [])

    def test_twenty_addon_installs_in_one_process(self):
        # Workers allocate while the window repaints its pulsing buttons: a
        # painting fault that corrupts the shared heap shows up here as a hang
        # or a vanished launcher within a few installs.
        self.addon_zip([("Interface/AddOns/Pack/f%03d.lua" % i, blob(2000, i)) for i in range(300)])
        self.set_game()
        L = self.launcher.start()
        pack_requests = lambda: len([r for r in requests(MIRRORS[1]) if ".zip" in r])
        for n in range(20):
            L.command(1016)
            # Each install asks for the pack twice (its size, then its bytes).
            L.wait_for(lambda: pack_requests() >= 2 * (n + 1), 20, "install %d to download" % n)
            L.wait_for(lambda: L.dump()[1][1016]["text"] == "安装大脚插件" and L.dump()[1][1003]["enabled"], 60,
                       "install %d to finish" % n)
            self.assertTrue(L.dump()[1][1005]["text"].startswith("大脚插件安装完成！"), n)
        self.assertEqual(L.boxes(), [])
        self.assertEqual(len(os.listdir(self.local("Interface/AddOns/Pack"))), 300)
        self.assertEqual(len(os.listdir(self.local("RealmPorter-backup"))), 3)  # the newest copies only

    def test_addon_failures_leave_interface_as_it_was(self):
        write(self.local("Interface/AddOns/Old/old.toc"), b"old")
        self.set_game()
        L = self.launcher.start()
        L.command(1016)  # no pack on the server: the download fails
        self.assertEqual(L.wait_box(60)[0][:2], ["错误", "插件安装失败，请检查网络或稍后重试。"])
        close_boxes(L)
        self.assertEqual(read(self.local("Interface/AddOns/Old/old.toc")), b"old")
        self.addon_zip([("Interface/ok.txt", b"ok"), ("../evil.txt", b"evil")])
        L.wait_for(lambda: L.dump()[1][1016]["enabled"], 10, "the button")
        L.command(1016)
        self.assertEqual(L.wait_box(60)[0][:2], ["错误", "插件安装失败，请检查网络或稍后重试。"])
        close_boxes(L)
        self.assertEqual(read(self.local("Interface/AddOns/Old/old.toc")), b"old")
        self.assertFalse(os.path.exists(os.path.join(self.work, "evil.txt")))
        self.assertFalse(os.path.exists(self.local("Interface/ok.txt")))

    def test_addon_cancel_and_the_other_button(self):
        write(self.local("Interface/keep.txt"), b"mine")
        self.addon_zip([("Interface/new.txt", blob(600000, 1))])
        control(MIRRORS[1], "/__fault?path=/*&kind=slow&arg=50000")
        self.set_game()
        L = self.launcher.start()
        L.command(1016)
        L.wait_for(lambda: L.dump()[1][1016]["text"] == "取消安装", 10, "the install to start")
        self.assertFalse(L.dump()[1][1017]["enabled"])
        L.command(1017)  # the other pack's button does nothing at all
        time.sleep(1)
        self.assertEqual(L.boxes(), [])
        # The tray's tip names the job and how far it is.
        L.wait_for(lambda: re.fullmatch(r"星桥 - 正在安装插件 [1-9]\d*%", L.tray_tip()), 20, "the tray tip")
        L.command(1016)
        self.assertEqual(L.wait_box()[0][0], "取消安装")
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: L.dump()[1][1005]["text"] == "已取消插件安装。游戏目录未作改动，已下载的部分已丢弃。", 30,
                   "the cancel")
        self.assertEqual(read(self.local("Interface/keep.txt")), b"mine")
        self.assertEqual(L.boxes(), [])

    # Jobs side by side

    def test_jobs_side_by_side_keep_each_others_buttons(self):
        L = self.start_slow_hd_patch("*", 10000)
        L.wait_for(lambda: L.dump()[1][1008]["text"] == "取消下载", 30, "the patch to start")
        settle_access_times(self.saves)
        L.command(1007)  # the HD client alongside, from the same slow mirrors
        L.folder_picker(20, self.saves)
        L.accept_folder()
        L.wait_for(lambda: L.dump()[1][1007]["text"] == "取消下载", 20, "the client download")
        L.command(1007)
        self.assertEqual(L.wait_box()[0][0], "取消下载")
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: L.dump()[1][1007]["text"] == "下载高清客户端", 30, "the client download to end")
        _, c = L.dump()
        self.assertFalse(c[1004]["enabled"], "the other patch button stays off while the HD patch runs")
        self.assertFalse(c[1003]["enabled"])
        self.assertEqual((c[1008]["text"], c[1008]["enabled"]), ("取消下载", True), "1008 still cancels the patch")
        # Without its record the folder's files tell a client: its update
        # waits for the patch, which may be replacing the same archives;
        # nothing of it is downloaded over.
        shutil.rmtree(os.path.join(self.saves, ".ravelgap"), ignore_errors=True)
        client_exe = os.path.join(self.saves, "[HD]Wow3.3.5a", "Wow.exe")
        write(client_exe, b"MZ older")
        L.command(1007)
        L.folder_picker(20, self.saves)
        L.accept_folder()
        self.assertEqual(L.wait_box(30)[0][:2], ["错误", "补丁更新正在进行，请等它完成后再更新这个客户端。"])
        self.assertEqual(read(client_exe), b"MZ older")

    def test_a_second_click_cancels_and_start_waits_for_every_job(self):
        self.addon_zip([("Interface/new.txt", blob(600000, 1))])
        control(MIRRORS[1], "/__fault?path=/*&kind=slow&arg=50000")
        self.set_game()
        L = self.launcher.start()
        L.command(1016, 2)  # the second click is handled right after the first
        self.assertEqual(L.wait_box()[0][0], "取消安装")
        # Esc answers as 否 does. The key goes to the box's X window: without a
        # window manager the display's focus does not follow the box by itself.
        run(["xdotool", "search", "--name", "^取消安装$", "windowfocus", "--sync", "key", "Escape"])
        L.wait_for(lambda: not L.boxes(), 10, "Esc to close the box")
        write(self.local(P5), b"old five")
        write(self.local(P6), b"old six")
        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd/files/*&kind=slow&arg=20000")
        L.command(1008)
        L.wait_for(lambda: L.dump()[1][1008]["text"] == "取消下载", 30, "the patch to start")
        for button, title, idle in ((1016, "取消安装", "安装大脚插件"), (1008, "取消下载", "下载高清补丁")):
            self.assertFalse(L.dump()[1][1003]["enabled"], "start stays off while %d runs" % button)
            L.command(button)
            self.assertEqual(L.wait_box()[0][0], title)
            L.press("是") or L.press("Yes")
            L.wait_for(lambda: L.dump()[1][button]["text"] == idle, 30, "%d to end" % button)
        self.assertTrue(L.dump()[1][1003]["enabled"])
        self.assertEqual(len([r for r in requests(MIRRORS[1]) if ".zip" in r]), 2, "one addon worker")

    # Client download

    def test_client_download_into_the_suggested_folder(self):
        src = os.path.join(self.work, "client-src")
        write(os.path.join(src, "Wow.exe"), read(os.path.join(BUILD, "rp_helper_game.exe")))
        write(os.path.join(src, "Data", "zhCN", "realmlist.wtf"), b"set realmlist old\r\n")
        write(os.path.join(src, "Data", "common.MPQ"), blob(900000, 9))
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        L = self.launcher.start()
        settle_access_times(self.saves)
        L.command(1007)
        box = L.folder_picker(20, self.saves)
        L.screenshot("jobs-client-browser")
        self.assertIn(FOLDER_INSTRUCTION, box[0][0] + box[0][1])
        # A folder typed into the path field, one that does not exist yet,
        # is where the client goes, and the status line names it before the
        # first byte arrives.
        typed = os.path.join(self.saves, "typed", "new")
        self.addCleanup(shutil.rmtree, os.path.join(self.saves, "typed"), True)
        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd.json&kind=delay&arg=4000&times=1")
        self.assertEqual(probe("boxtype", win_path(typed))[0], 0)
        self.assertTrue(L.accept_folder(), box)
        target = win_path(typed) + "\\[HD]Wow3.3.5a"
        L.wait_for(lambda: L.dump()[1][1005]["text"].endswith("客户端保存到：" + target), 20, "the target named")
        self.assertFalse(os.path.exists(os.path.join(typed, "[HD]Wow3.3.5a")), "named before the first byte")
        box = L.wait_for(lambda: [b for b in L.boxes() if b[0] == "下载完成"], 90, "the download")
        self.assertEqual(box[0][1], "是否开始游戏？")
        L.screenshot("jobs-client-done")
        _, c = L.dump()
        exe = c[1001]["text"]
        self.assertEqual(exe, target + "\\Wow.exe")
        client = unix_path(exe[:-len("\\Wow.exe")])
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: os.path.exists(os.path.join(client, "started.txt")), 30, "the game to start")
        self.assertEqual(read(os.path.join(client, "Data", "zhCN", "realmlist.wtf")),
                         b'set realmlist "10.1.1.1:3724"\r\nset patchlist "10.1.1.1:3724"\r\n')
        self.assertEqual(read(os.path.join(client, "Data", "common.MPQ")), blob(900000, 9))
        _, c = L.dump()
        self.assertTrue(all(c[i]["enabled"] for i in (1007, 1015, 1004, 1008)))
        self.assertEqual(c[1007]["text"], "下载高清客户端")
        out = run(["wine", "reg", "query", "HKCU\\Software\\RealmPorter", "/v", "ClientPath"]).stdout.decode()
        self.assertIn(exe[:-len("\\[HD]Wow3.3.5a\\Wow.exe")], out)


    def slow_client(self):
        src = os.path.join(self.work, "big-src")
        write(os.path.join(src, "Wow.exe"), read(os.path.join(BUILD, "rp_helper_game.exe")))
        write(os.path.join(src, "Data", "common.MPQ"), blob(3000000, 11))
        publish("wow335-hd", "[HD]Wow3.3.5a", src)
        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-hd/files/*&kind=slow&arg=100000")

    def start_client_download(self, L):
        settle_access_times(self.saves)
        L.command(1007)
        L.folder_picker(20, self.saves)
        L.accept_folder()
        L.wait_for(lambda: L.dump()[1][1006]["visible"] and L.dump()[1][1007]["text"] == "取消下载", 20, "the download")
        _, c = L.dump()
        self.assertFalse(c[1004]["enabled"] or c[1008]["enabled"] or c[1015]["enabled"])
        self.assertTrue(c[1003]["enabled"], "the game may start during a client download")

    def test_client_cancel_shows_no_box_and_restores_the_buttons(self):
        self.slow_client()
        L = self.launcher.start()
        self.start_client_download(L)
        # 退出登录器 during a job asks first, and No keeps everything running.
        L.open_tray_menu()
        for key in ("Up", "Return"):
            run(["xdotool", "key", key])
        box = L.wait_box()[0]
        self.assertEqual(box[0], "退出登录器")
        self.assertIn("已下载的部分会保留", probe("boxes")[1])
        L.press("否") or L.press("No")
        L.wait_for(lambda: not L.boxes(), 10, "the box to close")
        time.sleep(2)
        L.screenshot("jobs-client-readout")
        self.assertEqual(L.dump()[1][1007]["text"], "取消下载")
        L.command(1007)
        self.assertEqual(L.wait_box()[0][0], "取消下载")
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: L.dump()[1][1007]["text"] == "下载高清客户端", 20, "the cancel")
        time.sleep(1)
        self.assertEqual(L.boxes(), [])
        _, c = L.dump()
        self.assertTrue(all(c[i]["enabled"] for i in (1007, 1015, 1004, 1008)))
        self.assertFalse(c[1006]["visible"])
        # The save folder is this test's own and empty: a download, never an
        # update of an earlier client.
        self.assertRegex(c[1005]["text"], r"^已取消，已下载的 \d+\.\d MB 已保留，下次继续$")
        L.screenshot("jobs-client-cancelled")

    def test_exit_during_a_download_ends_the_process(self):
        self.slow_client()
        L = self.launcher.start()
        self.start_client_download(L)
        L.open_tray_menu()
        run(["xdotool", "key", "Up"])
        run(["xdotool", "key", "Return"])
        # Quitting while a job runs asks first; 是 quits.
        self.assertEqual(L.wait_box()[0][0], "退出登录器")
        L.press("是") or L.press("Yes")
        start = time.time()
        L.proc.wait(timeout=60)
        self.assertLess(time.time() - start, 35)


if __name__ == "__main__":
    unittest.main(verbosity=2)
