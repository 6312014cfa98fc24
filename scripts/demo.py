#!/usr/bin/env python3
"""The launcher's main job on a bundled demo: a generated client and feed served by nginx
on loopback, the launcher run headless against them.

    scripts/demo.py BUILD_DIR

Steps: the start-up check of a fresh client, a full check of the client, then one file
damaged and one deleted, the check again, an attack refused (the signed manifest changed
after signing, as whoever holds the update host could), the signed update that repairs
them, and a second update that finds nothing to do. The feed is signed with the build's
throwaway demo key, and the launcher run is the build that trusts that key. The demo folder (client, feed, result files) is kept under
BUILD_DIR/demo for a look afterwards.
"""

import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402


def show(step, code, result, wall, result_path):
    print("\n== %s (exit code %d, %.2f s)" % (step, code, wall))
    if result is None:
        print("   no result file")
        return
    if result["ok"]:
        print("   %s" % result["title"])
        print("   %s" % result["detail"])
        print("   %s" % result["hint"])
        print("   phase %d, Play %s, client version %s" % (
            result["phase"], "on" if result["can_play"] else "off",
        result["client_version"] or "—"))
    else:
        print("   failed at stage %s; diagnostic report %s" % (result["stage"], result["report_id"]))
    print("   %d progress views; result: %s" % (len(result["observations"]), result_path))


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else harness.REPO / "build").resolve()
    demo = build / "demo"
    shutil.rmtree(demo, ignore_errors=True)
    launcher = harness.Launcher(build, "VornellLauncherSigned")
    demo_key = build / "test-feed-keys" / "old.pem"

    client = harness.Client(demo / "client", launcher.game)
    files = harness.game_data([4096, 65536, 1 << 20, 8 << 20, 32 << 20, 3000, 777, 150000])
    files.update(client.game_files())
    files[harness.SURFACES] = harness.pck_images.write_pck(harness.FOREIGN_SURFACES,
                                                           launcher.pck_keys())
    client.write(files)
    feed = harness.Feed(demo / "feed")
    feed.publish(files, "2026.12", "--jobs", "2", "--key", demo_key)
    harness.publish_guild(feed.root, demo, "icons-1")
    nginx = harness.Nginx(feed.root, demo).start()
    receiver = harness.ReportReceiver().start()
    config = harness.Launcher.write_config(demo / "qa.json", client.root, demo / "cache",
                                           nginx.url(), receiver.url())
    print("Window previews (the five sample states):")
    for state in ("idle", "update", "busy", "error", "unverified"):
        png = demo / ("preview-%s.png" % state)
        code = subprocess.run(["wine", str(launcher.exe), "--render-preview",
                               harness.windows_path(png), state], env=launcher.env()).returncode
        print("   %-10s %s" % (state, png if code == 0 and png.exists() else "NOT WRITTEN"))
    print("Demo client: %d files, %.1f MiB in %s" % (
        len(files), sum(map(len, files.values())) / 1048576, client.root))
    print("Feed published and signed with %s by tools/feed/vornell-feed into %s, served by "
          "nginx at %s" % (demo_key, feed.root, nginx.url()))
    try:
        steps = [("Start-up check of a fresh client", "startup"),
                 ("Check of every file", "check"),
                 ("Check after one file was damaged and one deleted", "check"),
                 ("Attack: the signed manifest changed after signing", "update"),
                 ("Signed update (repairs, then installs the guild icons)", "update"),
                 ("Second update", "update"),
                 ("Icons, with the installed set current", "icons"),
                 ("Icons, after a new set was published", "icons")]
        for index, (step, action) in enumerate(steps):
            if index == 2:
                damaged = client.root / "element/data/file003.pck"
                data = bytearray(damaged.read_bytes())
                data[len(data) // 2] ^= 0xFF
                damaged.write_bytes(bytes(data))
                deleted = client.root / "element/data/file006.pck"
                deleted.unlink()
                print("\n(damaged one byte of %s, deleted %s)" % (
                    damaged.relative_to(client.root), deleted.relative_to(client.root)))
            if index == 3:
                honest = feed.manifest_path.read_bytes()
                forged = honest.replace(b'"version":"2026.12"', b'"version":"2026.13"')
                assert forged != honest, "the demo's forgery found no version to change"
                feed.write_manifest(forged)
                print("\n(changed the live manifest after it was signed)")
            if index == 4:
                feed.write_manifest(honest)
                print("\n(the honest signed manifest is live again)")
            if index == 7:
                harness.publish_guild(feed.root, demo, "icons-2", seed=3)
                print("\n(published a new guild icon set with tools/feed/vornell-feed guild)")
            result_path = demo / ("result-%d-%s.json" % (index + 1, action))
            code, result, figures = launcher.run_measured(config, action, result_path)
            show(step, code, result, figures["wall_ms"] / 1000.0, result_path)
            print("   launcher's own figures: wall time %.0f ms, peak working set %.1f MiB" % (
                figures["wall_ms"], figures["peak_working_set"] / 1048576.0))
        print("Files: client %s, service folder %s, results %s" % (
            client.root, demo / "cache", demo))
    finally:
        nginx.stop()
        receiver.stop()


if __name__ == "__main__":
    main()
