#!/usr/bin/env python3
"""Update of a generated client whose every file (1 GiB in 100 files by default) is
damaged, served by nginx on loopback, in the same run against curl fetching the same blobs
plus cp of the same bytes, and against the launcher's floor on this machine: a bare WinHTTP
download of the same blobs one after another plus one read-and-hash pass on one thread over
the damaged client files (floor_bench.exe; the damaged files have the blobs' sizes). The
ratio update / floor has a goal of 1.5; it is printed, never checked.
Usage: update_bench.py BUILD [TOTAL_MIB] [FILES]"""

import hashlib
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402


def run_wine(build, exe, args, env):
    """stdout of a bench program under Wine; its stderr and the exit on a failure."""
    result = subprocess.run(["wine", str(build / "bench" / exe)] + args, env=env,
                            capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        sys.exit("%s failed with exit code %d" % (exe, result.returncode))
    return result.stdout


def print_but_figure(output, key, exe):
    """Prints every line of a bench program's output but the one starting with `key`;
    returns that line's figure. A program whose Wine server was stopped under it can end
    with code 0 and no output: that is a failure too."""
    figure = None
    for line in output.splitlines():
        if line.startswith(key):
            figure = float(line[len(key):])
        else:
            print(line)
    if figure is None:
        sys.exit("%s printed no %r line" % (exe, key))
    return figure


def floor_seconds(build, work, urls, client_files, env):
    """Runs floor_bench over the blobs and the still damaged client files; prints its
    lines and returns the floor in seconds."""
    listing = work / "floor.list"
    listing.write_text("".join("%s\t%s\n" % (url, harness.windows_path(path))
                               for url, path in zip(urls, client_files)), encoding="utf-8")
    output = run_wine(build, "floor_bench.exe", [harness.windows_path(listing)], env)
    seconds = print_but_figure(output, "floor seconds: ", "floor_bench.exe")
    print("floor, download + read-and-hash: %.2f s" % seconds)
    return seconds


def main():
    build = Path(sys.argv[1]).resolve()
    total_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    work = Path(tempfile.mkdtemp(prefix="vorn-update-bench-"))
    nginx = None
    try:
        size = total_mib * 1048576 // count
        seed = hashlib.sha256(b"update bench").digest() * (1048576 // 32)
        files = {}
        for i in range(count):
            block = bytes([i % 251]) + seed[1:]
            files["element/data/f%03d.pck" % i] = (block * (size // len(block) + 1))[:size]
        files["element/elementclient.exe"] = b"game"
        feed = harness.Feed(work / "feed")
        # Raw blobs: the comparison is with curl and cp of the same bytes.
        manifest = feed.publish(files, "1", "--compression", "none", "--jobs", "2")
        files.pop("element/elementclient.exe")
        manifest["files"] = [f for f in manifest["files"] if f["path"] in files]
        client = work / "client"
        for path, data in files.items():
            target = client / path
            target.parent.mkdir(parents=True, exist_ok=True)
            damaged = bytearray(data)
            damaged[len(damaged) // 2] ^= 0xFF  # same size: every file is read and backed up
            target.write_bytes(bytes(damaged))
        (client / "element" / "elementclient.exe").write_bytes(b"game")
        nginx = harness.Nginx(feed.root, work).start()

        urls = [nginx.url("upd/%s/%s.dat" % (f["sha256"][:2], f["sha256"]))
                for f in manifest["files"]]
        out = work / "curl"
        out.mkdir()
        start = time.monotonic()
        args = ["curl", "-s", "--fail"]
        for index, url in enumerate(urls):
            args += ["-o", str(out / ("%d.bin" % index)), url]
        subprocess.run(args, check=True)
        curl = time.monotonic() - start
        start = time.monotonic()
        subprocess.run(["cp", "-r", str(out), str(work / "copy")], check=True)
        copy = time.monotonic() - start
        shutil.rmtree(out)
        shutil.rmtree(work / "copy")

        print("update of %d damaged files, %d MiB, from nginx on loopback" % (count, total_mib))
        print("curl of the same blobs: %.2f s; cp of the same bytes: %.2f s; together %.2f s"
              % (curl, copy, curl + copy))
        launcher = harness.Launcher(build)
        # Before the update, while the client's files are still the damaged ones.
        floor = floor_seconds(build, work, urls,
                              [client / f["path"] for f in manifest["files"]], launcher.env())
        output = run_wine(build, "update_bench.exe",
                          [harness.windows_path(client), harness.windows_path(work / "cache"),
                           nginx.url("upd/manifest.json"), nginx.url("upd/")], launcher.env())
        seconds = print_but_figure(output, "launcher seconds: ", "update_bench.exe")
        print("ratio update / (curl + cp): %.2f" % (seconds / (curl + copy)))
        print("ratio update / floor: %.2f (goal 1.5)" % (seconds / floor))
    finally:
        if nginx:
            nginx.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
