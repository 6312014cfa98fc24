"""Full disks, proven: the client lives on a small file system of its own (a size-limited
tmpfs, Wine's drive V:), which is filled to leave a random number of bytes free at a
random moment of an update of whole files, a delta apply, a rebase of the player's own
archive or an icon install. Then the space is freed and the action runs again.

    VORN_BUILD_DIR=build python3 tests/e2e/disk_full_campaign.py [ROUNDS]

An action that fails must say so in Russian, in words about space; the next run must
complete, leaving the client exactly at the new version with the latest icons, the file
outside the manifest unchanged and nothing of the work behind. Prints the fills per phase
and outcome; exits 1 on any failure, 77 when this machine cannot mount a tmpfs.
"""

import collections
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import pck_images  # noqa: E402
from chaos_campaign import CHECKED, READY, leftovers, publish_version, versions_of  # noqa: E402
from delta_kill_campaign import expected_models, phase_of_kill, players_models  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
DISK_MIB = 192
DRIVE = "v:"
ICONS_DONE = "Иконки кланов обновлены"
MIB = 1 << 20


class SmallDisk:
    """A tmpfs of its own, Wine's drive V:, and a filler file that takes its free space."""

    def __init__(self, folder, prefix):
        self.root = Path(folder)
        self.root.mkdir(parents=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % DISK_MIB, "tmpfs",
                        str(self.root)], check=True, capture_output=True)
        self.link = Path(prefix) / "dosdevices" / DRIVE
        self.link.unlink(missing_ok=True)
        self.link.symlink_to(self.root)
        self.filler = self.root / "filler.bin"

    def fill(self, free):
        """Leaves `free` bytes free (or fewer, when less was free already)."""
        stats = os.statvfs(self.root)
        take = max(0, stats.f_bavail * stats.f_frsize - free)
        with open(self.filler, "ab") as filler:
            while take > 0:
                try:
                    os.posix_fallocate(filler.fileno(), filler.tell(), take)
                    return
                except OSError:
                    take -= MIB  # the launcher wrote meanwhile: take a little less

    def free_up(self):
        self.filler.unlink(missing_ok=True)

    def close(self):
        self.link.unlink(missing_ok=True)
        subprocess.run(["umount", str(self.root)], check=False)


class Scene:
    def __init__(self, launcher, disk, work):
        self.launcher, self.disk, self.dir = launcher, disk, Path(work)
        self.client = harness.Client(disk.root / "client", launcher.game)
        self.cache = disk.root / "cache"
        keys = launcher.pck_keys()
        common = dict(self.client.game_files())
        common[harness.SURFACES] = pck_images.write_pck(harness.FOREIGN_SURFACES, keys)
        versions = versions_of(keys)
        self.versions = {name: ({**common, **old}, {**common, **new})
                         for name, (old, new) in versions.items()}
        old_models = self.versions["delta package"][0]["element/models.pck"]
        self.player = players_models(keys, old_models)
        self.rebased = expected_models(keys, self.player,
                                       self.versions["delta package"][1]["element/models.pck"])
        self.feeds = {name: publish_version(work, folder, name, *self.versions[name])
                      for name, folder in (("whole files", "w"), ("delta package", "d"))}
        self.nginx = harness.Nginx(self.dir / "root", self.dir).start()
        self.receiver = harness.ReportReceiver().start()
        self.config = self.dir / "qa.json"
        self.result = self.dir / "result.json"
        self.outside = self.client.root / "element" / "userdata" / "settings.ini"

    def prepare(self, index, scenario):
        """The player before the action; returns (action, the DDS the icons must make)."""
        feed_name = "whole files" if scenario in ("whole files", "icons") else "delta package"
        feed = self.feeds[feed_name]
        shutil.rmtree(self.client.root / "element", ignore_errors=True)
        old, new = self.versions[feed_name]
        files = dict(new if scenario == "icons" else old)
        if scenario == "rebase":
            files["element/models.pck"] = self.player
        self.client.write(files)
        self.outside.parent.mkdir(parents=True, exist_ok=True)
        self.outside.write_text("[video]\nwidth=1920\n")
        dds = harness.publish_guild(feed.root, self.dir, "set-%d" % index, seed=index)
        folder = "w/" if feed_name == "whole files" else "d/"
        harness.Launcher.write_config(self.config, self.client.root, self.cache,
                                      self.nginx.url(folder), self.receiver.url())
        config = json.loads(self.config.read_text())
        config.update(root="V:\\client", cache="V:\\cache")  # through the small drive
        self.config.write_text(json.dumps(config))
        return ("icons" if scenario == "icons" else "update"), dds, feed_name

    def problems(self, feed_name, scenario, dds):
        found = []
        keys = self.launcher.pck_keys()
        for path, data in self.versions[feed_name][1].items():
            live = self.client.root / path
            if path == harness.SURFACES:
                entries = dict(pck_images.read_pck(live.read_bytes(), keys))
                if entries.get(b"surfaces\\iconset\\iconlist_guild.dds") != dds:
                    found.append("the icon atlas is not the latest set")
            elif scenario == "rebase" and path == "element/models.pck":
                if dict(pck_images.read_pck(live.read_bytes(), keys)) != self.rebased:
                    found.append("models.pck not rebased onto the new version")
            elif not live.exists() or live.read_bytes() != data:
                found.append("not at the new version: " + path)
        if self.outside.read_text() != "[video]\nwidth=1920\n":
            found.append("a file outside the manifest changed")
        return found + leftovers(self.client.root, self.cache)

    def close(self):
        self.nginx.stop()
        self.receiver.stop()


