#!/usr/bin/env python3
"""Publishing a generated client with the feed tool, against sha256sum plus gzip -1 of the
same files in the same run; then a re-publish after one file changed.

    bench/feed_publish_bench.py [--dir DIR] [--total-mib 2048] [--files 2000] [--level N]

The client (2 GiB in 2,000 files by default) looks like a game client: many small files,
a few large archives; text-like data that compresses and noise that does not (already
compressed textures, sounds and archive entries). Everything is read from the page cache
in every run, so the figures compare work, not the disk. Prints figures; asserts nothing.
The generated data is removed at the end unless --keep is given.
"""

import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TOOL = REPO / "tools" / "feed" / "vornell-feed"
CHUNK = 64 << 10
ARCHIVES = 10  # large files holding half of the bytes


def chunk_pool(rng):
    """64 KiB pieces: text-like ones that deflate to about a third, and noise."""
    words = [b"model", b"texture", b"lod", b"bone", b"anim", b"sound", b"0.125", b"1024",
             b"=", b";", b"\n", b"gfx/", b"skin", b"npc_", b"quest"]
    text = []
    for _ in range(32):
        piece = bytearray()
        while len(piece) < CHUNK:
            piece += rng.choice(words) + b"%d " % rng.randrange(1000)
        text.append(bytes(piece[:CHUNK]))
    return text


def write_file(path, size, compressible_share, rng, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left:
            piece = min(left, CHUNK)
            if rng.random() < compressible_share:
                out.write(rng.choice(text)[:piece])
            else:
                out.write(os.urandom(piece))
            left -= piece


def generate(client, total, count, seed=2026):
    rng = random.Random(seed)
    text = chunk_pool(rng)
    small_total = total // 2
    weights = [rng.lognormvariate(0, 1.5) for _ in range(count - ARCHIVES - 1)]
    scale = small_total / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    archive = (total - sum(sizes)) // ARCHIVES
    files = []
    for index, size in enumerate(sizes):
        path = client / "element" / ("dir%02d" % (index % 40)) / ("file%04d.dat" % index)
        write_file(path, size, 0.6, rng, text)
        files.append(path)
    for index in range(ARCHIVES):
        path = client / "element" / ("archive%d.pck" % index)
        write_file(path, archive, 0.2, rng, text)
        files.append(path)
    game = client / "element" / "elementclient.exe"
    write_file(game, 4 << 20, 0.5, rng, text)
    files.append(game)
    return files


def timed(args, **kwargs):
    start = time.monotonic()
    subprocess.run(args, check=True, **kwargs)
    return time.monotonic() - start


def baseline(files, out):
    """sha256sum and gzip -1 of the same files, each one process over all of them."""
    names = b"\0".join(bytes(p) for p in files)
    sha = timed(["xargs", "-0", "sha256sum"], input=names, stdout=subprocess.DEVNULL)
    with open(out, "wb") as sink:
        packed = timed(["xargs", "-0", "gzip", "-1", "-c"], input=names, stdout=sink)
    return sha, packed


def hash_once(files):
    """One SHA-256 pass over the client, the way the tool reads (1 MiB blocks)."""
    start = time.monotonic()
    for path in files:
        digest = hashlib.sha256()
        with open(path, "rb") as source:
            for block in iter(lambda: source.read(1 << 20), b""):
                digest.update(block)
    return time.monotonic() - start


def publish(client, feed, *options):
    return timed([sys.executable, str(TOOL), "publish", str(client), str(feed), "--quiet"] +
                 [str(o) for o in options])


def folder_size(folder):
    return sum(p.stat().st_size for p in Path(folder).rglob("*") if p.is_file())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="work folder (default: a new folder under the repository's "
                        "file system); needs about three times the client's size")
    parser.add_argument("--total-mib", type=int, default=2048)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--level", type=int, help="compression level (default: the tool's)")
    parser.add_argument("--keep", action="store_true", help="keep the generated data")
    args = parser.parse_args()

    work = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="feed-bench-",
                                                                 dir=REPO.parent))
    work.mkdir(parents=True, exist_ok=True)
    level = ["--level", args.level] if args.level else []
    try:
        client = work / "client"
        start = time.monotonic()
        files = generate(client, args.total_mib << 20, args.files)
        total = sum(p.stat().st_size for p in files)
        print("client: %d files, %.0f MiB, generated in %.1f s (%s)" % (
            len(files), total / 1048576, time.monotonic() - start, client))

        hash_once(files)  # everything into the page cache before the first figure
        sha, packed = baseline(files, work / "baseline.gz")
        base = sha + packed
        print("baseline: sha256sum %.1f s + gzip -1 %.1f s = %.1f s (gzip output %.0f MiB)" % (
            sha, packed, base, (work / "baseline.gz").stat().st_size / 1048576))
        (work / "baseline.gz").unlink()

        results = {}
        for jobs in (1, 2):
            feed = work / ("feed-jobs%d" % jobs)
            results[jobs] = publish(client, feed, "--version", "1", "--jobs", jobs, *level)
            print("publish --jobs %d: %.1f s, %.2f x baseline (feed %.0f MiB)" % (
                jobs, results[jobs], results[jobs] / base, folder_size(feed) / 1048576))
            if jobs == 1:
                shutil.rmtree(feed)
        print("goal: publish --jobs 2 within 1.5 x baseline: %s" % (
            "met" if results[2] <= 1.5 * base else "NOT met"))

        changed = files[len(files) // 2]
        data = bytearray(changed.read_bytes())
        data[len(data) // 2] ^= 0xFF
        changed.write_bytes(bytes(data))
        once = hash_once(files)
        again = publish(client, work / "feed-jobs2", "--version", "2", "--jobs", 2, *level)
        print("re-publish after one file changed (--jobs 2): %.2f s; one hash of the client "
              "(1 thread): %.2f s" % (again, once))
        print("goal: re-publish under 2 s + one hash (%.2f s): %s" % (
            2 + once, "met" if again < 2 + once else "NOT met"))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
