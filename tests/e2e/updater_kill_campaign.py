"""Kills the launcher and the updater at random moments of a self-update: the launcher's
path must always hold a complete launcher, build N or build N+1, the next start of whatever
stands there must work, and when build N still stands there, its next start offers N+1
again: no kill leaves the new build blocked for good; when an unproven N+1 stands there
(its health wait cut short, as a logoff or a kill does), its next start puts N back.

    VORN_BUILD_DIR=build python3 tests/e2e/updater_kill_campaign.py [KILLS] [SEED]

A first round runs to the end and times the updater's run: from the start of build N to
N's end (the hand-over is done by then) and to N+1's health file. Each round then starts
build N headless, which hands over to the updater and ends, and at a random moment between
half of N's run (its hand-over included) and N+1's health file (waiting for N, the backup,
the move, N+1's start and health wait) every program of the Wine prefix is killed at once. Then the launcher at the launcher's path runs
a check, and the round's phase is told from what is on disk.
"""

import collections
import random
import sys
import time

from self_update_scene import NEXT_BUILD, NEXT_LAUNCHER, Display, SelfUpdateScene, wait_until


def phase_of(scene, launcher, healthy):
    if scene.state("self-update-blocked-sha-v2.txt") is None:
        return "before the hand-over"
    if launcher == scene.old and scene.state("launcher-health-v2.txt") is None and \
            not scene.backup.exists():
        return "hand-over or wait for N, before the backup"
    if launcher == scene.new:
        return "after the move, health written" if healthy else "after the move, before health"
    if scene.backup.exists():
        return "backup made, launcher not yet moved"
    return "before the backup"


def reset(scene):
    """Build N back at the launcher's path, and nothing left of the last attempt."""
    scene.launcher.write_bytes(scene.old)
    if scene.backup.exists():
        scene.backup.unlink()
    for name in ("self-update-blocked-sha-v2.txt", "self-update-failed-sha-v2.txt",
                 "launcher-health-v2.txt", "self-update-run-v1.txt",
                 "self-update-unproven-v1.txt"):
        path = scene.cache / name
        if path.exists():
            path.unlink()


def timeline(scene):
    """(seconds to N's end, seconds to N+1's health file) of an uninterrupted run, started
    the way every round starts: with no Wine program running, so Wine starts first."""
    scene.stop_wine()
    reset(scene)
    started = time.monotonic()
    process = scene.start("startup")
    if process.wait(180) != 0:
        raise RuntimeError("build N did not hand over")
    ended = time.monotonic() - started
    if not wait_until(scene.healthy, 120, 0.02):
        raise RuntimeError("build N+1 never wrote its health file")
    healthy = time.monotonic() - started
    scene.stop_wine()
    return ended, healthy


def one_round(scene, rng, window):
    reset(scene)
    started = time.monotonic()
    process = scene.start("startup")
    kill_at = rng.uniform(*window)
    time.sleep(max(0.0, kill_at - (time.monotonic() - started)))
    scene.stop_wine()
    process.wait(60)
    launcher = scene.launcher_bytes()
    healthy = scene.healthy()
    phase = phase_of(scene, launcher, healthy)
    if launcher not in (scene.old, scene.new):
        return phase, "the launcher's path holds %s bytes of neither build" % (
            "no" if launcher is None else len(launcher))
    code, result = scene.run("check")
    expected = NEXT_BUILD if launcher == scene.new else result and result.get("build")
    if code != 0 or not result or not result.get("ok") or result.get("build") != expected:
        return phase, "the next start failed: exit %s, %s" % (code, result)
    if launcher == scene.old:
        return phase, offered_again(scene)
    return phase, None if healthy else put_back(scene)


def put_back(scene):
    """N+1 stands unproven (its health wait was cut short): its next start puts N back
    through the updater and marks N+1 failed."""
    code, result = scene.run("startup")
    if code != 0 or not result or not result.get("self_update_started"):
        return "the unproven N+1 was not put back: exit %s, %s" % (code, result)
    failed = "self-update-failed-sha-v2.txt"
    if not wait_until(lambda: scene.launcher_bytes() == scene.old and
                      scene.state(failed) == (scene.new_sha + "\r\n").encode(), 60, 0.1):
        return "N was not put back in place of the unproven N+1"
    scene.stop_wine()  # N, started again by the updater
    return None


def offered_again(scene):
    """Build N's next start hands over to N+1 again, and N+1 proves itself."""
    code, result = scene.run("startup")
    if code != 0 or not result or not result.get("self_update_started"):
        return "N+1 was not offered again: exit %s, %s" % (code, result)
    if not wait_until(scene.healthy, 120, 0.1):
        return "N+1 offered again never wrote its health file"
    scene.stop_wine()
    return None


def main():
    kills = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 20261209
    rng = random.Random(seed)
    display = Display()
    display.boot_wine()
    scene = SelfUpdateScene(display, NEXT_LAUNCHER)
    phases = collections.Counter()
    failures = []
    try:
        ended, healthy = timeline(scene)
        window = (ended * 0.5, healthy)
        print("N ends after %.1f s, N+1 is healthy after %.1f s: kills between %.1f and %.1f s"
              % (ended, healthy, window[0], window[1]), flush=True)
        for number in range(1, kills + 1):
            phase, failure = one_round(scene, rng, window)
            phases[phase] += 1
            if failure:
                failures.append("round %d (%s): %s" % (number, phase, failure))
                print("FAIL " + failures[-1], flush=True)
    finally:
        scene.close()
        display.stop()
    print("| kills | phase |\n|---|---|")
    for phase, count in phases.most_common():
        print("| %d | %s |" % (count, phase))
    print("failures: %d of %d (seed %d)" % (len(failures), kills, seed))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
