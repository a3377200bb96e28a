"""End to end, as a player: the tour over a small demo site."""
import os
import shutil
import subprocess
import unittest

from launcher import BUILD, TOOL, WWW, Launcher, reset_state
import tour


class Tour(unittest.TestCase):
    def test_player_tour(self):
        reset_state()
        subprocess.run(["python3", os.path.join(os.path.dirname(__file__), "..", "..", "tools", "demo", "make_site.py"),
                        WWW, "--tool", TOOL, "--wow", os.path.join(BUILD, "demo-wow.exe"),
                        "--background", os.path.join(BUILD, "wow_bg.jpg"), "--client-mb", "4"], check=True)
        launcher = Launcher()
        saves = os.path.join(BUILD, "tour-clients")
        self.addCleanup(shutil.rmtree, saves, True)
        pictures, client = tour.tour(lambda name: launcher.screenshot(name), saves)
        self.assertTrue(os.path.isfile(os.path.join(client, "Data", "zhCN", "patch-zhCN-6.MPQ")))
        self.assertEqual(len(pictures), 11)
        for _, path in pictures:
            self.assertTrue(os.path.getsize(path) > 0, path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
