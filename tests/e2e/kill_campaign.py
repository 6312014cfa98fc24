"""Crash safety, proven: the headless update of a damaged client, or the icons action with
a new icon set, is killed (kill -9 of the Wine process) after a random delay, then the
client is brought back by the next icons action or update, many times over.

    VORN_BUILD_DIR=build python3 tests/e2e/kill_campaign.py [ROUNDS]

After every round the client must match the manifest, its surfaces archive must hold every
foreign entry unchanged and exactly the latest icon set, the file outside the manifest must
be unchanged, and no ".tmp", ".part" or ".vorn-recovery" file may be left. Prints how many
kills landed in each phase and how many rounds failed; exits 1 on any failure.
"""

import collections
import hashlib
import os
import random
import signal
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LEFTOVER_SUFFIXES = (".tmp", ".part", ".vorn-recovery")


def damage(scene, rng):
    """Changes, truncates or deletes a few listed files."""
    paths = sorted(p for p in scene.files if p.startswith("element/data/"))
    for path in rng.sample(paths, 8):
        target = scene.client.root / path
        kind = rng.choice(["flip", "truncate", "delete"])
        if kind == "delete" or not target.exists():
            target.unlink(missing_ok=True)
        elif kind == "truncate":
            target.write_bytes(target.read_bytes()[: rng.randrange(1, 1000)])
        else:
            data = bytearray(target.read_bytes())
            data[rng.randrange(len(data))] ^= 0x5A
            target.write_bytes(bytes(data))


def phase_of_kill(scene, action, receipt_before, state_before):
    """Where the killed run was, judged from what it left on disk."""
    if (scene.cache / "transaction-v2.json").exists():
        return action + ": installing (journal written)"
    transactions = scene.client.root / "element" / ".vornell-transactions"
    if transactions.exists() and any(transactions.iterdir()):
        return action + (": building or backing up the archive (no journal)" if action == "icons"
                         else ": downloading or backing up (no journal)")
    state = scene.cache / "guild-state-v2.json"
    if state.exists() and state.stat().st_mtime_ns != state_before:
        return action + ": icons installed (guild state written)"
    receipt = scene.cache / "installed-v2.json"
    if receipt.exists() and receipt.stat().st_mtime_ns != receipt_before:
        return action + ": after installation (receipt written)"
    return action + ": before installation (manifest, verification, icon download)"


def mtime(path):
    return path.stat().st_mtime_ns if path.exists() else None


def surfaces_problems(scene, dds):
    try:
        entries = scene.surfaces_entries()
    except (OSError, ValueError) as error:
        return ["surfaces archive unreadable: %s" % error]
    found = []
    for name, data in scene.foreign_surfaces:
        if b"iconlist_guild" not in name and entries.get(name) != data:
            found.append("foreign entry changed: %r" % name)
    if entries.get(b"surfaces\\iconset\\iconlist_guild.dds") != dds:
        found.append("the icon atlas is not the latest set")
    if len(entries) != len(scene.foreign_surfaces):
        found.append("surfaces holds %d entries" % len(entries))
    return found


def problems_after(scene, outside_digest, dds):
    found = surfaces_problems(scene, dds)
    for path, data in scene.files.items():
        live = scene.client.root / path
        if path != harness.SURFACES and (not live.exists() or live.read_bytes() != data):
            found.append("not repaired: " + path)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    if hashlib.sha256(outside.read_bytes()).hexdigest() != outside_digest:
        found.append("a file outside the manifest changed")
    for folder in (scene.client.root, scene.cache):
        for item in folder.rglob("*"):
            if item.name.endswith(LEFTOVER_SUFFIXES):
                found.append("left behind: %s" % item)
    return found


def measured(scene, action):
    code, result, seconds = scene.run(action)
    if code != 0:
        raise SystemExit("an uninterrupted %s failed: %s" % (action, result))
    print("an uninterrupted %s takes %.2f s" % (action, seconds))
    return seconds


def recover(scene, action, rng):
    """The next run after a kill: the icons action (refused while an install waits for
    recovery) or an update; an update always ends the round."""
    if action == "icons" and rng.random() < 0.5:
        code, result, _ = scene.run("icons")
        if code == 0 or (result and result.get("stage") == "recovery_required"):
            pass
        else:
            return "the icons action after the kill failed: %s" % (
                result and {k: result.get(k) for k in ("stage", "title", "detail")})
    code, result, _ = scene.run("update")
    if code != 0 or not result or result.get("title") != "Клиент готов к игре":
        return "the update after the kill failed: %s" % (
            result and {k: result.get(k) for k in ("stage", "title", "detail")})
    return None


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rng = random.Random(int(os.environ.get("VORN_KILL_SEED", "20261208")))
    launcher = harness.Launcher(BUILD)
    sizes = [rng.randrange(512 << 10, 4 << 20) for _ in range(40)]
    scene = harness.Scene(launcher, sizes=sizes, surfaces_bulk=48 << 20)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    outside.parent.mkdir(parents=True, exist_ok=True)
    outside.write_text("[video]\nwidth=1920\n")
    outside_digest = hashlib.sha256(outside.read_bytes()).hexdigest()
    phases = collections.Counter()
    failures = []
    try:
        damage(scene, rng)
        full = {"update": measured(scene, "update")}
        dds = scene.publish_guild("set-0", seed=0)
        full["icons"] = measured(scene, "icons")
        for index in range(rounds):
            action = "icons" if index % 2 else "update"
            if action == "icons":
                dds = scene.publish_guild("set-%d" % (index + 1), seed=index + 1)
            else:
                damage(scene, rng)
            receipt_before = mtime(scene.cache / "installed-v2.json")
            state_before = mtime(scene.cache / "guild-state-v2.json")
            process = launcher.start(scene.config, action, scene.result)
            time.sleep(full[action] * rng.uniform(0.2, 0.95))
            killed = process.poll() is None
            if killed:
                os.kill(process.pid, signal.SIGKILL)
            process.wait(30)
            phase = (phase_of_kill(scene, action, receipt_before, state_before) if killed
                     else action + ": finished before the kill")
            phases[phase] += 1

            failure = recover(scene, action, rng)
            found = problems_after(scene, outside_digest, dds) + ([failure] if failure else [])
            if found:
                failures.append((index, phase, found))
                print("round %d (%s): %s" % (index, phase, "; ".join(found[:3])))
                # Start the next round from a repaired client.
                scene.run("update")
    finally:
        scene.close()

    print("\nkills per phase (%d rounds):" % rounds)
    for phase, count in sorted(phases.items()):
        print("  %3d  %s" % (count, phase))
    print("failures: %d of %d" % (len(failures), rounds))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
