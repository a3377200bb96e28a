"""A player's tour through the real window, used by the end-to-end test and
by `make demo` without a display: start, pick a realm, download the HD
client, start the game, check the patches, install an addon pack, close to
the tray and exit from the tray menu. Each step leaves a screenshot."""
import os
import time

from launcher import Launcher, TimedOut, probe, reg_set, unix_path, win_path, wine


def settle_access_times(folder):
    """Reads `folder` and every folder above it. Wine's folder browser walks
    to the preselected folder comparing item ids byte for byte, and an id
    holds the folder's last-access time. Under relatime the first read of a
    folder after a change moves that time, and the walk itself reads each
    folder on the path after taking its id: the walk then stops above the
    first folder that changed since it was last read, and OK takes a folder
    above the wanted one (seen: the root of the file system, the checkout).
    Read once beforehand, the times hold still."""
    while True:
        os.listdir(folder)
        if folder == os.path.dirname(folder):
            return
        folder = os.path.dirname(folder)


def tour(shot, save_folder, log=print):
    """`shot(name)` takes a screenshot. The client goes into `save_folder`:
    it is the remembered save folder (`ClientPath`), which the folder
    browser preselects and its OK accepts; without it the suggestion would
    be the drive with the most room, under Wine the root of the file system.
    Returns the list of (step, picture) and the client folder. A failure
    names the last step done and describes the window and the servers."""
    pictures = []
    last = ["none (starting the launcher)"]

    def step(name, text):
        path = shot(name)
        pictures.append((text, path))
        log("%-28s %s" % (text, path))
        last[0] = text

    os.makedirs(save_folder, exist_ok=True)
    reg_set("HKCU\\Software\\RealmPorter", "ClientPath", "REG_SZ", win_path(save_folder))
    L = Launcher()
    try:
        L.start(timeout=120)
        step("tour-1-start", "1 start")
        probe("select", 1)
        L.wait_for(lambda: L.dump()[1][1009]["selected"] == 1, 10, "realm 2")
        step("tour-2-realm", "2 pick a realm")

        settle_access_times(os.path.abspath(save_folder))
        L.click_control(1007)
        L.folder_picker(30, save_folder)
        step("tour-3-folder", "3 choose a folder")
        L.accept_folder()
        # A client already in the folder is only checked: the download can end
        # before a look at the window sees its progress bar.
        finished = lambda: [b for b in L.boxes() if b[0] == "下载完成"]
        L.wait_for(lambda: L.dump()[1][1006]["visible"] or finished(), 30, "the download to start")
        time.sleep(1)
        step("tour-4-downloading", "4 downloading the HD client")
        done = L.wait_for(finished, 900, "the download")
        assert done[0][1] == "是否开始游戏？", done
        step("tour-5-downloaded", "5 downloaded")
        exe = L.dump()[1][1001]["text"]
        assert exe.lower() == (win_path(save_folder) + "\\[HD]Wow3.3.5a\\Wow.exe").lower(), exe
        client = unix_path(exe[:-len("\\Wow.exe")])
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
        # The keys are posted to the launcher's thread, whose menu loop reads
        # every keyboard message of the thread, so they do not depend on which
        # X window has the focus while the main window is hidden.
        step("tour-10-tray-menu", "10 the tray menu")
        probe("post", 0x0100, 0x26, 0)  # WM_KEYDOWN VK_UP: the last item, 退出登录器
        probe("post", 0x0100, 0x0D, 0)  # VK_RETURN
        L.proc.wait(timeout=60)
        step("tour-11-exit", "11 exited")
        return pictures, client
    except TimedOut as e:
        raise TimedOut("the tour stopped after step %s: %s" % (last[0], e)) from e
    except Exception as e:
        raise AssertionError("the tour stopped after step %s: %r\n%s" % (last[0], e, L.describe())) from e
    finally:
        L.stop()
