"""The real window under Xvfb: start-up, clicks on "ПРОВЕРИТЬ" and "ИКОНКИ", keys, closing,
and the default configuration of a launcher placed in a client folder.

    VORN_BUILD_DIR=build python3 tests/e2e/test_window.py

The launcher runs its window against a local-test configuration (no action on the command
line). xdotool clicks and presses keys, ImageMagick's import photographs the screen.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LAUNCHER = harness.Launcher(BUILD)
SCREEN = (1280, 800)

# Client pixels of the layout.
CHECK_BUTTON = (545, 437)
ICONS_BUTTON = (672, 437)
PLAY_FACE = (140, 414)
PROGRESS_END = (640, 353)
CLOSE_ZONE = (1068, 30)
HINT = (177, 370, 702, 395)

PLAY_OFF = (26, 22, 22)
FILL = (210, 31, 35)


def wait_until(predicate, timeout=30.0, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


class Display:
    """A private Xvfb server."""

    def __init__(self):
        self.number = 90 + os.getpid() % 100
        while Path("/tmp/.X%d-lock" % self.number).exists():
            self.number += 1
        self.name = ":%d" % self.number
        self.process = subprocess.Popen(
            ["Xvfb", self.name, "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: Path("/tmp/.X11-unix/X%d" % self.number).exists(), 10):
            raise RuntimeError("Xvfb did not start")

    def env(self):
        env = LAUNCHER.env()
        env["DISPLAY"] = self.name
        # A prefix of its own, booted on this display: Wine binds its desktop to the display
        # it was started with, and the tests' shared prefix was started without one.
        env["WINEPREFIX"] = str(BUILD.resolve() / "wineprefix-window")
        return env

    def boot_wine(self):
        subprocess.run(["wine", "wineboot", "-i"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)

    def stop_wine(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def tool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env(), capture_output=True,
                              text=True, timeout=20).stdout

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class WindowRun:
    def __init__(self, display, scene=None, exe=None, cwd=None):
        self.display = display
        command = ["wine", str(exe or LAUNCHER.exe)]
        if scene is not None:
            command += ["--qa-config", harness.windows_path(scene.config)]
        self.process = subprocess.Popen(command, env=display.env(), cwd=cwd,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.window = None
        self.origin = (0, 0)

    def find(self):
        found = []

        def search():
            output = self.display.tool("search", "--name", "^Vornell$")
            found[:] = output.split()
            return bool(found)

        if not wait_until(search, 60):
            raise AssertionError("the launcher window did not appear")
        self.window = found[-1]
        geometry = self.display.tool("getwindowgeometry", self.window)
        x, y = re.search(r"Position: (\d+),(\d+)", geometry).groups()
        self.origin = (int(x), int(y))

    def click(self, point):
        x, y = self.origin[0] + point[0], self.origin[1] + point[1]
        self.display.tool("mousemove", str(x), str(y))
        time.sleep(0.2)
        self.display.tool("click", "1")

    def key(self, name):
        # Without a window manager Wine takes the key once the window is given the focus.
        self.display.tool("key", "--window", self.window, name)
        self.display.tool("windowfocus", "--sync", self.window)

    def photo(self, path):
        subprocess.run(["import", "-window", "root", str(path)], env=self.display.env(),
                       check=True, timeout=30)
        return Photo(path, self.origin)

    def ended(self, timeout=15):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


class Photo:
    """Pixels of a screenshot, addressed in client coordinates of the window."""

    def __init__(self, path, origin):
        ppm = Path(str(path) + ".ppm")
        subprocess.run(["convert", str(path), "-depth", "8", str(ppm)], check=True)
        data = ppm.read_bytes()
        parts = data.split(b"\n", 3)
        self.width, self.height = map(int, parts[1].split())
        self.pixels = parts[3]
        self.origin = origin

    def at(self, point):
        x, y = self.origin[0] + point[0], self.origin[1] + point[1]
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def region(self, rect):
        left, top, right, bottom = rect
        return [self.at((x, y)) for y in range(top, bottom) for x in range(left, right)]


class OnDisplay(unittest.TestCase):
    """Tests that share one private display and its Wine prefix."""

    display_class = Display

    @classmethod
    def setUpClass(cls):
        if not shutil.which("Xvfb") or not shutil.which("xdotool"):
            raise unittest.SkipTest("Xvfb and xdotool are installed by the bootstrap")
        cls.display = cls.display_class()
        cls.display.boot_wine()

    @classmethod
    def tearDownClass(cls):
        cls.display.stop_wine()
        cls.display.stop()


class Window(OnDisplay):

    def setUp(self):
        self.scene = harness.Scene(LAUNCHER)
        self.addCleanup(self.scene.close)
        self.shots = Path(tempfile.mkdtemp(prefix="vorn-window-"))
        self.addCleanup(shutil.rmtree, self.shots, True)

    def start(self):
        run = WindowRun(self.display, self.scene)
        self.addCleanup(run.kill)
        run.find()
        return run

    def test_start_up_then_check_then_close(self):
        run = self.start()
        # The start-up check asks the feed for its manifest.
        self.assertTrue(wait_until(lambda: any("manifest.json" in r
                                               for r in self.scene.nginx.requests())))
        time.sleep(1.0)
        before = run.photo(self.shots / "startup.png")
        self.assertEqual(before.at(PLAY_FACE), PLAY_OFF)  # an unverified client cannot play
        run.click(CHECK_BUTTON)
        receipt = self.scene.cache / "installed-v2.json"
        self.assertTrue(wait_until(receipt.exists, 60), "the check wrote no receipt")
        time.sleep(1.0)
        after = run.photo(self.shots / "checked.png")
        self.assertEqual(after.at(PROGRESS_END), FILL)  # the check ends at 100 %
        self.assertEqual(after.at(PLAY_FACE), PLAY_OFF)  # never in a local test
        run.click(CLOSE_ZONE)
        self.assertEqual(run.ended(), 0)

    def test_the_icons_button_installs_the_guild_icons(self):
        run = self.start()
        self.assertTrue(wait_until(lambda: any("manifest.json" in r
                                               for r in self.scene.nginx.requests())))
        time.sleep(1.0)
        run.click(ICONS_BUTTON)
        state = self.scene.cache / "guild-state-v2.json"
        self.assertTrue(wait_until(state.exists, 60), "the icons action recorded no icons")
        entries = self.scene.surfaces_entries()
        self.assertEqual(entries[b"surfaces\\iconset\\iconlist_guild.txt"], harness.GUILD_LIST)
        time.sleep(1.0)
        done = run.photo(self.shots / "icons.png")
        self.assertEqual(done.at(PROGRESS_END), FILL)  # the action ends at 100 %
        run.click(CLOSE_ZONE)
        self.assertEqual(run.ended(), 0)

    def test_escape_closes(self):
        run = self.start()
        self.assertTrue(wait_until(lambda: any("manifest.json" in r
                                               for r in self.scene.nginx.requests())))
        time.sleep(1.0)
        run.key("Escape")
        self.assertEqual(run.ended(), 0)

    def test_enter_presses_the_focused_button_and_ctrl_break_nothing(self):
        # A damaged file: an update would download its blob, a check only reports it.
        damaged = next(path for path in self.scene.files if path.endswith(".pck"))
        (self.scene.client.root / damaged).write_bytes(b"damaged")
        run = self.start()

        def manifest_reads():
            return sum("manifest.json " in r for r in self.scene.nginx.requests())

        self.assertTrue(wait_until(lambda: manifest_reads() > 0))
        time.sleep(1.5)
        after_startup = manifest_reads()
        run.key("ctrl+Break")
        run.key("Return")  # no button has the focus yet: nothing happens
        time.sleep(2.0)
        self.assertEqual(manifest_reads(), after_startup, "a key started an action")
        # Play is off in a local test, so the first Tab stop is "ОБНОВИТЬ", the second
        # "ПРОВЕРИТЬ".
        run.key("Tab")
        run.key("Tab")
        run.key("Return")
        self.assertTrue(wait_until(lambda: manifest_reads() > after_startup, 30),
                        "Enter on the focused Check button ran no check")
        time.sleep(2.0)
        blobs = [r for r in self.scene.nginx.requests() if ".dat " in r]
        self.assertEqual(blobs, [], "an update ran")
        self.assertEqual(run.process.poll(), None)
        games = subprocess.run(["pgrep", "-f", "elementclient.exe"], capture_output=True)
        self.assertNotEqual(games.returncode, 0, "the game was started")
        run.click(CLOSE_ZONE)
        self.assertEqual(run.ended(), 0)

    def test_close_zone_closes(self):
        run = self.start()
        self.assertTrue(wait_until(lambda: any("manifest.json" in r
                                               for r in self.scene.nginx.requests())))
        time.sleep(1.0)
        run.click(CLOSE_ZONE)
        self.assertEqual(run.ended(), 0)

    def test_closing_while_busy_waits(self):
        stalling = harness.Stalling(6)
        self.addCleanup(stalling.stop)
        self.scene.configure(manifestUrl=stalling.url() + "manifest.json")
        run = self.start()
        time.sleep(1.5)
        before = run.photo(self.shots / "busy.png").region(HINT)
        run.key("Escape")
        time.sleep(1.0)
        self.assertIsNone(run.process.poll(), "the window closed while busy")
        after = run.photo(self.shots / "waiting.png").region(HINT)
        self.assertNotEqual(before, after, "the waiting hint was not shown")
        # Once the start-up check has ended (the stalled requests time out), closing works.
        def closed():
            run.click(CLOSE_ZONE)
            return run.ended(2) is not None

        self.assertTrue(wait_until(closed, 60, 0))
        self.assertEqual(run.process.returncode, 0)


def compact(document):
    return json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def client_key(windows_root):
    """The key the launcher derives for a client folder spelled as the file system stores it."""
    text = windows_root.rstrip("\\") + "\\"
    folded = "".join(c.lower() if "A" <= c <= "Z" else c for c in text)
    return hashlib.sha256(folded.encode("utf-16-le")).hexdigest()


def files_under(folder, skip):
    """{path: (size, mtime)} of every file under `folder`, leaving out the folders in `skip`."""
    found = {}
    for path in folder.rglob("*"):
        if any(path == s or s in path.parents for s in skip) or not path.is_file():
            continue
        stat = path.stat()
        found[path] = (stat.st_size, stat.st_mtime_ns)
    return found


class DefaultConfiguration(OnDisplay):
    """The launcher placed in a client folder and started with no option: the built-in
    endpoints under the reserved .example domain, which nothing answers here."""

    DEFAULT_MANIFEST = "https://update.vornell.example/upd/manifest.json"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        prefix = Path(cls.display.env()["WINEPREFIX"])
        cls.local = next(prefix.glob("drive_c/users/*/AppData/Local"))

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="vorn-default-"))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.client = self.dir / "Клиент Vornell"
        (self.client / "element").mkdir(parents=True)
        shutil.copyfile(LAUNCHER.game, self.client / "element" / "elementclient.exe")
        (self.client / "element" / "data.pck").write_bytes(b"game data")
        shutil.copyfile(LAUNCHER.exe, self.client / "VornellLauncher.exe")
        self.key = client_key(harness.windows_path(self.client))
        self.service = self.local / "Vornell" / "Launcher" / "Clients" / self.key
        self.addCleanup(shutil.rmtree, self.service, True)
        self.shots = Path(tempfile.mkdtemp(prefix="vorn-default-shots-"))
        self.addCleanup(shutil.rmtree, self.shots, True)
        self.started_in = self.dir / "elsewhere"  # a shortcut's start folder
        self.started_in.mkdir()

    def write_receipt(self):
        receipt = {"schema": 2, "root": self.key,
                   "feed": hashlib.sha256(self.DEFAULT_MANIFEST.encode()).hexdigest(),
                   "manifest_key": "ab" * 32, "version": "18", "etag": "\"e1\"",
                   "content_length": 100, "verified_at_utc": "2026-12-01T10:00:00Z"}
        receipt["checksum"] = hashlib.sha256(compact(receipt).encode()).hexdigest()
        self.service.mkdir(parents=True, exist_ok=True)
        (self.service / "installed-v2.json").write_text(json.dumps(receipt, indent=2) + "\n")

    def run_offline(self, name):
        """Starts the window, waits for its start-up report, photographs it, closes it."""
        watched = [self.dir, self.local.parent.parent]
        before = {folder: files_under(folder, [self.client, self.service]) for folder in watched}
        run = WindowRun(self.display, exe=self.client / "VornellLauncher.exe",
                        cwd=self.started_in)
        self.addCleanup(run.kill)
        run.find()
        queue = self.service / "diagnostics-pending-v2"

        def start_up_reported():
            # The self-update's report of the unreachable release host may come first.
            return queue.exists() and any('"manifest_failed"' in f.read_text()
                                          for f in queue.glob("*.json"))
        self.assertTrue(wait_until(start_up_reported, 90),
                        "the start-up check stored no report of the unreachable server")
        time.sleep(1.0)
        photo = run.photo(self.shots / (name + ".png"))
        run.click(CLOSE_ZONE)
        self.assertEqual(run.ended(), 0)
        after = {folder: files_under(folder, [self.client, self.service]) for folder in watched}
        for folder in watched:
            self.assertEqual(after[folder], before[folder],
                             "written outside the client and its service folder")
        self.assertTrue(start_up_reported())
        return photo

    def test_without_a_receipt_the_client_waits_for_a_check(self):
        photo = self.run_offline("no-receipt")
        self.assertEqual(photo.at(PLAY_FACE), PLAY_OFF)
        self.assertFalse((self.service / "installed-v2.json").exists())

    def test_a_verified_client_stays_playable_offline(self):
        self.write_receipt()
        photo = self.run_offline("receipt")
        self.assertNotEqual(photo.at(PLAY_FACE), PLAY_OFF, "a verified client cannot play")


if __name__ == "__main__":
    unittest.main(verbosity=2)
