"""Crash safety, proven: the headless update of a damaged client is killed (kill -9 of the
Wine process) after a random delay, then run again to the end, many times over.

    VORN_BUILD_DIR=build python3 tests/e2e/kill_campaign.py [ROUNDS]

After every completed run the client must match the manifest, the file outside the
manifest must be unchanged, and no ".tmp", ".part" or ".vorn-recovery" file may be left.
Prints how many kills landed in each phase and how many rounds failed; exits 1 on any
failure.
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


def phase_of_kill(scene, receipt_before):
    """Where the killed run was, judged from what it left on disk."""
    if (scene.cache / "transaction-v2.json").exists():
        return "installing (journal written)"
    transactions = scene.client.root / "element" / ".vornell-transactions"
    if transactions.exists() and any(transactions.iterdir()):
        return "downloading or backing up (no journal)"
    receipt = scene.cache / "installed-v2.json"
    if receipt.exists() and receipt.stat().st_mtime_ns != receipt_before:
        return "after installation (receipt written)"
    return "before installation (manifest, verification)"


def problems_after(scene, outside_digest):
    found = []
    for path, data in scene.files.items():
        live = scene.client.root / path
        if not live.exists() or live.read_bytes() != data:
            found.append("not repaired: " + path)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    if hashlib.sha256(outside.read_bytes()).hexdigest() != outside_digest:
        found.append("a file outside the manifest changed")
    for folder in (scene.client.root, scene.cache):
        for item in folder.rglob("*"):
            if item.name.endswith(LEFTOVER_SUFFIXES):
                found.append("left behind: %s" % item)
    return found


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    rng = random.Random(int(os.environ.get("VORN_KILL_SEED", "20261208")))
    launcher = harness.Launcher(BUILD)
    sizes = [rng.randrange(512 << 10, 4 << 20) for _ in range(40)]
    scene = harness.Scene(launcher, sizes=sizes)
    outside = scene.client.root / "element" / "userdata" / "settings.ini"
    outside.parent.mkdir(parents=True, exist_ok=True)
    outside.write_text("[video]\nwidth=1920\n")
    outside_digest = hashlib.sha256(outside.read_bytes()).hexdigest()
    phases = collections.Counter()
    failures = []
    try:
        damage(scene, rng)
        code, result, full = scene.run("update")
        if code != 0:
            raise SystemExit("the first update failed: %s" % result)
        print("an uninterrupted update of the damaged client takes %.2f s" % full)
        for index in range(rounds):
            damage(scene, rng)
            receipt = scene.cache / "installed-v2.json"
            receipt_before = receipt.stat().st_mtime_ns if receipt.exists() else None
            process = launcher.start(scene.config, "update", scene.result)
            time.sleep(full * rng.uniform(0.2, 0.95))
            killed = process.poll() is None
            if killed:
                os.kill(process.pid, signal.SIGKILL)
            process.wait(30)
            phase = phase_of_kill(scene, receipt_before) if killed else "finished before the kill"
            phases[phase] += 1

            code, result, _ = scene.run("update")
            found = problems_after(scene, outside_digest)
            if code != 0 or not result or not result.get("ok"):
                found.append("the update after the kill failed: %s" % (
                    result and {k: result.get(k) for k in ("stage", "title", "detail")}))
            if found:
                failures.append((index, phase, found))
                print("round %d (%s): %s" % (index, phase, "; ".join(found[:3])))
                # Start the next round from a repaired client.
                scene.run("update")
    finally:
        scene.close()

    print("\nkills per phase (%d rounds):" % rounds)
    for phase, count in sorted(phases.items(), key=lambda item: -item[1]):
        print("  %3d  %s" % (count, phase))
    print("failures: %d of %d" % (len(failures), rounds))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
