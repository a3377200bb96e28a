"""A player's tour through the real window, used by the end-to-end test and
by `make demo` without a display: start, pick a realm, download the HD
client, start the game, check the patches, install an addon pack, close to
the tray and exit from the tray menu. Each step leaves a screenshot."""
import os
import shutil
import time

from launcher import Launcher, probe, reg_set, run, unix_path, wine


def tour(shot, log=print):
    """`shot(name)` takes a screenshot. The client goes where the folder
    browser's OK puts it: the folder the launcher suggests, here the last
    save folder, set to C:\\tour-client of the prefix (left to itself, the
    launcher suggests the drive with the most free space: under Wine Z:, the
    root of the machine's file system, which every build tree on it shares;
    and Wine's browser does not always find a folder deep below Z:).
    Returns the list of (step, picture) and the client folder."""
    pictures = []
    parent = os.path.join(os.environ["WINEPREFIX"], "drive_c", "tour-client")
    shutil.rmtree(parent, ignore_errors=True)
    os.makedirs(parent)
    reg_set("HKCU\\Software\\RealmPorter", "ClientPath", "REG_SZ", "C:\\tour-client")

    def step(name, text):
        path = shot(name)
        pictures.append((text, path))
        log("%-28s %s" % (text, path))

    L = Launcher().start(timeout=120)
    try:
        step("tour-1-start", "1 start")
        probe("select", 1)
        L.wait_for(lambda: L.dump()[1][1009]["selected"] == 1, 10, "realm 2")
        step("tour-2-realm", "2 pick a realm")

        L.click_control(1007)
        L.wait_for(lambda: [b for b in L.boxes() if b[0] == "选择文件夹"], 30, "the folder browser")
        step("tour-3-folder", "3 choose a folder")
        L.press("确定") or L.press("OK")
        L.wait_for(lambda: L.dump()[1][1006]["visible"], 30, "the download to start")
        time.sleep(1)
        step("tour-4-downloading", "4 downloading the HD client")
        done = L.wait_for(lambda: [b for b in L.boxes() if b[0] == "下载完成"], 900, "the download")
        assert done[0][1] == "是否开始游戏？", done
        step("tour-5-downloaded", "5 downloaded")
        exe = L.dump()[1][1001]["text"]
        assert exe.endswith("\\[HD]Wow3.3.5a\\Wow.exe"), exe
        client = unix_path(exe[:-len("\\Wow.exe")])
        assert os.path.samefile(client, os.path.join(parent, "[HD]Wow3.3.5a")), client
        L.press("是") or L.press("Yes")
        L.wait_for(lambda: os.path.exists(os.path.join(client, "started.txt")), 60, "the game to start")
        time.sleep(2)
        step("tour-6-game", "6 the game starts")
        with open(os.path.join(client, "started.txt"), encoding="utf-8") as f:
            seen = f.read()
        assert "patch-zhCN-5.MPQ" in seen and "realmlist" in seen, seen
        wine("taskkill", "/f", "/im", "Wow.exe")

        L.click_control(1008)
        box = L.wait_for(lambda: L.boxes(), 120, "the patch check")
        assert box[0][:2] == ["提示", "高清补丁已是最新，无需下载。"], box
        step("tour-7-patches", "7 patches are current")
        L.press("确定") or L.press("OK")

        L.click_control(1016)
        L.wait_for(lambda: L.dump()[1][1005]["text"] == "大脚插件安装完成！", 120, "the addon install")
        assert os.path.isdir(os.path.join(client, "Interface", "AddOns", "BigFootDemo")), "addon installed"
        step("tour-8-addon", "8 addon pack installed")

        L.command(1012)
        L.wait_for(lambda: "visible=0" in probe("state")[1], 10, "the window to hide")
        step("tour-9-tray", "9 closed to the tray")
        L.open_tray_menu()
        step("tour-10-tray-menu", "10 the tray menu")
        run(["xdotool", "key", "Up"])
        run(["xdotool", "key", "Return"])
        L.proc.wait(timeout=60)
        step("tour-11-exit", "11 exited")
        return pictures, client
    finally:
        L.stop()
