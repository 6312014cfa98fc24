#!/usr/bin/env python3
"""Update of a client by a delta package: a 2 GiB archive (mostly zeros, with random
blocks) gets a 64 MiB appended tail, served by nginx on loopback, against cp of the base
plus inflating the tail's payload, in the same run. Then the same kind of update with and
without the package, at the largest size a whole blob may have (448 MiB grown to 512 MiB):
what the package saves. Works under the build folder; needs about 10 GiB free there.

    Usage: delta_bench.py BUILD [BASE_MIB] [TAIL_MIB]
"""

import hashlib
import json
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402
from test_feed_tool import archive  # noqa: E402

MIB = 1 << 20
MODELS = "element/models.pck"
RANDOM_BLOCK = MIB
RANDOM_EVERY = 16 * MIB  # one random MiB in every 16: 1/16 of the archive is noise
WHOLE_LIMIT = 512 * MIB  # a file fetched whole by its blob is at most this large
READY = "Клиент готов к игре"
FREE_NEEDED = 10 << 30
HASH_HINT = re.compile(r"SHA-256: ([0-9.]+) / ([0-9.]+) (МБ|КБ|байт)")
HASH_UNITS = {"МБ": 1.0, "КБ": 1 / 1024, "байт": 1 / MIB}
INFLATE = ("import sys, zlib\n"
           "d = zlib.decompressobj()\n"
           "with open(sys.argv[1], 'rb') as i, open(sys.argv[2], 'wb') as o:\n"
           "    for b in iter(lambda: i.read(1 << 20), b''):\n"
           "        o.write(d.decompress(b))\n"
           "    o.write(d.flush())\n")


def write_old(path, total, seed):
    """An archive as test_feed_tool.archive() lays it out (tag, total size, tag, body), of
    `total` bytes: holes of zeros with a random MiB every 16 MiB. Sparse on disk."""
    rng = random.Random(seed)
    header = archive(b"")
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        out.truncate(total)
        out.write(header[:4] + struct.pack("<I", total) + header[8:])
        for offset in range(RANDOM_EVERY // 2, total - RANDOM_BLOCK, RANDOM_EVERY):
            out.seek(offset)
            out.write(rng.randbytes(RANDOM_BLOCK))


def tail_bytes(size, seed):
    """Random letters from a 16-letter alphabet: zlib packs them to a bit over half."""
    letters = bytes(0x61 + (i & 15) for i in range(256))
    return random.Random(seed).randbytes(size).translate(letters)


def write_new(path, total, tail, seed):
    """The old archive (same seed) grown as test_feed_tool.grown() grows it."""
    write_old(path, total, seed)
    with open(path, "r+b") as out:
        out.seek(4)
        out.write(struct.pack("<I", total + len(tail)))
        out.seek(total)
        out.write(tail)


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(4 * MIB), b""):
            digest.update(block)
    return digest.hexdigest()


class Folders:
    """The scene's small files copied into a base and a new client folder, each with its
    own models.pck; the player's client gets the old one."""

    def __init__(self, scene, old_total, tail, seed):
        self.scene = scene
        self.old_total, self.tail, self.seed = old_total, tail, seed
        self.base = scene.dir / "old-client"
        self.new = scene.dir / "new-client"
        for folder in (self.base, self.new):
            for path, data in scene.files.items():
                (folder / path).parent.mkdir(parents=True, exist_ok=True)
                (folder / path).write_bytes(data)
        write_old(self.base / MODELS, old_total, seed)
        write_new(self.new / MODELS, old_total, tail, seed)
        self.reset_player()

    def reset_player(self):
        """The player's client back at the old version."""
        write_old(self.scene.client.root / MODELS, self.old_total, self.seed)


class PhaseClock:
    """Samples the client's delta journal from outside while the launcher runs: when it
    appears, each phase it records, and when it is gone."""

    def __init__(self, client_root):
        self.journal = Path(client_root) / ".vorn-delta-journal-v1.json"
        self.marks = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def state(self, seen):
        if not self.journal.exists():
            return "after the journal" if seen else "before the journal"
        try:
            return "journal " + json.loads(self.journal.read_bytes())["phase"]
        except (OSError, ValueError, KeyError):
            return None  # being written or replaced: keep the previous state

    def sample(self):
        seen = False
        while not self.stop.is_set():
            state = self.state(seen)
            if state and (not self.marks or self.marks[-1][1] != state):
                self.marks.append((time.monotonic() - self.start, state))
                seen = seen or state.startswith("journal")
            time.sleep(0.02)

    def __enter__(self):
        self.start = time.monotonic()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self.end = time.monotonic() - self.start


