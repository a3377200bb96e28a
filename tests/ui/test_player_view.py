"""What the player sees whatever the system: the launcher's own boxes with
Chinese from its bundled font, realm names that fit, a × that answers at
once. (The boxes' own test, Window.test_boxes_draw_chinese_with_the_bundled_font,
runs also under en_US.UTF-8, whose prefix has no Chinese font.)"""
import os
import time
import unittest

from launcher import BUILD, WWW, Launcher, local_appdata, pixel, probe, reset_state, run, write

LONG = "星桥演示・巫妖王之怒・怀旧经典服"
SERVERS = ("星桥演示・巫妖|rptest://register/one|10.0.0.1:3724|10.0.0.1:3725|第一服的介绍\n"
           + LONG + "|rptest://register/two|10.0.0.2:3724|10.0.0.2:3724|第二服\n").encode()
FONT = os.path.join(BUILD, "res", "NotoSansSC-Bold.otf")
BALLOON = "登录器在通知区域继续运行，下载不会中断。单击图标打开窗口；右键单击图标，选择“退出登录器”即可退出。"


def ink_width(text, px):
    """Width in pixels of `text` drawn with the bundled font at `px`."""
    out = run(["convert", "-font", FONT, "-pointsize", str(px), "-density", "72", "label:" + text, "-trim",
               "-format", "%w", "info:"]).stdout.decode()
    return int(out)


class PlayerView(unittest.TestCase):
    def setUp(self):
        reset_state()
        write(os.path.join(WWW, "site", "serverlist.txt"), SERVERS)
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()

    def test_long_realm_names_fit(self):
        L = self.launcher.start()
        main, c = L.dump()
        self.assertEqual(c[1009]["items"][1], LONG)
        self.assertGreaterEqual(c[1009]["dropped"], ink_width(LONG, 16) + 24, "the open list is too narrow")
        probe("select", 1)
        L.wait_for(lambda: L.dump()[1][1009]["w"] > 135, 10, "the box to widen for the long name")
        _, c = L.dump()
        self.assertGreaterEqual(c[1009]["w"], ink_width(LONG, 16) + 34)
        self.assertEqual(c[1010]["x"], 140 + c[1009]["w"] + 14, "the description moves beside the box")
        self.assertEqual(c[1010]["x"] + c[1010]["w"], 804, "and keeps its right edge")
        self.assertEqual((c[1011]["x"], c[1011]["y"], c[1011]["w"]), (36, 196, 181), "other controls stay")
        L.click_control(1009)
        time.sleep(1.0)
        L.screenshot("realm-list-open")
        run(["xdotool", "key", "Escape"])

    def test_close_hides_at_once(self):
        L = self.launcher.start()
        main, _ = L.dump()
        x, y = main["cx"] + 420, main["cy"] + 8
        before = pixel(L.screenshot("close-before"), x, y)
        self.assertGreater(sum(before), 0)
        probe("post", 0x0010, 0, 0)  # WM_CLOSE, as × sends it
        time.sleep(0.1)
        after = run(["import", "-window", "root", "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"])
        self.assertIn("#000000", after.stdout.decode(), "the window is still drawn 100 ms after ×")
        L.wait_for(lambda: "visible=0" in probe("state")[1], 10, "the window to hide")
        # The first hide of the run: Wine's tray shows the balloon that says
        # the launcher keeps running there and how to quit.
        L.wait_for(lambda: BALLOON in probe("tips")[1], 15, "the balloon")
        probe("tray", 0x0202)
        L.wait_for(lambda: "visible=1" in probe("state")[1], 10, "shown from the tray")
        time.sleep(1.0)
        self.assertEqual(pixel(L.screenshot("close-shown-again"), x, y), before)
        # It comes once a run: a second hide asks the shell for none.
        probe("post", 0x0010, 0, 0)
        L.wait_for(lambda: "visible=0" in probe("state")[1], 10, "the window to hide again")
        with open(os.path.join(local_appdata(), "RealmPorter", "launcher.log"), encoding="gbk", errors="replace") as f:
            balloons = [line for line in f if "Tray balloon shown" in line]
        self.assertEqual(len(balloons), 1, balloons)
        self.assertTrue(balloons[0].rstrip().endswith("Tray balloon shown: 1"), balloons)


if __name__ == "__main__":
    unittest.main(verbosity=2)
