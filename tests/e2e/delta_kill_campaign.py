"""Crash safety of the delta package, proven: a headless update that applies a package to
three archives and installs whole files is killed (kill -9 of the Wine process) at random
moments; the runs after a kill may be killed again, so kills accumulate across interrupted
recoveries, until one run reaches its end.

    VORN_BUILD_DIR=build python3 tests/e2e/delta_kill_campaign.py [KILLS]

After the run that completes, the client must be exactly the new version, the file
outside the package and the manifest unchanged, and no journal, work folder, transaction
or temporary file left. Prints how many kills landed in each phase and the failures;
exits 1 on any failure.
"""

import collections
import hashlib
import json
import os
import random
import signal
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
from test_feed_tool import archive, grown, noise  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LEFTOVER_SUFFIXES = (".tmp", ".part", ".vorn-recovery")
ARCHIVE_SIZE = 24 << 20


def versions():
    old = {"element/models.pck": archive(noise(ARCHIVE_SIZE, 1)),
           "element/gfx.pck": archive(noise(ARCHIVE_SIZE, 2)),
           "element/interfaces.pck": archive(noise(ARCHIVE_SIZE // 2, 3)),
           "element/data/items.txt": b"sword=1\n" * 1000,
           "element/data/skills.txt": noise(3 << 20, 4)}
    new = dict(old)
    new["element/models.pck"] = grown(old["element/models.pck"], noise(6 << 20, 5))
    new["element/gfx.pck"] = grown(old["element/gfx.pck"], noise(4 << 20, 6))
    new["element/interfaces.pck"] = archive(noise(ARCHIVE_SIZE // 2, 7))  # rewritten
    new["element/data/items.txt"] = b"sword=2\n" * 1000
    new["element/data/skills.txt"] = noise(3 << 20, 8)
    return old, new


def phase_of_kill(scene):
    """Where the killed run was, judged from what it left on disk."""
    journal = scene.client.root / ".vorn-delta-journal-v1.json"
    if journal.exists():
        try:
            return "delta " + json.loads(journal.read_text())["phase"]
        except (ValueError, KeyError):
            return "delta journal being written"
    if (scene.cache / "transaction-v2.json").exists():
        return "whole-file install (journal written)"
    transactions = scene.client.root / "element" / ".vornell-transactions"
    if transactions.exists() and any(transactions.iterdir()):
        return "whole-file download or backup (no journal)"
    return "before the package (manifest, verification, payload download) or after it"


def problems_after(scene, new, outside_digest):
    found = []
    for path, data in new.items():
        live = scene.client.root / path
        if not live.exists() or live.read_bytes() != data:
            found.append("not at the new version: " + path)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    if hashlib.sha256(outside.read_bytes()).hexdigest() != outside_digest:
        found.append("a file outside the manifest changed")
    root = scene.client.root
    for leftover in (root / ".vorn-delta-journal-v1.json", scene.cache / "transaction-v2.json"):
        if leftover.exists():
            found.append("left behind: %s" % leftover.name)
    work = root / ".vorn-delta-work"
    if work.exists() and any(work.iterdir()):
        found.append("a delta work folder is left")
    for folder in (root, scene.cache):
        for item in folder.rglob("*"):
            if item.name.endswith(LEFTOVER_SUFFIXES):
                found.append("left behind: %s" % item)
    return found


def kill_after(launcher, scene, seconds):
    """Starts an update and kills it after `seconds`; True when the kill landed."""
    process = launcher.start(scene.config, "update", scene.result)
    time.sleep(seconds)
    killed = process.poll() is None
    if killed:
        os.kill(process.pid, signal.SIGKILL)
    process.wait(30)
    return killed


def main():
    kills = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rng = random.Random(int(os.environ.get("VORN_KILL_SEED", "20261209")))
    launcher = harness.Launcher(BUILD)
    scene = harness.Scene(launcher, sizes=(1024,))
    old, new = versions()
    base = scene.dir / "old-client"
    for path, data in dict(old, **scene.client.game_files()).items():
        (base / path).parent.mkdir(parents=True, exist_ok=True)
        (base / path).write_bytes(data)
    scene.feed.publish_folder(base, "1")
    files = dict(new, **scene.client.game_files())
    files[harness.SURFACES] = scene.files[harness.SURFACES]
    scene.client.write(files)
    scene.feed.publish(files, "2", "--base", base, "--delta-min-size", "1M")
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    outside.parent.mkdir(parents=True, exist_ok=True)
    outside.write_text("[video]\nwidth=1920\n")
    outside_digest = hashlib.sha256(outside.read_bytes()).hexdigest()
    phases = collections.Counter()
    failures = []
    try:
        scene.client.write(old)
        code, result, full = scene.run("update")
        if code != 0 or result.get("title") != "Клиент готов к игре":
            raise SystemExit("an uninterrupted update failed: %s" % result)
        print("an uninterrupted update by the package takes %.2f s" % full)
        landed, round_number = 0, 0
        while landed < kills:
            scene.client.write(old)
            while landed < kills and kill_after(launcher, scene, full * rng.uniform(0.05, 1.0)):
                landed += 1
                phases[phase_of_kill(scene)] += 1
                if rng.random() < 0.5:
                    break  # half of the time the next run is left to finish
            code, result, _ = scene.run("update")
            found = []
            if code != 0 or not result or result.get("title") != "Клиент готов к игре":
                found.append("the update after the kills failed: %s" % (
                    result and {k: result.get(k) for k in ("stage", "title", "detail")}))
            found += problems_after(scene, new, outside_digest)
            if found:
                failures.append((round_number, found))
                print("round %d: %s" % (round_number, "; ".join(found[:3])))
            round_number += 1
    finally:
        scene.close()

    print("\nkills per phase (%d kills in %d rounds):" % (kills, round_number))
    for phase, count in sorted(phases.items()):
        print("  %3d  %s" % (count, phase))
    print("failures: %d of %d rounds" % (len(failures), round_number))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