def phase_of(scene):
    """Where the running action was when the disk filled, judged from what is on disk."""
    if (scene.client.root / ".vorn-delta-journal-v1.json").exists():
        return phase_of_kill(scene)  # the delta journal's own phase
    if (scene.cache / "transaction-v2.json").exists():
        return "installing (journal written)"
    transactions = scene.client.root / "element" / ".vornell-transactions"
    if transactions.exists() and any(transactions.iterdir()):
        return "downloading, rebuilding or backing up (no journal)"
    return "checking, fetching, or after the install"


def done(result, action):
    return bool(result and result.get("ok") and result.get("phase") == 8 and
                result.get("title") in ((READY, CHECKED) if action == "update" else (ICONS_DONE,)))


def said_no_space(result):
    """The failure's message speaks of space ("места", "место")."""
    return "мест" in (result or {}).get("message", "")


def run_with_fill(scene, action, seconds, free):
    """Runs the action and fills the disk after `seconds`; (result, phase at the fill)."""
    scene.result.unlink(missing_ok=True)
    process = scene.launcher.start(scene.config, action, scene.result)
    time.sleep(seconds)
    phase = "finished before the fill"
    if process.poll() is None:
        phase = phase_of(scene)
        scene.disk.fill(free)
    process.wait(300)
    result = scene.result.read_text() if scene.result.exists() else None
    return (json.loads(result) if result else None), phase


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rng = random.Random(int(os.environ.get("VORN_DISK_SEED", "20261210")))
    launcher = harness.Launcher(BUILD)
    work = Path(tempfile.mkdtemp(prefix="vorn-disk-full-"))
    try:
        disk = SmallDisk(work / "disk", launcher.build / "wineprefix")
    except (subprocess.CalledProcessError, OSError) as error:
        print("disk-full campaign skipped: cannot mount a tmpfs here (%s)" % error)
        shutil.rmtree(work, ignore_errors=True)
        return 77
    scene = Scene(launcher, disk, work)
    table = collections.defaultdict(collections.Counter)
    failures = []
    full = {}
    try:
        for index in range(rounds):
            scenario = rng.choice(["whole files", "delta package", "rebase", "icons"])
            action, dds, feed_name = scene.prepare(index, scenario)
            if scenario not in full:
                _, _, full[scenario] = launcher.run(scene.config, action, scene.result)
                action, dds, feed_name = scene.prepare(index, scenario)
            free = rng.choice([rng.randrange(0, MIB), rng.randrange(MIB, 64 * MIB),
                               rng.randrange(64 * MIB, 100 * MIB)])
            result, phase = run_with_fill(scene, action, full[scenario] * rng.uniform(0.05, 1.0),
                                          free)
            problems = []
            if done(result, action):
                outcome = "completed"
            else:
                outcome = "failed"
                if not said_no_space(result):
                    problems.append("a failure not about space: %s" % (result and {
                        k: result.get(k) for k in ("stage", "win32", "message")}))
            disk.free_up()
            _, again, _ = launcher.run(scene.config, action, scene.result, timeout=300)
            if not done(again, action):
                problems.append("the run after freeing space failed: %s" % (
                    again and {k: again.get(k) for k in ("stage", "title", "detail")}))
            problems += scene.problems(feed_name, scenario, dds)
            table["%s: %s" % (scenario, phase)][outcome] += 1
            if problems:
                failures.append((index, scenario, phase, problems))
                print("round %d (%s, %s, %d bytes free): %s" % (
                    index, scenario, phase, free, "; ".join(p[:300] for p in problems[:3])))
    finally:
        scene.close()
        disk.close()
        shutil.rmtree(work, ignore_errors=True)

    print("\nfills per phase (%d rounds):" % rounds)
    for phase, counts in sorted(table.items()):
        print("  %-72s %s" % (phase, ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    print("failures: %d of %d" % (len(failures), rounds))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