def downloaded(nginx, feed_root):
    """(bytes of the files served whole by GET, requests) from the nginx log."""
    total, partial, requests = 0, 0, nginx.requests()
    for line in requests:
        method, path, status = line.split(" ")
        if method != "GET":
            continue
        if status == "200":
            total += (Path(feed_root) / path.lstrip("/")).stat().st_size
        elif status == "206":
            partial += 1
    if partial:
        print("  (%d ranged responses not counted)" % partial)
    return total, requests


def update(scene, label):
    """One measured update of the scene's client: (figures, bytes downloaded, result
    document, the journal's phases as sampled)."""
    scene.nginx.clear_log()
    with PhaseClock(scene.client.root) as phases:
        code, result, figures = scene.launcher.run_measured(scene.config, "update",
                                                            scene.result)
    if code != 0 or result.get("title") != READY:
        raise SystemExit("%s failed (%d): %s" % (label, code, {
            k: result.get(k) for k in ("stage", "title", "detail", "win32", "http_status")}))
    served, _ = downloaded(scene.nginx, scene.feed.root)
    print("%s: %.2f s, peak working set %.1f MiB, %.1f MiB downloaded" % (
        label, figures["wall_ms"] / 1000, figures["peak_working_set"] / MIB, served / MIB))
    return figures, served, result, phases


def hash_passes(views):
    """[(title, file, MiB hashed, MiB of the file)] from the SHA-256 progress the views show;
    a pass ends when the file changes or the count starts again."""
    passes, current = [], None
    for view in views:
        found = HASH_HINT.search(view["hint"])
        if not found:
            continue
        unit = HASH_UNITS[found.group(3)]
        done, total = float(found.group(1)) * unit, float(found.group(2)) * unit
        where = view["hint"][:found.start()].rstrip("; ") or view["detail"]
        if current is None or current[1] != where or done < current[2]:
            current = [view["title"], where, done, total]
            passes.append(current)
        current[2] = done
    return [p for p in passes if p[3] >= 1]


def print_phases(result, phases):
    """The views the launcher published, in order (consecutive repeats counted), and the
    journal's phases as seen from outside with how long each lasted."""
    runs = []
    for view in result["observations"]:
        if runs and runs[-1][0] == view["title"]:
            runs[-1][1] += 1
        else:
            runs.append([view["title"], 1])
    print("  views in order (title x count):")
    for title, count in runs:
        print("    %s x %d" % (title, count))
    passes = hash_passes(result["observations"])
    print("  SHA-256 passes of 1 MiB or more (%d, %.0f MiB hashed in all):" % (
        len(passes), sum(p[2] for p in passes)))
    for title, detail, done, total in passes:
        print("    %8.1f / %8.1f MiB  %s, %s" % (done, total, title, detail))
    print("  phases seen from outside (the journal's, sampled every 20 ms):")
    marks = phases.marks + [(phases.end, "end")]
    for (at, state), (until, _) in zip(marks, marks[1:]):
        print("    %6.2f s  %-26s %6.2f s" % (at, state, until - at))


def verify_models(scene, manifest, label):
    """The player's archive is exactly the published new one."""
    entry = next(f for f in manifest["files"] if f["path"] == MODELS)
    live = scene.client.root / MODELS
    if live.stat().st_size != entry["size"] or sha256_file(live) != entry["sha256"]:
        raise SystemExit("%s: %s is not the published version" % (label, MODELS))


def package_payload(scene, manifest):
    delta_doc = scene.feed.root / "upd" / manifest["delta"]["url"]
    entries = json.loads(delta_doc.read_bytes())["files"]
    entry = next(e for e in entries if e["path"] == MODELS)
    if entry["operation"] != "append":
        raise SystemExit("%s is a %s entry, not an append" % (MODELS, entry["operation"]))
    return delta_doc.parent / entry["payload"]["path"], entry


def timed(args):
    start = time.monotonic()
    subprocess.run(args, check=True)
    return time.monotonic() - start


