"""The Main window as a player meets it: geometry, start-up sources, single
instance, tray, commands and the private messages of the workers."""
import json
import os
import shutil
import subprocess
import time
import unittest

from launcher import (BUILD, LOCALE, SHOTS, SITE, WWW, Launcher, control, local_appdata, pixel, probe, reg_query,
                      reg_set, reg_delete_key, reset_state, run, win_path, write)

SERVERS = ("远程·一服|rptest://register/one|10.0.0.1:3724|10.0.0.1:3725|第一服的介绍\n"
           "远程·二服|HTTP://register.example/two|10.0.0.2:3724|10.0.0.2:3724|\n").encode()
WM_USER = 1024
WMU_PROGRESS, WMU_PATCH_HD_DONE, WMU_CLIENT_DONE, WMU_CLIENT_CONNECTING, WMU_NET_TIMEOUT = (
    WM_USER + 4, WM_USER + 6, WM_USER + 10, WM_USER + 11, WM_USER + 12)

LAYOUT_100 = {  # id: (x, y, w, h)
    1001: (140, 46, 542, 32), 1002: (696, 46, 108, 32), 1009: (140, 122, 135, 32), 1010: (289, 120, 515, 40),
    1011: (36, 196, 181, 40), 1003: (231, 196, 181, 40), 1016: (426, 196, 181, 40), 1017: (621, 196, 181, 40),
    1015: (36, 272, 181, 40), 1007: (231, 272, 181, 40), 1004: (426, 272, 181, 40), 1008: (621, 272, 181, 40),
    1014: (784, 4, 22, 22), 1012: (810, 4, 22, 22), 1005: (36, 348, 768, 36), 1006: (36, 424, 768, 18),
    1018: (621, 452, 181, 36),
}


BUTTONS = {
    1002: "浏览游戏...", 1011: "注册账号", 1003: "开始游戏", 1016: "安装大脚插件", 1017: "安装魔盒插件",
    1015: "下载怀旧客户端", 1007: "下载高清客户端", 1004: "下载怀旧补丁", 1008: "下载高清补丁", 1014: "\u2014", 1012: "\u00d7",
    1018: "校验客户端",
}


FONT = os.path.join(BUILD, "res", "NotoSansSC-Bold.otf")
# Tab's reading order; the realm first.
TAB_ORDER = [1009, 1002, 1011, 1003, 1016, 1017, 1015, 1007, 1004, 1008, 1018, 1014, 1012]
# 75 characters: far wider than its box.
LONG_DESCRIPTION = "本服为怀旧经验倍率服务器，周末双倍经验，欢迎新老玩家加入我们的大家庭。新手请先阅读论坛公告，每周六晚八点开放团队副本，" \
                   "官方交流群号为一二三四五六七八九。"
ROLE_TEXT, ROLE_STATIC, ROLE_BUTTON, ROLE_COMBO, ROLE_PROGRESS = 42, 41, 43, 46, 48


def keys(*names, window="^星桥登录器$"):
    """Keys to a window of the launcher: without a window manager the
    display's focus does not follow the window by itself."""
    run(["xdotool", "search", "--name", window, "windowfocus", "--sync", "key", "--delay", "50"] + list(names))


def focused():
    return int(probe("focus")[1].strip() or 0)


def ink(png, geometry=None, threshold="60%"):
    """Light pixels of a picture (or of its crop `geometry`)."""
    args = ["convert", png] + (["-crop", geometry] if geometry else []) + [
        "-colorspace", "gray", "-threshold", threshold, "-format", "%[fx:mean*w*h]", "info:"]
    return float(run(args).stdout.decode())


def site_list(data):
    write(os.path.join(WWW, "site", "serverlist.txt"), data)


