"""A 256 MiB delta payload whose connection is reset at random moments, against the same
download uninterrupted: the time, and the bytes the server sent again per reset.

    python3 bench/resume_bench.py BUILD [RESETS] [SIZE_MIB]

nginx serves the blob (ranges of static files, strong ETags); the tests' fault relay sits
between it and blob_download_bench.exe and resets the next RESETS connections, each at a
random byte of its answer.
"""

import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
import harness  # noqa: E402
from fault_relay import FaultRelay  # noqa: E402

MIB = 1 << 20


def download(build, url, size, sha, cache):
    """(seconds, peak working set text) of one download_blob_cached into an empty cache."""
    for leftover in Path(cache).glob("*"):
        leftover.unlink()
    env = harness.Launcher(build).env()
    output = subprocess.run(
        ["wine", str(build / "bench" / "blob_download_bench.exe"), url, str(size), sha,
         harness.windows_path(cache), "--cache-only"],
        env=env, capture_output=True, text=True, timeout=3600)
    if output.returncode != 0:
        raise SystemExit("the download failed: %s" % output.stderr.strip()[-400:])
    seconds = float(re.search(r"download_blob_cached: .*\(([\d.]+) s\)", output.stdout).group(1))
    peak = re.search(r"peak working set: ([\d.]+) MiB", output.stdout).group(1)
    return seconds, peak


def main():
    build = Path(sys.argv[1]).resolve()
    resets = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    size = (int(sys.argv[3]) if len(sys.argv) > 3 else 256) * MIB
    rng = random.Random(int(os.environ.get("VORN_RESUME_SEED", "20261210")))
    work = Path(tempfile.mkdtemp(prefix="vorn-resume-bench-", dir=build))
    root, cache = work / "root", work / "cache"
    root.mkdir()
    cache.mkdir()
    blob = root / "payload.zlib"
    blob.write_bytes(os.urandom(size))
    sha = hashlib.sha256(blob.read_bytes()).hexdigest()
    nginx = harness.Nginx(root, work).start()
    relay = FaultRelay(nginx.port).start()
    try:
        whole, peak = download(build, relay.url("payload.zlib"), size, sha, cache)
        relay.take_log()
        # Each reset strikes within what the connection before it left to fetch.
        for _ in range(resets):
            relay.arm("reset", path="/payload.zlib", at=rng.randrange(1, size // resets))
        broken, broken_peak = download(build, relay.url("payload.zlib"), size, sha, cache)
        log = relay.take_log()
        struck = sum(1 for _, _, fault in log if fault == "reset")
        sent = sum(count for _, count, _ in log)
        again = sent - size
        print("%d MiB payload, uninterrupted: %.2f s, peak working set %s MiB" % (
            size // MIB, whole, peak))
        print("with %d resets (%d connections): %.2f s, peak working set %s MiB" % (
            struck, len(log), broken, broken_peak))
        print("body bytes sent: %d; sent again: %d in all, %.1f KiB per reset (goal: at "
              "most 1 MiB)" % (sent, again, again / max(struck, 1) / 1024))
    finally:
        relay.stop()
        nginx.stop()
        subprocess.run(["rm", "-rf", str(work)])


if __name__ == "__main__":
    main()
