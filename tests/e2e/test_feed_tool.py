"""Round trip of the operators' feed tool against the real launcher under Wine: a feed it
publishes is checked clean and repairs a damaged client; a feed with its delta package is
accepted by the check action, and brings an old client to the new version by its payloads.

    VORN_BUILD_DIR=build python3 tests/e2e/test_feed_tool.py
"""

import json
import os
import random
import re
import struct
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LAUNCHER = harness.Launcher(BUILD)


def noise(size, seed):
    return b"\0" + random.Random(seed).randbytes(size - 1)


def archive(body):
    """Archive-like: the total size at offset 4 between two tags, then the body."""
    return struct.pack("<III", 0x4DCA23EF, 12 + len(body), 0x56A089B7) + body


def grown(old, tail):
    return old[:4] + struct.pack("<I", len(old) + len(tail)) + old[8:] + tail


@unittest.skipUnless(LAUNCHER.exe.exists() and LAUNCHER.game.exists(),
                     "needs the launcher and the game stand-in under VORN_BUILD_DIR")
class FeedToolRoundTrip(unittest.TestCase):
    def setUp(self):
        self.scene = harness.Scene(LAUNCHER, sizes=(1024,))
        self.addCleanup(self.scene.close)

    def run_ok(self, action):
        code, result, _ = self.scene.run(action)
        self.assertEqual(code, 0, result)
        self.assertTrue(result["ok"], result)
        return result

    def use(self, files, *options, version="2"):
        """The client gets exactly these files (and the game); the feed publishes them."""
        files = dict(files, **self.scene.client.game_files())
        self.scene.files = files
        self.scene.client.write(files)
        return self.scene.feed.publish(files, version, *options)

    def test_published_feed_checks_clean_and_repairs_a_damaged_client(self):
        files = {
            "element/data/text.cfg": b"lod=2\n" * 40000,
            "element/data/noise.bin": noise(300000, 1),
            "element/data/starts-like-zlib.bin": b"x" + noise(5000, 2),
            "element/data/empty.dat": b"",
            "element/interfaces/Ёлка.txt": "ёлка\n".encode() * 100,
        }
        self.use(files, "--jobs", "2")
        output = harness.feed_tool("verify", self.scene.nginx.url())
        self.assertIn("feed OK: version 2", output)

        self.scene.nginx.clear_log()
        result = self.run_ok("check")
        self.assertEqual((result["phase"], result["title"]), (8, "Проверка завершена"))
        self.assertEqual(result["client_version"], "2")
        self.assertIn("GET /upd/manifest.json.gz 200", self.scene.nginx.requests())

        root = self.scene.client.root
        (root / "element/data/text.cfg").write_bytes(b"damaged")
        (root / "element/interfaces/Ёлка.txt").unlink()
        (root / "element/data/starts-like-zlib.bin").write_bytes(b"y" * 5001)
        self.assertEqual(self.run_ok("check")["detail"], "Требуют восстановления: 3 файлов.")
        result = self.run_ok("update")
        self.assertEqual((result["phase"], result["detail"]),
                         (8, "Обновление установлено и проверено."))
        for path, data in self.scene.files.items():
            if path != harness.SURFACES:  # it holds the guild icons now
                self.assertEqual((root / path).read_bytes(), data, path)

    def test_feed_with_a_delta_package_is_accepted_by_the_check(self):
        old = {"element/models.pck": archive(noise(200000, 3)),
               "element/gfx.pck": archive(noise(150000, 4)),
               "element/data/small.txt": b"small"}
        new = dict(old)
        new["element/models.pck"] = grown(old["element/models.pck"], b"tail" * 20000)
        rewritten = bytearray(old["element/gfx.pck"])
        rewritten[100] ^= 0xFF
        new["element/gfx.pck"] = bytes(rewritten)

        base = self.scene.dir / "old-client"
        for path, data in dict(old, **self.scene.client.game_files()).items():
            (base / path).parent.mkdir(parents=True, exist_ok=True)
            (base / path).write_bytes(data)
        self.scene.feed.publish_folder(base, "1")
        document = self.use(new, "--base", base, "--delta-min-size", "64K")
        location = document["delta"]["url"]
        self.assertRegex(location, r"^delta/[0-9a-f]{64}\.json$")

        self.scene.nginx.clear_log()
        result = self.run_ok("check")
        self.assertEqual((result["phase"], result["title"]), (8, "Проверка завершена"))
        self.assertIn("GET /upd/%s 200" % location, self.scene.nginx.requests())
        self.assertIn("Проверяем описание дельты", {o["title"] for o in result["observations"]})

        # A client still at the base version: the package is accepted, the files differ.
        self.scene.client.write(old)
        result = self.run_ok("check")
        self.assertEqual(result["phase"], 2)
        self.assertTrue(re.fullmatch(r"Требуют восстановления: 2 файлов\.", result["detail"]),
                        result["detail"])

    def test_an_old_client_is_updated_by_the_package_and_only_the_rest_is_downloaded(self):
        old = {"element/models.pck": archive(noise(300000, 5)),
               "element/gfx.pck": archive(noise(250000, 6)),
               "element/sfx.pck": archive(noise(200000, 7)),
               "element/data/small.txt": b"small",
               "element/data/same.txt": b"unchanged"}
        new = dict(old)
        for path, seed in (("element/models.pck", 8), ("element/gfx.pck", 9)):
            new[path] = grown(old[path], noise(90000, seed))
        new["element/sfx.pck"] = archive(noise(210000, 10))  # rewritten: a "full" entry
        new["element/data/small.txt"] = b"small, changed"
        base = self.scene.dir / "old-client"
        for path, data in dict(old, **self.scene.client.game_files()).items():
            (base / path).parent.mkdir(parents=True, exist_ok=True)
            (base / path).write_bytes(data)
        self.scene.feed.publish_folder(base, "1")
        self.scene.client.write(old)
        document = self.use(new, "--base", base, "--delta-min-size", "64K")
        self.scene.client.write(old)  # use() wrote the new files; the player has the old
        blobs = {f["path"]: f["sha256"] for f in document["files"]}

        self.scene.nginx.clear_log()
        result = self.run_ok("update")
        self.assertEqual((result["phase"], result["title"]), (8, "Клиент готов к игре"))
        root = self.scene.client.root
        for path, data in new.items():
            self.assertEqual((root / path).read_bytes(), data, path)
        requests = self.scene.nginx.requests()
        payloads = [r for r in requests if "/payload/" in r]
        self.assertEqual(len(payloads), 3, requests)  # one per changed archive
        for path in ("element/models.pck", "element/gfx.pck", "element/sfx.pck"):
            self.assertFalse(any(blobs[path] in r for r in requests), path)
        self.assertTrue(any(blobs["element/data/small.txt"] in r for r in requests))
        self.assertFalse((root / ".vorn-delta-journal-v1.json").exists())
        self.assertEqual(self.run_ok("check")["title"], "Проверка завершена")
        self.assertEqual(self.run_ok("update")["detail"], "Все файлы уже актуальны.")

    def publish_version(self, files, version, base):
        """Publishes a client folder of its own (the player's stays as it is) against the
        previous version's folder; returns (the new folder, the manifest)."""
        folder = self.scene.dir / ("client-" + version)
        for path, data in dict(files, **self.scene.client.game_files()).items():
            (folder / path).parent.mkdir(parents=True, exist_ok=True)
            (folder / path).write_bytes(data)
        return folder, self.scene.feed.publish_folder(folder, version, "--base", base,
                                                      "--delta-min-size", "64K")

    def test_a_player_with_icons_gets_a_grown_surfaces_archive(self):
        self.run_ok("update")  # version 1, and the icons patched into surfaces.pck
        icons = harness.pck_images.dds_of(8, 4, harness.guild_pixels(0))
        self.assertEqual(self.scene.surfaces_entries()[b"surfaces\\iconset\\iconlist_guild.dds"],
                         icons)
        grown_surfaces = harness.FOREIGN_SURFACES + [(b"surfaces\\bulk.dds", noise(200000, 11))]
        files = dict(self.scene.files)
        files[harness.SURFACES] = harness.pck_images.write_pck(grown_surfaces,
                                                               LAUNCHER.pck_keys())
        self.publish_version(files, "2", self.scene.feed.source)

        result = self.run_ok("update")
        self.assertEqual((result["title"], result["client_version"]), ("Клиент готов к игре", "2"))
        entries = self.scene.surfaces_entries()
        self.assertEqual(entries[b"surfaces\\bulk.dds"], grown_surfaces[-1][1])
        self.assertEqual(entries[b"surfaces\\iconset\\iconlist_guild.dds"], icons)

    def test_the_caches_keep_only_the_current_package(self):
        files = {"element/models.pck": archive(noise(300000, 20))}
        self.use(files, version="1")
        base = self.scene.feed.source
        for version in range(2, 7):
            files = {"element/models.pck": grown(files["element/models.pck"],
                                                 noise(70000, 20 + version))}
            base, document = self.publish_version(files, str(version), base)
            self.assertEqual(self.run_ok("update")["client_version"], str(version))
        package = json.loads((self.scene.feed.root / "upd" / document["delta"]["url"]).read_text())
        named = {e["payload"]["compressed"]["sha256"] + ".zlib" for e in package["files"]}
        cached = {p.name for p in (self.scene.cache / "delta-payloads-v1").iterdir()}
        self.assertEqual(cached, named | {name + ".download.lock" for name in named})


if __name__ == "__main__":
    unittest.main(verbosity=2)
