"""The glass painting, checked on screenshots: plate colours where the
pulse, hover and press fix them, the plain colour without a background, the
progress bar's extent, the open server list, and no GDI leak over time."""
import os
import time
import unittest

from launcher import BUILD, WWW, Launcher, pixel, probe, reset_state, run, write

WM_USER = 1024
WMU_PROGRESS, WMU_CLIENT_CONNECTING = WM_USER + 4, WM_USER + 11
BG = (8, 18, 38)          # the window's own background colour
FALLBACK = (10, 18, 38)   # behind a plate when there is no image
TOP, BOTTOM = (80, 150, 230), (15, 30, 80)


def blend(under, over, alpha):
    return tuple(round(u + (o - u) * alpha / 255.0) for u, o in zip(under, over))


def close(a, b, tol):
    return all(abs(x - y) <= tol for x, y in zip(a, b))


class Paint(unittest.TestCase):
    def setUp(self):
        reset_state()
        write(os.path.join(WWW, "site", "serverlist.txt"), "甲服|w|a:1|a:1|描述\n乙服|w|b:1|b:1|\n".encode())
        self.bg = os.path.join(WWW, "site", "images", "wowbg.jpg")
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()
        run(["xdotool", "mousemove", "0", "0"])

    def no_background(self):
        if os.path.exists(self.bg):
            os.remove(self.bg)
        # Neither a cached nor a shipped image may be found.
        self.shipped = os.path.join(BUILD, "wow_bg.jpg")
        if os.path.exists(self.shipped):
            os.rename(self.shipped, self.shipped + ".off")

    def restore_shipped(self):
        if os.path.exists(self.shipped + ".off"):
            os.rename(self.shipped + ".off", self.shipped)

    def plate_pixel(self, shot, main, c, dx=6):
        # Left part of the plate, away from the text, at mid height.
        return pixel(shot, main["cx"] + c["x"] + dx + 4, main["cy"] + c["y"] + c["h"] // 2)

    def test_plates_without_background(self):
        self.no_background()
        try:
            L = self.launcher.start()
            main, c = L.dump()
            run(["xdotool", "mousemove", "0", "0"])
            time.sleep(0.5)
            shot = L.screenshot("paint-no-background")
            self.assertEqual(pixel(shot, main["cx"] + 20, main["cy"] + 480), BG)
            mid = tuple((t + b) / 2 for t, b in zip(TOP, BOTTOM))
            lo, hi = blend(FALLBACK, mid, 40), blend(FALLBACK, mid, 70)
            for cid in (1011, 1003, 1016, 1017, 1015, 1007, 1004, 1008):
                got = self.plate_pixel(shot, main, c[cid])
                for ch in range(3):
                    self.assertTrue(min(lo[ch], hi[ch]) - 6 <= got[ch] <= max(lo[ch], hi[ch]) + 6,
                                    "plate of %d: %s not between %s and %s" % (cid, got, lo, hi))
            # Hover lifts the plate to 140..170.
            b = c[1003]
            run(["xdotool", "mousemove", str(main["cx"] + b["x"] + b["w"] // 2), str(main["cy"] + b["y"] + b["h"] // 2)])
            time.sleep(0.8)
            shot = L.screenshot("paint-hover")
            got = self.plate_pixel(shot, main, b)
            lo, hi = blend(FALLBACK, mid, 140), blend(FALLBACK, mid, 170)
            for ch in range(3):
                self.assertTrue(min(lo[ch], hi[ch]) - 6 <= got[ch] <= max(lo[ch], hi[ch]) + 6, "hover %s" % (got,))
            # Pressed: exactly 150, whatever the pulse.
            run(["xdotool", "mousedown", "1"])
            time.sleep(0.5)
            shot = L.screenshot("paint-pressed")
            run(["xdotool", "mouseup", "1"])
            got = self.plate_pixel(shot, main, b)
            self.assertTrue(close(got, blend(FALLBACK, mid, 150), 6), "pressed %s" % (got,))
            time.sleep(0.5)
            for box in L.boxes():  # the press started the game without a path: close its box
                L.press("确定") or L.press("OK")
        finally:
            self.restore_shipped()

    def test_progress_bar_extent_and_background_image(self):
        L = self.launcher.start()
        main, c = L.dump()
        shot = L.screenshot("paint-with-background")
        self.assertNotEqual(pixel(shot, main["cx"] + 20, main["cy"] + 480), BG, "the image is painted")
        probe("post", WMU_CLIENT_CONNECTING, 0, 0)
        bar = c[1006]
        y = main["cy"] + bar["y"] + bar["h"] // 2
        x0 = main["cx"] + bar["x"]
        for pos, inside, outside in ((1, 4 + 10, 4 + 18), (50, 4 + 370, 4 + 390), (100, 768 - 4 - 3, None)):
            probe("post", WMU_PROGRESS, pos, 0)
            L.wait_for(lambda: L.dump()[1][1006]["pos"] == pos, 10, "position %d" % pos)
            time.sleep(0.4)
            shot = L.screenshot("paint-progress-%d" % pos)
            filled = pixel(shot, x0 + inside, y)
            self.assertGreater(sum(filled), 450, "bar at %d is bright at +%d: %s" % (pos, inside, filled))
            if outside:
                track = pixel(shot, x0 + outside, y)
                self.assertLess(sum(track), 300, "track at %d is dark at +%d: %s" % (pos, outside, track))

    def test_open_server_list(self):
        L = self.launcher.start()
        L.click_control(1009)
        time.sleep(1.0)
        shot = L.screenshot("paint-server-list-open")
        main, c = L.dump()
        combo = c[1009]
        # The open list shows its items under the field; the selected one is lighter.
        first_item = pixel(shot, main["cx"] + combo["x"] + 12, main["cy"] + combo["y"] + combo["h"] + 16)
        self.assertGreater(sum(first_item), sum(BG) + 30)
        run(["xdotool", "key", "Escape"])

    def test_high_contrast_plain_colours(self):
        L = self.launcher.start(env={"REALMPORTER_TEST_HIGH_CONTRAST": "1"})
        main, c = L.dump()
        run(["xdotool", "mousemove", "0", "0"])
        time.sleep(0.5)
        shot = L.screenshot("paint-high-contrast")
        # No image, no glass: the system's window and button colours, with
        # the texts in the system's dark text colour on them.
        self.assertGreater(sum(pixel(shot, main["cx"] + 20, main["cy"] + 480)), 600, "the window's colour")
        b = c[1003]
        self.assertGreater(sum(self.plate_pixel(shot, main, b)), 600, "the button's face")
        dark = run(["convert", shot, "-crop", "%dx%d+%d+%d" % (b["w"] - 16, b["h"] - 12, main["cx"] + b["x"] + 8,
                                                               main["cy"] + b["y"] + 6),
                    "-colorspace", "gray", "-threshold", "40%", "-negate", "-format", "%[fx:mean*w*h]", "info:"])
        self.assertGreater(float(dark.stdout.decode()), 60, "the label in dark text")

    def test_no_leak_from_the_pulse(self):
        L = self.launcher.start()
        time.sleep(3)
        _, gdi0 = probe("gdi")
        _, mem0 = probe("mem")
        time.sleep(12)  # about 150 timer-driven repaints of every control
        _, gdi1 = probe("gdi")
        _, mem1 = probe("mem")
        if gdi0.strip() and int(gdi0) > 0:
            self.assertLessEqual(int(gdi1), int(gdi0) + 5, "GDI objects")
        # Wine does not count GDI objects; a bitmap or DC lost per repaint
        # would still show as growing memory (13 controls, ~150 repaints).
        self.assertLess(int(mem1) - int(mem0), 6 * 1048576, "private bytes grew from %s to %s" % (mem0, mem1))


if __name__ == "__main__":
    unittest.main(verbosity=2)
