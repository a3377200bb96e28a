"""Drives the real launcher under Wine and Xvfb for the UI tests: starts it,
reads its windows through the probe program, clicks with xdotool, and takes
screenshots with ImageMagick, kept in the build folder for a person to see."""
import json
import os
import re
import shutil
import subprocess
import time

BUILD = os.environ["RP_BUILD"]
WWW = os.path.join(BUILD, "www")
# Screenshots, what Wine printed and backtraces; the demo keeps its own, and
# a locale's own run (tests/wine/wine-env) keeps its screenshots apart.
OUT = os.environ.get("RP_OUT", BUILD)
LOCALE = os.environ.get("RP_WINE_LOCALE")
SHOTS = os.path.join(OUT, "screenshots-" + LOCALE if LOCALE else "screenshots")
EXE = os.environ.get("RP_EXE", os.path.join(BUILD, "RealmPorter.exe"))
PROBE = os.path.join(BUILD, "rp_probe.exe")
SITE = "https://127.0.0.1:18443"
STDERR = os.path.join(OUT, "launcher-stderr.txt")


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(args, timeout=60, check=False):
    return subprocess.run(args, capture_output=True, timeout=timeout, check=check)


def wine(*args, timeout=60):
    return run(["wine"] + list(args), timeout=timeout)


def probe(*args, timeout=30):
    # A busy machine can make a Wine process slow to start: a probe that
    # times out is reported as failed, and callers that wait try again.
    try:
        r = wine(PROBE, *[str(a) for a in args], timeout=timeout)
    except subprocess.TimeoutExpired:
        return 1, ""
    return r.returncode, r.stdout.decode("utf-8", "replace")


def control(server, path):
    return run(["curl", "-sk", server + path]).stdout.decode()


def reg_set(key, name, kind, value):
    wine("reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f")


def reg_query(key, name):
    """The value's line of `reg query`, or "" when it is not there."""
    r = wine("reg", "query", key, "/v", name)
    return next((line.strip() for line in r.stdout.decode(errors="replace").splitlines() if name in line), "")


def reg_delete_key(key):
    wine("reg", "delete", key, "/f")


def local_appdata():
    prefix = os.environ["WINEPREFIX"]
    users = os.path.join(prefix, "drive_c", "users")
    for user in os.listdir(users):
        p = os.path.join(users, user, "AppData", "Local")
        if user != "Public" and os.path.isdir(p):
            return p
    raise RuntimeError("no user folder in the prefix")


class TimedOut(AssertionError):
    """A wait that ended without its condition; the message describes the window."""


