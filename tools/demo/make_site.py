#!/usr/bin/env python3
"""Builds the demo operator's site under a www folder: a server list of three
realms on loopback, a background image, two demo clients (wow335-hd and
wow335-normal, each with both patch archives and the demo Wow.exe) with
manifests made by realmporter-manifest, and two addon packs.

  make_site.py WWW --tool REALMPORTER_MANIFEST --wow DEMO_WOW_EXE
               --background JPG [--client-mb N]
"""
import argparse
import io
import os
import random
import shutil
import subprocess
import zipfile

MIRRORS = ["https://127.0.0.1:18082/wow335/", "https://127.0.0.2:18082/wow335/", "https://127.0.0.3:18008/wow335/"]
SERVERS = (
    "星桥演示·巫妖王之怒|https://www.realmporter.example/register|127.0.0.1:3724|127.0.0.1:3724|演示服：经验五倍，稳定长久\n"
    "星桥演示·燃烧的远征|https://www.realmporter.example/register|127.0.0.1:3725|127.0.0.1:3725|演示服：怀旧经典\n"
    "星桥演示·测试服|https://www.realmporter.example/register|127.0.0.1:3726|127.0.0.1:3726|\n"
    "[Config]\n")


def random_file(path, size, seed):
    rnd = random.Random(seed)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 1 << 20)
            f.write(rnd.randbytes(n))
            left -= n


def make_client(src, wow, mb, seed):
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(os.path.join(src, "Data", "zhCN"))
    shutil.copy(wow, os.path.join(src, "Wow.exe"))
    total = mb * 1048576
    random_file(os.path.join(src, "Data", "common.MPQ"), total * 6 // 10, seed)
    random_file(os.path.join(src, "Data", "zhCN", "locale-zhCN.MPQ"), total * 2 // 10, seed + 1)
    random_file(os.path.join(src, "Data", "zhCN", "patch-zhCN-5.MPQ"), total // 10, seed + 2)
    random_file(os.path.join(src, "Data", "zhCN", "patch-zhCN-6.MPQ"), total // 10, seed + 3)
    with open(os.path.join(src, "Data", "zhCN", "realmlist.wtf"), "wb") as f:
        f.write(b'set realmlist "127.0.0.1"\r\nset patchlist "127.0.0.1"\r\n')
    os.makedirs(os.path.join(src, "Interface", "AddOns"))


def publish(www, tool, product, install_root, src):
    for m in ("m1", "m2", "m3"):
        root = os.path.join(www, m, "wow335")
        target = os.path.join(root, product, "files")
        shutil.rmtree(os.path.join(root, product), ignore_errors=True)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if m == "m1":
            shutil.copytree(src, target)
        else:  # hard links: the three mirrors serve the same bytes
            shutil.copytree(os.path.join(www, "m1", "wow335", product, "files"), target, copy_function=os.link)
    doc = os.path.join(www, "m1", "wow335", product + ".json")
    args = [tool, "build", "--product", product, "--install-root", install_root, "--display-name",
            "星桥演示客户端 " + product, "--out", doc]
    for m in MIRRORS:
        args += ["--mirror", m]
    subprocess.run(args + [src], check=True)
    for m in ("m2", "m3"):
        shutil.copy(doc, os.path.join(www, m, "wow335", product + ".json"))


def addon(path, title):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("Interface/AddOns/%s/%s.toc" % (title, title), "## Interface: 30300\n## Title: %s\n" % title)
        z.writestr("Interface/AddOns/%s/%s.lua" % (title, title), "print('%s loaded')\n" % title)
        z.writestr("WTF/%s.txt" % title, "demo settings\n")
    with open(path, "wb") as f:
        f.write(buf.getvalue())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("www")
    p.add_argument("--tool", required=True)
    p.add_argument("--wow", required=True)
    p.add_argument("--background", required=True)
    p.add_argument("--client-mb", type=int, default=150)
    a = p.parse_args()
    www = os.path.abspath(a.www)
    os.makedirs(os.path.join(www, "site", "images"), exist_ok=True)
    with open(os.path.join(www, "site", "serverlist.txt"), "w", encoding="utf-8") as f:
        f.write(SERVERS)
    shutil.copy(a.background, os.path.join(www, "site", "images", "wowbg.jpg"))
    work = os.path.join(www, "..", "demo-src")
    for product, root, seed in (("wow335-hd", "[HD]Wow3.3.5a", 10), ("wow335-normal", "Wow3.3.5a", 20)):
        src = os.path.join(work, product)
        make_client(src, a.wow, a.client_mb, seed)
        publish(www, a.tool, product, root, src)
    addon(os.path.join(www, "m2", "大脚插件.zip"), "BigFootDemo")
    addon(os.path.join(www, "m2", "魔盒插件.zip"), "MoheDemo")
    print("demo site ready in", www)


if __name__ == "__main__":
    main()
