"""A client whose launcher replaces itself, for the self-update's end-to-end tests.

Build N (this build's VornellLauncher.exe) stands in the client folder with the updater
built with it in element; a new build is published with the feed tool's release command
beside the feed. Everything runs under a private Xvfb display: the updater and the new
launcher open windows.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import test_window  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build")).resolve()
LAUNCHER = harness.Launcher(BUILD)
UPDATER = BUILD / "src" / "updater" / "VornellUpdater.exe"
NEXT_LAUNCHER = BUILD / "tests" / "VornellLauncherNext.exe"
NEXT_BUILD = "2026.10.26.5"
SILENT_LAUNCHER = BUILD / "tests" / "fake_launcher.exe"
# A release signed by the build itself: the launcher that pins the test signer and embeds
# the signed updater's digest, that updater, and the next build signed by the same signer.
PINNED_LAUNCHER = harness.Launcher(BUILD, "VornellLauncherPinned")
SIGNED_UPDATER = BUILD / "tests" / "signed" / "VornellUpdater.exe"
SIGNED_NEXT_LAUNCHER = BUILD / "tests" / "signed" / "VornellLauncherNext.exe"
wait_until = test_window.wait_until


def digest(data):
    return hashlib.sha256(data).hexdigest()


class Display(test_window.Display):
    """An Xvfb display with a Wine prefix of the self-update tests' own."""

    def env(self):
        env = super().env()
        env["WINEPREFIX"] = str(BUILD / "wineprefix-selfupdate")
        return env


class SelfUpdateScene:
    def __init__(self, display, new_launcher, build=NEXT_BUILD, launcher=LAUNCHER,
                 updater=UPDATER):
        self.display = display
        self.scene = harness.Scene(launcher)
        self.root = self.scene.client.root
        self.cache = self.scene.cache
        self.launcher = self.root / "VornellLauncher.exe"
        self.backup = self.root / "VornellLauncher.backup.exe"
        shutil.copyfile(launcher.exe, self.launcher)
        shutil.copyfile(updater, self.root / "element" / "VornellUpdater.exe")
        self.old = self.launcher.read_bytes()
        self.new = Path(new_launcher).read_bytes()
        self.new_sha = digest(self.new)
        self.staged = self.root / ("VornellLauncher.update.%s.exe" % self.new_sha)
        self.result = self.scene.dir / "result.json"
        downloads = self.scene.feed.root / "downloads"
        downloads.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(new_launcher, downloads / "VornellLauncher.exe")
        harness.feed_tool("release", downloads / "VornellLauncher.exe",
                          downloads / "launcher-release-v1.json", "--build", build,
                          "--url", self.scene.nginx.url("downloads/VornellLauncher.exe"),
                          "--quiet")

    def start(self, action="startup", cwd=None, stderr=subprocess.DEVNULL):
        """The launcher at the client's launcher path, headless, with the given action."""
        if self.result.exists():
            self.result.unlink()
        return subprocess.Popen(
            ["wine", harness.windows_path(self.launcher), "--qa-config",
             harness.windows_path(self.scene.config), "--qa-action", action, "--qa-result",
             harness.windows_path(self.result)],
            env=self.display.env(), cwd=cwd, stdout=subprocess.DEVNULL, stderr=stderr)

    def run(self, action="startup", timeout=180):
        """(exit code, result document or None)."""
        code = self.start(action).wait(timeout)
        document = json.loads(self.result.read_text()) if self.result.exists() else None
        return code, document

    def ask_session_end(self):
        """What the updater's window answers when asked whether the session may end:
        "refused", "allowed", or "no updater window"."""
        probe = subprocess.run(
            ["wine", harness.windows_path(BUILD / "tests" / "session_end_probe.exe")],
            env=self.display.env(), capture_output=True, text=True, timeout=60)
        answers = {0: "refused", 1: "allowed", 2: "no updater window"}
        answer = answers.get(probe.returncode, "probe exit %d" % probe.returncode)
        return answer if probe.returncode in (0, 1) else "%s: %s" % (answer, probe.stdout.strip())

    def launcher_bytes(self):
        try:
            return self.launcher.read_bytes()
        except OSError:
            return None

    def state(self, name):
        path = self.cache / name
        return path.read_bytes() if path.exists() else None

    def healthy(self):
        """The health file names the new build."""
        text = self.state("launcher-health-v2.txt")
        return text is not None and ("sha256=%s\r\n" % self.new_sha).encode() in text and \
            ("build=%s\r\n" % NEXT_BUILD).encode() in text

    def stop_wine(self):
        """Ends every program of the prefix: windows the updater left open, the updater."""
        self.display.stop_wine()

    def close(self):
        self.stop_wine()
        self.scene.close()