class Launcher:
    def __init__(self):
        self.proc = None

    def start(self, wait_main=True, timeout=60, env=None):
        # What Wine prints (the line of a crash among it) goes to the build
        # folder; RP_UI_WINEDEBUG (a WINEDEBUG value) adds a trace to it.
        # `env` adds variables for the launcher (a test build's stop point).
        env = dict(os.environ, **env) if env else None
        if os.environ.get("RP_UI_WINEDEBUG"):
            env = dict(env or os.environ, WINEDEBUG=os.environ["RP_UI_WINEDEBUG"])
        with open(STDERR, "ab") as err:
            self.proc = subprocess.Popen(["wine", EXE], stdout=subprocess.DEVNULL, stderr=err, env=env)
        if wait_main:
            rc, _ = probe("wait", timeout * 1000, timeout=timeout + 10)
            if rc != 0:
                raise AssertionError("the Main window did not appear")
            time.sleep(0.5)
        return self

    def stop(self):
        probe("kill")
        if self.proc:
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.proc = None

    def dump(self, attempts=5):
        for _ in range(attempts):
            main, controls = self._dump_once()
            if main and controls:
                return main, controls
            time.sleep(0.5)
        return main, controls

    def _dump_once(self):
        rc, out = probe("dump")
        if rc != 0:
            return None, {}
        main, controls = None, {}
        for line in out.splitlines():
            d = json.loads(line)
            if d.get("main"):
                main = d
            else:
                controls.setdefault(d["id"], d)
                controls.setdefault("all", []).append(d)
        return main, controls

    def wait_for(self, predicate, timeout=20, what="condition"):
        end = time.time() + timeout
        while time.time() < end:
            try:
                value = predicate()
            except (KeyError, IndexError, TypeError):
                value = None  # a probe that failed this time (busy machine)
            if value:
                return value
            time.sleep(0.2)
        raise TimedOut("timed out waiting for " + what + "\n" + self.describe())

    def describe(self):
        """What the window shows, the log, the threads, what Wine printed and
        the servers' last requests, for a failure message."""
        lines = []
        try:
            _, controls = self._dump_once()
            for c in controls.get("all", []):
                if c.get("text"):
                    lines.append("control %s%s: %s" % (c["id"], "" if c.get("enabled", True) else " (disabled)",
                                                       c["text"]))
            lines += ["box: " + " | ".join(b) for b in self.boxes()]
        except Exception as e:  # the description must not hide the failure
            lines.append("no dump: %r" % e)
        log = tail(os.path.join(local_appdata(), "RealmPorter", "launcher.log"), 25, "gbk")
        lines += ["log: " + line for line in log] if log is not None else ["no log"]
        lines += backtraces()
        lines += ["wine: " + line for line in tail(STDERR, 5, "utf-8") or []]
        for server in (SITE,) + tuple(MIRRORS):
            try:
                lines += ["%s: %s" % (server, r) for r in requests(server)[-8:]]
            except Exception as e:
                lines.append("%s: %r" % (server, e))
        return "\n".join(lines)

    def boxes(self):
        _, out = probe("boxes")
        return [line.split("|") for line in out.splitlines() if line.strip()]

    def wait_box(self, timeout=20):
        return self.wait_for(lambda: self.boxes(), timeout, "a message box")

    def press(self, text):
        # A box's buttons are labelled in the prefix's own language.
        for t in (text,) + OTHER_LABELS.get(text, ()):
            if probe("press", t)[0] == 0:
                return True
        return False

    def folder_picker(self, timeout=30, folder=None):
        """The client's folder picker: the modern one, titled with the
        instruction, or the folder browser where there is none. With
        `folder`, once its field names that folder: the browser selects the
        suggested folder after it appears, and an OK pressed before then
        takes whatever was selected first."""
        box = self.wait_for(lambda: [b for b in self.boxes() if b[0] in FOLDER_TITLES], timeout, "the folder picker")
        if folder:
            name = os.path.basename(os.path.normpath(folder))
            self.wait_for(lambda: name in probe("boxedit")[1].splitlines(), timeout, "the picker to select " + name)
        return box

    def accept_folder(self):
        return self.press("打开") or self.press("Open") or self.press("确定") or self.press("OK")

    def command(self, cid, count=1):
        probe("command", cid, count)

    def click_control(self, cid):
        main, controls = self.dump()
        c = controls[cid]
        x = main["cx"] + c["x"] + c["w"] // 2
        y = main["cy"] + c["y"] + c["h"] // 2
        run(["xdotool", "mousemove", str(x), str(y), "click", "1"])

    def open_tray_menu(self):
        """Right-clicks the tray icon and waits for its menu: the keys that
        choose an item go to whatever has the focus, and on a busy machine the
        menu can take longer than any fixed pause to come up."""
        probe("tray", 0x0205)
        self.wait_for(lambda: probe("find", "#32768")[1].strip() == "1", 20, "the tray menu")

    def tray_tip(self, timeout=5):
        """The tray icon's tip as Wine's own tray shows it while the pointer
        rests on the icon; "" when none shows within `timeout`."""
        rc, out = probe("trayicon")
        if rc != 0:
            return ""
        x, y = out.split()
        # Off the icon first, so that the tip shows afresh with today's text.
        run(["xdotool", "mousemove", "640", "10"])
        run(["xdotool", "mousemove", x, y, "mousemove_relative", "1", "1"])
        end = time.time() + timeout
        while time.time() < end:
            tips = [line.strip() for line in probe("tips")[1].splitlines() if line.strip()]
            if tips:
                return tips[0]
            time.sleep(0.2)
        return ""

    def screenshot(self, name):
        os.makedirs(SHOTS, exist_ok=True)
        path = os.path.join(SHOTS, name + ".png")
        run(["import", "-window", "root", path], check=True)
        return path


FOLDER_INSTRUCTION = "请选择客户端保存目录（建议选非系统盘）"
FOLDER_TITLES = (FOLDER_INSTRUCTION, "选择文件夹")
OTHER_LABELS = {"确定": ("確定", "OK"), "是": ("Yes",), "否": ("No",)}