def large(launcher, work, base_mib, tail_mib):
    scene = harness.Scene(launcher, sizes=(1024,))
    try:
        old_total, tail = base_mib * MIB, tail_bytes(tail_mib * MIB, 2)
        folders = Folders(scene, old_total, tail, 1)
        manifest = scene.feed.publish_folder(folders.new, "2", "--base", folders.base,
                                             "--delta-min-size", "1M")
        payload, entry = package_payload(scene, manifest)
        print("update of a %d MiB archive grown by %d MiB through a delta package, from "
              "nginx on loopback" % (base_mib, tail_mib))
        print("payload: %.1f MiB packed, %.1f MiB raw" % (
            entry["payload"]["compressed"]["bytes"] / MIB, entry["payload"]["raw"]["bytes"] / MIB))

        copy = timed(["cp", "--sparse=never", str(folders.base / MODELS), str(work / "copy")])
        inflate = timed([sys.executable, "-c", INFLATE, str(payload), str(work / "tail")])
        (work / "copy").unlink()
        (work / "tail").unlink()
        baseline = copy + inflate
        print("cp of the base (every byte written): %.2f s; inflating the payload "
              "(python3 zlib): %.2f s; together %.2f s" % (copy, inflate, baseline))

        figures, served, result, phases = update(scene, "launcher update by the package")
        verify_models(scene, manifest, "the update by the package")
        print_phases(result, phases)
        seconds = figures["wall_ms"] / 1000
        print("ratio update / (cp + inflate): %.2f (goal: within 2)" % (seconds / baseline))
        print("peak working set: %.1f MiB (goal: under 64 MiB)" % (
            figures["peak_working_set"] / MIB))

        if old_total + len(tail) > WHOLE_LIMIT:
            try:
                scene.feed.publish_folder(folders.new, "3")
                print("the same archive without a package: published (unexpected)")
            except RuntimeError as refusal:
                print("the same archive without a package: cannot be published (%s)" %
                      str(refusal).split(": ", 1)[-1])
    finally:
        scene.close()


def compared(launcher, work, base_mib, tail_mib):
    """Package against the whole blob at a size both can carry."""
    scene = harness.Scene(launcher, sizes=(1024,))
    try:
        tail = tail_bytes(tail_mib * MIB, 4)
        folders = Folders(scene, base_mib * MIB, tail, 3)
        print("\ncompared at %d MiB grown by %d MiB (a whole blob holds at most %d MiB):" % (
            base_mib, tail_mib, WHOLE_LIMIT // MIB))
        manifest = scene.feed.publish_folder(folders.new, "2", "--base", folders.base,
                                             "--delta-min-size", "1M")
        package_payload(scene, manifest)  # the archive is an append entry
        by_package, package_bytes, _, _ = update(scene, "by the package")
        verify_models(scene, manifest, "the update by the package")

        folders.reset_player()
        manifest = scene.feed.publish_folder(folders.new, "3")
        if manifest.get("delta"):
            raise SystemExit("the feed published without --base still has a package")
        whole, whole_bytes, _, _ = update(scene, "whole archive, no package")
        verify_models(scene, manifest, "the whole-file update")
        print("the package saves %.1f MiB and %.2f s (%.2f s against %.2f s)" % (
            (whole_bytes - package_bytes) / MIB,
            (whole["wall_ms"] - by_package["wall_ms"]) / 1000,
            by_package["wall_ms"] / 1000, whole["wall_ms"] / 1000))
    finally:
        scene.close()


def main():
    build = Path(sys.argv[1]).resolve()
    base_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 2048
    tail_mib = int(sys.argv[3]) if len(sys.argv) > 3 else 64
    free = shutil.disk_usage(build).free
    if free < FREE_NEEDED:
        raise SystemExit("delta bench: %.1f GiB free under %s, it needs %.0f GiB" % (
            free / (1 << 30), build, FREE_NEEDED / (1 << 30)))
    launcher = harness.Launcher(build)
    work = Path(tempfile.mkdtemp(prefix="vorn-delta-bench-", dir=build))
    tempfile.tempdir = str(work)  # the scenes' folders go here, not to /tmp
    try:
        large(launcher, work, base_mib, tail_mib)
        compared(launcher, work, WHOLE_LIMIT // MIB - tail_mib, tail_mib)
    finally:
        tempfile.tempdir = None
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