class Window(unittest.TestCase):
    def setUp(self):
        reset_state()
        site_list(SERVERS)
        self.game = os.path.join(BUILD, "ui-game")
        shutil.rmtree(self.game, ignore_errors=True)
        os.makedirs(os.path.join(self.game, "Data", "zhCN"))
        shutil.copy(os.path.join(BUILD, "rp_helper_game.exe"), os.path.join(self.game, "Wow.exe"))
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()

    def test_geometry_and_start_up_contents(self):
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(self.game, "Wow.exe")))
        L = self.launcher.start()
        main, c = L.dump()
        L.screenshot("window-start")
        self.assertEqual((main["cw"], main["ch"]), (840, 500))
        self.assertEqual(main["title"], "星桥登录器")
        self.assertEqual(main["x"], (1280 - main["w"]) // 2)
        self.assertEqual(main["y"], (1024 - main["h"]) // 2)
        for cid, box in LAYOUT_100.items():
            got = (c[cid]["x"], c[cid]["y"], c[cid]["w"], c[cid]["h"])
            self.assertEqual(got, box, "control %d" % cid)
        self.assertEqual(c[1009]["items"], ["远程·一服", "远程·二服"])
        self.assertEqual(c[1009]["selected"], 0)
        self.assertEqual(c[1010]["text"], "第一服的介绍")
        self.assertEqual(c[1001]["text"], win_path(os.path.join(self.game, "Wow.exe")))
        self.assertEqual(c[1005]["text"], "普通客户端下载怀旧补丁，高清客户端下载高清补丁，切勿打错补丁！")
        for cid, text in BUTTONS.items():
            self.assertEqual(c[cid]["text"], text, "control %d" % cid)
        self.assertFalse(c[1006]["visible"])
        labels = [d["text"] for d in c["all"] if d["id"] in (0, 65535, -1)]
        self.assertIn("游戏路径：", labels)
        self.assertIn("选择服务器：", labels)
        # The game gone since it was chosen: each button says what is missing.
        os.remove(os.path.join(self.game, "Wow.exe"))
        L.command(1003)
        box = L.wait_box()[0]
        self.assertEqual(box[0], "错误")
        self.assertEqual(box[1], "找不到游戏程序：" + win_path(os.path.join(self.game, "Wow.exe")))
        text = probe("boxes")[1]  # the box's text over several lines
        self.assertIn("“浏览游戏...”", text)
        self.assertIn("“校验客户端”", text)
        L.press("确定")
        L.wait_for(lambda: not L.boxes(), 10, "the box to close")
        shutil.rmtree(self.game)
        L.command(1004)
        box = L.wait_box()[0]
        self.assertEqual(box[1], "找不到游戏目录：" + win_path(self.game))
        self.assertNotIn("网络", probe("boxes")[1])

    def test_keyboard_screen_reader_and_a_long_description(self):
        handler = self.web_handler()
        site_list(("长描述服|http://register.example/one|10.0.0.1:3724|10.0.0.1:3724|%s\n"
                   "二服|http://register.example/two|10.0.0.2:3724|10.0.0.2:3724|第二服\n" % LONG_DESCRIPTION).encode())
        L = self.launcher.start()
        main, c = L.dump()
        # What a screen reader reads, through the accessibility interface.
        acc = {d["id"]: d for d in map(json.loads, probe("acc")[1].splitlines())}
        for cid, label in BUTTONS.items():
            expected = {1014: "最小化", 1012: "关闭"}.get(cid, label)
            self.assertEqual((acc[cid]["role"], acc[cid]["name"]), (ROLE_BUTTON, expected), "control %d" % cid)
        self.assertEqual((acc[1009]["role"], acc[1009]["name"], acc[1009]["value"]), (ROLE_COMBO, "选择服务器", "长描述服"))
        self.assertEqual((acc[1010]["role"], acc[1010]["name"]), (ROLE_STATIC, LONG_DESCRIPTION))
        self.assertEqual((acc[1005]["role"], acc[1005]["name"]), (ROLE_STATIC, c[1005]["text"]))
        self.assertEqual((acc[1006]["role"], acc[1006]["value"]), (ROLE_PROGRESS, "0%"))
        self.assertEqual((acc[1001]["role"], acc[1001]["name"], acc[1001]["value"]), (ROLE_TEXT, "游戏路径", "未选择"))
        # The long description ends in an ellipsis and shows whole in its tip.
        d = c[1010]
        run(["xdotool", "mousemove", str(main["cx"] + d["x"] + d["w"] // 2), str(main["cy"] + d["y"] + d["h"] // 2)])
        L.wait_for(lambda: LONG_DESCRIPTION in probe("tips")[1], 10, "the description's tip")
        L.screenshot("window-long-description")
        run(["xdotool", "mousemove", "0", "0"])
        # No focus mark before the keyboard is used; Tab goes round in reading order.
        edge = lambda shot, b: pixel(shot, main["cx"] + b["x"] + b["w"] // 2, main["cy"] + b["y"] + 4)
        self.assertLess(sum(edge(L.screenshot("window-keys-before"), c[1011])), 600)
        keys("Tab")
        self.assertEqual(focused(), TAB_ORDER[0])
        order = [int(cid) for cid in probe("tabs", len(TAB_ORDER))[1].split()]
        self.assertEqual(order, TAB_ORDER[1:] + TAB_ORDER[:1])
        keys("shift+Tab")
        self.assertEqual(focused(), TAB_ORDER[-1])
        keys("Tab", "Down")  # the arrows change the realm in the list
        L.wait_for(lambda: L.dump()[1][1010]["text"] == "第二服", 10, "the second realm")
        self.assertEqual(L.dump()[1][1009]["selected"], 1)
        keys("Return")  # presses 开始游戏, the default button: no game path yet
        self.assertEqual(L.wait_box()[0][:2], ["提示", "请先选择游戏路径！"])
        keys("Escape", window="^提示$")
        L.wait_for(lambda: not L.boxes(), 10, "Esc to close the box")
        L.wait_for(lambda: focused() == 1009, 10, "the list to have the focus again, as before the box")
        keys("Tab", "Tab")
        self.assertEqual(focused(), 1011)
        time.sleep(0.5)
        self.assertGreater(sum(edge(L.screenshot("window-keys-focus"), c[1011])), 650, "the focus mark")
        keys("Return")  # presses the focused 注册账号
        L.wait_for(lambda: os.path.exists(os.path.join(handler, "started.txt")), 20, "the register page to open")

    def test_splash_while_a_slow_list_loads_then_remote_realms(self):
        control(SITE, "/__fault?path=/serverlist.txt&kind=delay&arg=4000&times=1")
        L = self.launcher.start(wait_main=False)
        L.wait_for(lambda: probe("find", "RealmPorterSplash")[1].strip() == "1", 15, "the splash window")
        L.screenshot("window-splash")
        rc, _ = probe("find", "RealmPorter")
        self.assertNotEqual(rc, 0, "no Main window while the loader runs")
        probe("wait", 20000, timeout=30)
        time.sleep(0.5)
        _, c = L.dump()
        self.assertEqual(c[1009]["items"], ["远程·一服", "远程·二服"])

    def test_a_site_that_never_answers_costs_the_deadline_only(self):
        # The site takes the connection and never answers, not even the TLS
        # handshake; the window comes at the loader's deadline with the
        # cached list and says so.
        reg_set("HKCU\\Software\\RealmPorter", "ServerList", "REG_SZ", "缓存服|w|c:1|c:1|来自缓存")
        control(SITE, "/__fault?path=/__handshake&kind=stall&arg=60&times=1")
        L = self.launcher.start(wait_main=False)
        L.wait_for(lambda: probe("find", "RealmPorterSplash")[1].strip() == "1", 15, "the splash window")
        shown = time.time()
        self.assertEqual(probe("wait", 25000, timeout=35)[0], 0, "the window within the deadline")
        self.assertLess(time.time() - shown, 20)
        time.sleep(0.5)
        _, c = L.dump()
        L.screenshot("window-site-stalled")
        self.assertEqual(c[1009]["items"], ["缓存服"])
        self.assertEqual(c[1005]["text"], "未能加载服务器列表，当前显示上次保存的列表。")

    def test_closing_the_splash_ends_the_launcher(self):
        control(SITE, "/__fault?path=/__handshake&kind=stall&arg=60&times=1")
        L = self.launcher.start(wait_main=False)
        L.wait_for(lambda: probe("find", "RealmPorterSplash")[1].strip() == "1", 15, "the splash window")
        L.screenshot("window-splash-close-mark")
        x, y, w, _ = (int(v) for v in probe("rect", "RealmPorterSplash")[1].split())
        run(["xdotool", "mousemove", str(x + w - 18), str(y + 16), "click", "1"])  # the close mark
        self.assertEqual(L.proc.wait(timeout=15), 0)
        self.assertNotEqual(probe("find", "RealmPorter")[0], 0, "no Main window")
        L.proc = None

    def test_cached_list_without_site_and_defaults_without_either(self):
        os.remove(os.path.join(WWW, "site", "serverlist.txt"))
        reg_set("HKCU\\Software\\RealmPorter", "ServerList", "REG_SZ", "缓存服|w|c:1|c:1|来自缓存")
        L = self.launcher.start()
        _, c = L.dump()
        self.assertEqual(c[1009]["items"], ["缓存服"])
        self.assertEqual(c[1010]["text"], "来自缓存")
        self.assertEqual(c[1005]["text"], "未能加载服务器列表，当前显示上次保存的列表。")
        L.stop()
        reg_delete_key("HKCU\\Software\\RealmPorter")
        L.start()
        _, c = L.dump()
        self.assertEqual(len(c[1009]["items"]), 3)
        self.assertEqual(c[1005]["text"], "未能加载服务器列表，当前显示登录器内置的列表。")
        self.assertTrue(c[1009]["items"][0].startswith("星桥"))

    def test_single_instance_and_tray(self):
        L = self.launcher.start()
        # While visible a second start changes nothing and ends.
        before = probe("state")[1]
        second = subprocess.run(["wine", os.path.join(BUILD, "RealmPorter.exe")], timeout=60)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(probe("state")[1].split()[:2], before.split()[:2])
        L.command(1012)  # close hides to the tray
        L.wait_for(lambda: "visible=0" in probe("state")[1], 10, "the window to hide")
        # Closing again while hidden keeps it hidden. The close is sent, not
        # posted: Wine without a window manager takes 2 s to hide a window,
        # and a close still queued behind that would hide the window again
        # right after the second start below has shown it.
        self.assertEqual(probe("send", 0x0010, 0, 0)[0], 0)
        self.assertIn("visible=0", probe("state")[1])
        second = subprocess.run(["wine", os.path.join(BUILD, "RealmPorter.exe")], timeout=60)
        self.assertEqual(second.returncode, 0)
        L.wait_for(lambda: "visible=1" in probe("state")[1], 10, "the first instance to show")
        L.command(1012)
        L.wait_for(lambda: "visible=0" in probe("state")[1], 10, "hidden")
        probe("tray", 0x0202)  # left click shows the window again
        L.wait_for(lambda: "visible=1" in probe("state")[1], 10, "shown from the tray")
        L.open_tray_menu()
        L.screenshot("window-tray-menu")
        # The first cap below 不限速 is remembered in the launcher's key.
        for key in ("Down", "Down", "Down", "Return"):
            run(["xdotool", "key", key])
        L.wait_for(lambda: "0x200" in reg_query("HKCU\\Software\\RealmPorter", "SpeedLimit"), 20, "the cap saved")
        L.open_tray_menu()
        run(["xdotool", "key", "Up"])
        run(["xdotool", "key", "Return"])
        L.proc.wait(timeout=40)
        self.assertEqual(probe("find", "RealmPorter")[0], 1, "the window is gone")

    def web_handler(self):
        """A stand-in browser for http addresses: it writes started.txt."""
        handler = os.path.join(BUILD, "ui-handler")
        shutil.rmtree(handler, ignore_errors=True)
        os.makedirs(handler)
        shutil.copy(os.path.join(BUILD, "rp_helper_game.exe"), os.path.join(handler, "handler.exe"))
        cmd = '"%s" "%%1"' % win_path(os.path.join(handler, "handler.exe"))
        reg_set("HKCR\\http\\shell\\open\\command", "", "REG_SZ", cmd)
        return handler

    def test_register_opens_only_web_pages(self):
        handler = self.web_handler()
        program = win_path(os.path.join(handler, "handler.exe"))
        site_list(("unc|\\\\127.0.0.1\\c$\\x.exe|a:1|a:1|\n"
                   "program|%s|a:1|a:1|\n" % program).encode())
        L = self.launcher.start()
        for index in (0, 1):
            probe("select", index)
            L.command(1011)
        time.sleep(3)
        self.assertFalse(os.path.exists(os.path.join(handler, "started.txt")), "a program was started")
        with open(os.path.join(local_appdata(), "RealmPorter", "launcher.log"), "rb") as f:
            log = f.read()
        self.assertIn(b"OnRegister not a web address: \\\\127.0.0.1\\c$\\x.exe", log)
        self.assertIn(b"OnRegister not a web address: " + program.encode(), log)

    def test_selection_register_and_start_game(self):
        handler = self.web_handler()
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(self.game, "Wow.exe")))
        L = self.launcher.start()
        probe("select", 1)
        L.wait_for(lambda: L.dump()[1][1010]["text"] == "请选择服务器", 10, "the hint for an empty description")
        L.command(1011)
        started = os.path.join(handler, "started.txt")
        L.wait_for(lambda: os.path.exists(started), 20, "the register page to open")
        time.sleep(0.3)
        with open(started, encoding="utf-8") as f:
            self.assertIn("HTTP://register.example/two", f.read())
        L.command(1003)
        game_started = os.path.join(self.game, "started.txt")
        L.wait_for(lambda: os.path.exists(game_started), 20, "the game to start")
        with open(os.path.join(self.game, "Data", "zhCN", "realmlist.wtf"), "rb") as f:
            self.assertEqual(f.read(), b'set realmlist "10.0.0.2:3724"\r\nset patchlist "10.0.0.2:3724"\r\n')
        with open(game_started, encoding="utf-8") as f:
            cwd = f.read().splitlines()[0]
        self.assertEqual(cwd.lower(), win_path(self.game).lower())
        # No browser to take the page: the address in a box, for Ctrl+C.
        reg_set("HKCR\\http\\shell\\open\\command", "", "REG_SZ", '"%s" "%%1"' % win_path(handler + "-missing.exe"))
        L.command(1011)
        self.assertEqual(L.wait_box()[0][0], "注册账号")
        L.wait_for(lambda: "foreground=1" not in probe("state")[1], 10, "the box to take the focus")
        # To the box's X window: where the display's focus is the root, the
        # keys go to the window under the pointer, wherever an earlier test
        # left it.
        keys("ctrl+c", window="^注册账号$")
        L.wait_for(lambda: "HTTP://register.example/two" in probe("clipboard")[1], 10, "the address on the clipboard")
        self.assertTrue(L.press("确定") or L.press("OK"))

    def test_start_game_without_path_asks_for_one(self):
        L = self.launcher.start()
        L.command(1003)
        box = L.wait_box()
        self.assertEqual(box[0][:2], ["提示", "请先选择游戏路径！"])
        L.screenshot("window-box-no-path")
        self.assertTrue(L.press("确定") or L.press("OK"))

    def test_worker_messages(self):
        L = self.launcher.start()
        probe("post", WMU_CLIENT_CONNECTING, 0, 0)
        L.wait_for(lambda: L.dump()[1][1006]["visible"], 10, "the progress bar")
        _, c = L.dump()
        self.assertEqual(c[1005]["text"], "正在连接镜像服务器...")
        probe("post", WMU_PROGRESS, 42, 0)
        L.wait_for(lambda: L.dump()[1][1006]["pos"] == 42, 10, "progress 42")
        L.screenshot("window-progress-42")
        probe("post", WMU_PATCH_HD_DONE, 2, 0)
        L.wait_for(lambda: not L.dump()[1][1006]["visible"], 10, "the bar hidden")
        _, c = L.dump()
        self.assertEqual(c[1008]["text"], "下载高清补丁")
        self.assertTrue(c[1008]["enabled"] and c[1003]["enabled"])
        self.assertEqual(c[1005]["text"], "正在连接镜像服务器...", "a cancel keeps the worker's last line")
        self.assertEqual(L.boxes(), [], "a cancelled patch shows no box")
        probe("post", WMU_PATCH_HD_DONE, 1, 0)
        self.assertEqual(L.wait_box()[0][:2], ["错误", "下载失败，请检查网络。"])
        L.press("确定") or L.press("OK")
        L.wait_for(lambda: not L.boxes(), 10, "the box to close")
        probe("post", WMU_CLIENT_DONE, 0, 0)  # a null record changes nothing
        probe("post", WMU_NET_TIMEOUT, 0, 0)
        probe("post", WMU_NET_TIMEOUT, 0, 0)
        self.assertEqual(L.wait_box()[0][:2], ["错误", "连接服务器超时，请检查网络后重试。"])
        time.sleep(1.5)
        self.assertEqual(len(L.boxes()), 1, "two time-outs within five minutes show one warning")
        L.press("确定") or L.press("OK")

    def test_boxes_draw_chinese_with_the_bundled_font(self):
        L = self.launcher.start()
        probe("post", WMU_PATCH_HD_DONE, 1, 0)
        self.assertEqual(L.wait_box()[0][:3], ["错误", "下载失败，请检查网络。", "确定"])
        time.sleep(1.0)
        shot = L.screenshot("box-error")
        x, y, w, h = (int(v) for v in probe("boxtext")[1].split())
        # The message as the box drew it, against the same text drawn with the
        # bundled font at the box's size: empty squares have far less ink.
        crop = "%dx%d+%d+%d" % (w, h, x, y)
        drawn = ink(shot, crop)
        ref = os.path.join(SHOTS, "box-error-reference.png")
        run(["convert", "-background", "black", "-fill", "white", "-font", FONT, "-pointsize", "15", "-density",
             "72", "label:下载失败，请检查网络。", ref], check=True)
        expected = ink(ref)
        self.assertGreater(drawn, expected * 0.6, "the box's text looks unlike the bundled font's")
        self.assertLess(drawn, expected * 1.6)
        # Esc answers a box whose only button is OK, as the system box does.
        # The keys go to the box's X window: without a window manager the
        # display's focus does not follow the box by itself.
        run(["xdotool", "search", "--name", "^错误$", "windowfocus", "--sync", "key", "Escape"])
        L.wait_for(lambda: not L.boxes(), 10, "Esc to close the box")
        # The tray menu likewise, where the system's font has no Chinese
        # glyphs: its first item against the bundled font's.
        if not (LOCALE or "").startswith("en_US"):
            return
        L.open_tray_menu()
        time.sleep(0.5)
        shot = L.screenshot("tray-menu")
        x, y, w, h = (int(v) for v in probe("rect", "#32768")[1].split())
        item = "%dx%d+%d+%d" % (w - 40, 30, x + 30, y + 3)
        drawn = float(run(["convert", shot, "-crop", item, "-negate", "-colorspace", "gray", "-threshold", "60%",
                           "-format", "%[fx:mean*w*h]", "info:"]).stdout.decode())
        run(["convert", "-background", "black", "-fill", "white", "-font", FONT, "-pointsize", "16", "-density",
             "72", "label:打开登录器", ref], check=True)
        expected = ink(ref)
        self.assertGreater(drawn, expected * 0.6, "the menu's text looks unlike the bundled font's")
        self.assertLess(drawn, expected * 1.6)
        run(["xdotool", "key", "Escape"])

    def test_scale_150(self):
        reg_set("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", 144)
        try:
            L = self.launcher.start()
            main, c = L.dump()
            L.screenshot("window-150")
            self.assertEqual((main["cw"], main["ch"]), (1260, 750))
            self.assertEqual(c[1011]["w"], 272)
            self.assertEqual(c[1003]["x"], 54 + 272 + 21)
            self.assertEqual((c[1012]["x"], c[1012]["w"]), (1260 - 12 - 33, 33))
        finally:
            reg_set("HKCU\\Control Panel\\Desktop", "LogPixels", "REG_DWORD", 96)


if __name__ == "__main__":
    unittest.main(verbosity=2)