def pixel(png, x, y):
    out = run(["convert", png, "-crop", "1x1+%d+%d" % (x, y), "-depth", "8", "txt:-"]).stdout.decode()
    # A comment line, then "0,0: (r,g,b)  #RRGGBB  srgb(...)"
    hexpart = out.strip().splitlines()[-1].split("#")[1][:6]
    return tuple(int(hexpart[i:i + 2], 16) for i in (0, 2, 4))


def write(path, data, mode="wb"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as f:
        f.write(data)


MIRRORS = ("https://127.0.0.1:18082", "https://127.0.0.2:18082", "https://127.0.0.3:18008")
TOOL = os.environ.get("RP_NATIVE_TOOL", os.path.join(BUILD, "..", "native", "realmporter-manifest"))


def publish(product, install_root, src):
    """Serves the folder `src` as client `product` on the three loopback
    mirrors, with a manifest made by the operator's tool."""
    for m in ("m1", "m2", "m3"):
        root = os.path.join(WWW, m, "wow335")
        shutil.rmtree(os.path.join(root, product), ignore_errors=True)
        shutil.copytree(src, os.path.join(root, product, "files"))
    doc = os.path.join(WWW, "m1", "wow335", product + ".json")
    r = run([TOOL, "build", "--product", product, "--install-root", install_root, "--display-name", product,
             "--mirror", MIRRORS[0] + "/wow335/", "--mirror", MIRRORS[1] + "/wow335/",
             "--mirror", MIRRORS[2] + "/wow335/", "--out", doc, src])
    if r.returncode != 0:
        raise RuntimeError(r.stderr.decode())
    for m in ("m2", "m3"):
        shutil.copy(doc, os.path.join(WWW, m, "wow335", product + ".json"))


def unix_path(windows_path):
    return run(["winepath", "-u", windows_path]).stdout.decode().strip()


def requests(server):
    return [line for line in control(server, "/__requests").splitlines() if line]


def tail(path, n, encoding):
    """The last `n` lines of a text file, or None when it cannot be read."""
    try:
        with open(path, encoding=encoding, errors="replace") as f:
            return [line.rstrip() for line in f.readlines()[-n:]]
    except OSError:
        return None


def backtraces():
    """Where each thread of the launcher is, one short line a thread, from
    winedbg; the whole text goes to the build folder."""
    try:
        out = subprocess.run(["winedbg", "--command", "bt all"], capture_output=True, timeout=180,
                             env=dict(os.environ, WINEDEBUG="-all")).stdout.decode("utf-8", "replace")
    except (OSError, subprocess.TimeoutExpired) as e:
        return ["no backtrace: %r" % e]
    blocks, keep = [], False
    for line in out.splitlines():
        if line.startswith("Backtracing for thread"):
            keep = "RealmPorter.exe" in line
            if keep:
                blocks.append([])
        elif keep and re.match(r"\s*=?>?\d+ 0x", line):
            named = re.search(r"0x[0-9a-f]+ ([A-Za-z_]\w*)\+0x[0-9a-f]+\(", line)
            bare = re.search(r"0x[0-9a-f]+ in (\w+) \((\+0x[0-9a-f]+)\)", line)
            blocks[-1].append(named.group(1) if named else bare.group(1) + bare.group(2) if bare else line[:40])
    with open(os.path.join(OUT, "launcher-backtrace.txt"), "w") as f:
        f.write(out)
    return ["thread: " + " < ".join(b[:14]) for b in blocks]


def fresh_start(folder=None):
    """reset_state() and a list of one server; with `folder`, a name under
    the build folder, that folder removed and its path returned."""
    reset_state()
    write(os.path.join(WWW, "site", "serverlist.txt"), "甲服|w|10.1.1.1:3724|10.1.1.1:3724|描述\n".encode())
    if folder:
        path = os.path.join(BUILD, folder)
        shutil.rmtree(path, ignore_errors=True)
        return path


def reset_state():
    """No settings, no cached list, the default site content."""
    reg_delete_key("HKCU\\Software\\RealmPorter")
    for s in (SITE, "https://127.0.0.1:18082", "https://127.0.0.2:18082", "https://127.0.0.3:18008"):
        control(s, "/__clear")
    appdata = os.path.join(local_appdata(), "RealmPorter")
    shutil.rmtree(appdata, ignore_errors=True)
    open(STDERR, "wb").close()
