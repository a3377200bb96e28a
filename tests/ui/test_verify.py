"""The client check through its button: the edition told from the files, one
box with what was found, and the repair it offers."""
import os
import shutil
import unittest

from launcher import BUILD, MIRRORS, WWW, Launcher, control, publish, reg_set, reset_state, win_path, write

from test_jobs import P5, P6, blob, read


class Verify(unittest.TestCase):
    def setUp(self):
        reset_state()
        self.work = os.path.join(BUILD, "ui-verify")
        shutil.rmtree(self.work, ignore_errors=True)
        # Two editions that differ in the two patch archives.
        self.normal = os.path.join(self.work, "normal-src")
        self.files = {"Wow.exe": b"MZ game", "Data/common.MPQ": blob(1500000, 1), P5: blob(200000, 5),
                      P6: blob(100000, 7), "realmlist.wtf": b"set realmlist 10.1.1.1"}
        for rel, data in self.files.items():
            write(os.path.join(self.normal, *rel.split("/")), data)
        hd = os.path.join(self.work, "hd-src")
        shutil.copytree(self.normal, hd)
        write(os.path.join(hd, *P5.split("/")), blob(300000, 6))
        write(os.path.join(hd, *P6.split("/")), blob(120000, 8))
        publish("wow335-normal", "Wow3.3.5a", self.normal)
        publish("wow335-hd", "[HD]Wow3.3.5a", hd)
        self.game = os.path.join(self.work, "saves", "Wow3.3.5a")
        shutil.copytree(self.normal, self.game)
        reg_set("HKCU\\Software\\RealmPorter", "WowPath", "REG_SZ", win_path(os.path.join(self.game, "Wow.exe")))
        self.launcher = Launcher()

    def tearDown(self):
        self.launcher.stop()
        for m in ("m1", "m2", "m3"):
            for product in ("wow335-normal", "wow335-hd"):
                shutil.rmtree(os.path.join(WWW, m, "wow335", product), ignore_errors=True)
                if os.path.exists(os.path.join(WWW, m, "wow335", product + ".json")):
                    os.remove(os.path.join(WWW, m, "wow335", product + ".json"))

    def box_text(self, L):
        """The box's title and its whole text: the probe gives each line of a
        text of several lines apart."""
        L.wait_box(60)
        lines = ["|".join(b) for b in L.boxes()]
        return lines[0].split("|")[0], "\n".join([lines[0].split("|", 1)[1]] + lines[1:])

    def local(self, rel):
        return os.path.join(self.game, *rel.split("/"))

    def test_check_finds_damage_and_repairs_it(self):
        damaged = bytearray(self.files["Data/common.MPQ"])
        damaged[700000:704096] = bytes(4096)
        write(self.local("Data/common.MPQ"), bytes(damaged))
        os.remove(self.local("realmlist.wtf"))
        write(self.local("WTF/Config.wtf"), b"SET x 1")
        L = self.launcher.start()
        L.command(1018)
        box = self.box_text(L)
        L.screenshot("verify-result")
        self.assertEqual(box[0], "校验客户端")
        self.assertTrue(box[1].startswith("怀旧客户端已检查 5 个文件：损坏 1 个，缺失 1 个，旧版本 0 个。"), box[1])
        self.assertIn("是否立即修复？", box[1])
        self.assertTrue(L.press("是"))
        L.wait_for(lambda: "已修复" in "".join("|".join(b) for b in L.boxes()), 60, "the repair's box")
        box = self.box_text(L)
        L.screenshot("verify-repaired")
        self.assertEqual(box[0], "校验客户端")
        self.assertIn("已修复 2 个文件，移除过期文件 0 个，共下载 ", box[1])
        for rel, data in self.files.items():
            self.assertEqual(read(self.local(rel)), data, rel)
        self.assertEqual(read(self.local("WTF/Config.wtf")), b"SET x 1")
        L.press("确定")
        L.wait_for(lambda: L.dump()[1][1018]["text"] == "校验客户端" and L.dump()[1][1018]["enabled"], 20,
                   "the check button back")

    def test_a_cancelled_repair_says_what_it_changed(self):
        damaged = bytearray(self.files["Data/common.MPQ"])
        damaged[0:4096] = bytes(4096)
        write(self.local("Data/common.MPQ"), bytes(damaged))
        for m in MIRRORS:
            control(m, "/__fault?path=/wow335/wow335-normal/files/*&kind=slow&arg=20000")
        L = self.launcher.start()
        L.command(1018)
        self.box_text(L)
        self.assertTrue(L.press("是"))
        L.wait_for(lambda: L.dump()[1][1018]["text"] == "取消校验", 30, "the repair")
        L.command(1018)
        self.assertEqual(L.wait_box()[0][0], "取消校验")
        L.press("是")
        L.wait_for(lambda: L.dump()[1][1018]["text"] == "校验客户端", 20, "the cancel")
        self.assertEqual(L.dump()[1][1005]["text"], "已取消，客户端文件未作改动，下次继续")
        self.assertEqual(read(self.local("Data/common.MPQ")), bytes(damaged))

    def test_the_other_editions_patch_is_refused(self):
        L = self.launcher.start()
        L.command(1008)
        box = L.wait_box(30)[0]
        L.screenshot("verify-hd-patch-refused")
        self.assertEqual(box[0], "提示")
        self.assertTrue(box[1].startswith("游戏目录中是怀旧客户端，不能安装高清补丁"), box[1])
        self.assertEqual(read(self.local(P5)), self.files[P5])

    def test_a_folder_of_neither_edition_is_named_plainly(self):
        for rel in ("Data/common.MPQ", P5, P6, "realmlist.wtf"):
            os.remove(self.local(rel))
        L = self.launcher.start()
        L.command(1018)
        box = L.wait_box(60)[0]
        self.assertEqual(box[0], "校验客户端")
        self.assertIn("既不是怀旧客户端，也不是高清客户端", box[1])


if __name__ == "__main__":
    unittest.main()
