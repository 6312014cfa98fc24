"""Crash safety of the delta package, proven: a headless update that applies a package to
three game archives and installs whole files is killed (kill -9 of the Wine process) at
random moments; every third round the player's copy of one archive differs from the
package's base, so the update rebases it first. The runs after a kill may be killed again,
so kills accumulate across interrupted recoveries, until one run reaches its end.

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
import pck_images  # noqa: E402
from test_feed_tool import noise  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LEFTOVER_SUFFIXES = (".tmp", ".part", ".vorn-recovery")
MEMBER_SIZE = 8 << 20


def versions(keys):
    """The old and new client; the archives are game archives the new version appends to."""
    def pck(seed, members):
        return pck_images.write_pck(
            [(b"models\\m%d.ski" % i, noise(MEMBER_SIZE, seed * 10 + i)) for i in range(members)],
            keys)
    old = {"element/models.pck": pck(1, 3),
           "element/gfx.pck": pck(2, 3),
           "element/interfaces.pck": pck(3, 2),
           "element/data/items.txt": b"sword=1\n" * 1000,
           "element/data/skills.txt": noise(3 << 20, 4)}
    new = dict(old)
    new["element/models.pck"] = pck_images.append_pck(
        old["element/models.pck"], [(b"models\\m1.ski", noise(MEMBER_SIZE // 4, 51)),
                                    (b"models\\new.ski", noise(MEMBER_SIZE // 4, 52))], keys)
    new["element/gfx.pck"] = pck_images.append_pck(
        old["element/gfx.pck"], [(b"models\\g.ski", noise(MEMBER_SIZE // 3, 61))], keys)
    new["element/interfaces.pck"] = pck(7, 2)  # rewritten: a "full" entry
    new["element/data/items.txt"] = b"sword=2\n" * 1000
    new["element/data/skills.txt"] = noise(3 << 20, 8)
    return old, new


def players_models(keys, old):
    """A player's models.pck that is neither the base nor the target: an extra member."""
    entries = pck_images.read_pck(old, keys) + [(b"models\\mine.ski", b"the player's own")]
    return pck_images.write_pck(entries, keys)


def expected_models(keys, player, new):
    """What a rebase of the player's archive must hold: its members, with the package's."""
    entries = dict(pck_images.read_pck(player, keys))
    entries.update(pck_images.read_pck(new, keys))
    return entries


def phase_of_kill(scene):
    """Where the killed run was, judged from what it left on disk."""
    journal = scene.client.root / ".vorn-delta-journal-v1.json"
    if journal.exists():
        try:
            return "delta " + json.loads(journal.read_text())["phase"]
        except (ValueError, KeyError):
            return "delta journal being written"
    transaction = scene.cache / "transaction-v2.json"
    if transaction.exists():
        try:
            paths = [e["path"] for e in json.loads(transaction.read_text())["entries"]]
        except (ValueError, KeyError):
            return "install journal being written"
        kind = "rebase" if any(p.endswith(".pck") for p in paths) else "whole-file"
        return kind + " install (journal written)"
    transactions = scene.client.root / "element" / ".vornell-transactions"
    staged = list(transactions.rglob("*.bin")) if transactions.exists() else []
    if any(f.stat().st_size > (1 << 20) for f in staged):
        return "rebase: rebuilding or backing up (no journal)"
    if transactions.exists() and any(transactions.iterdir()):
        return "whole-file download or backup (no journal)"
    return "before the package (manifest, verification, payload download) or after it"


def problems_after(scene, new, rebased, outside_digest):
    found = []
    for path, data in new.items():
        live = scene.client.root / path
        if not live.exists():
            found.append("missing: " + path)
        elif path in rebased:
            keys = scene.launcher.pck_keys()
            if dict(pck_images.read_pck(live.read_bytes(), keys)) != rebased[path]:
                found.append("not rebased onto the new version: " + path)
        elif live.read_bytes() != data:
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


def first_runs(scene, old, player):
    """Seconds of an uninterrupted update by the package, plain and with a rebase."""
    full = {}
    for kind, models in (("package", old["element/models.pck"]), ("rebase", player)):
        scene.client.write(dict(old, **{"element/models.pck": models}))
        code, result, seconds = scene.run("update")
        if code != 0 or result.get("title") != "Клиент готов к игре":
            raise SystemExit("an uninterrupted update (%s) failed: %s" % (kind, result))
        print("an uninterrupted update by the package (%s) takes %.2f s" % (kind, seconds))
        full[kind] = seconds
    return full


def publish(scene, old, new):
    base = scene.dir / "old-client"
    for path, data in dict(old, **scene.client.game_files()).items():
        (base / path).parent.mkdir(parents=True, exist_ok=True)
        (base / path).write_bytes(data)
    scene.feed.publish_folder(base, "1")
    files = dict(new, **scene.client.game_files())
    files[harness.SURFACES] = scene.files[harness.SURFACES]
    scene.client.write(files)
    scene.feed.publish(files, "2", "--base", base, "--delta-min-size", "1M")


def main():
    kills = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rng = random.Random(int(os.environ.get("VORN_KILL_SEED", "20261209")))
    launcher = harness.Launcher(BUILD)
    scene = harness.Scene(launcher, sizes=(1024,))
    keys = launcher.pck_keys()
    old, new = versions(keys)
    player = players_models(keys, old["element/models.pck"])
    rebased = {"element/models.pck": expected_models(keys, player, new["element/models.pck"])}
    publish(scene, old, new)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    outside.parent.mkdir(parents=True, exist_ok=True)
    outside.write_text("[video]\nwidth=1920\n")
    outside_digest = hashlib.sha256(outside.read_bytes()).hexdigest()
    phases = collections.Counter()
    failures = []
    try:
        full = first_runs(scene, old, player)
        landed, round_number = 0, 0
        while landed < kills:
            kind = "rebase" if round_number % 3 == 2 else "package"
            scene.client.write(dict(old, **({"element/models.pck": player}
                                            if kind == "rebase" else {})))
            while landed < kills and kill_after(launcher, scene,
                                                full[kind] * rng.uniform(0.05, 1.0)):
                landed += 1
                phases[phase_of_kill(scene)] += 1
                if rng.random() < 0.5:
                    break  # half of the time the next run is left to finish
            code, result, _ = scene.run("update")
            found = []
            if code != 0 or not result or result.get("title") != "Клиент готов к игре":
                found.append("the update after the kills failed: %s" % (
                    result and {k: result.get(k) for k in ("stage", "title", "detail")}))
            found += problems_after(scene, new, rebased if kind == "rebase" else {},
                                    outside_digest)
            if found:
                failures.append((round_number, found))
                print("round %d (%s): %s" % (round_number, kind, "; ".join(found[:3])))
            round_number += 1
    finally:
        scene.close()

    print("\nkills per phase (%d kills in %d rounds, every third with a rebase):" % (
        kills, round_number))
    for phase, count in sorted(phases.items()):
        print("  %3d  %s" % (count, phase))
    print("failures: %d of %d rounds" % (len(failures), round_number))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
