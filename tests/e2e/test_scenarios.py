"""Scenario tests of the headless launcher against nginx and a report receiver.

    VORN_BUILD_DIR=build python3 tests/e2e/test_scenarios.py
"""

import json
import os
import random
import re
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import pck_images  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build"))
LAUNCHER = harness.Launcher(BUILD)
UNKNOWN = "Доступность новых обновлений сейчас неизвестна."


class Scenarios(unittest.TestCase):
    def setUp(self):
        self.scene = harness.Scene(LAUNCHER)
        self.addCleanup(self.scene.close)

    def run_ok(self, action):
        code, result, _ = self.scene.run(action)
        self.assertEqual(code, 0, result)
        self.assertTrue(result["ok"], result)
        self.assertEqual(result["build"], self.scene.launcher.build_text())
        self.assertTrue(result["local_test"])
        return result

    def run_failing(self, action):
        code, result, _ = self.scene.run(action)
        self.assertEqual(code, 1, result)
        self.assertFalse(result["ok"], result)
        return result

    def test_fresh_client_is_unverified(self):
        result = self.run_ok("startup")
        self.assertEqual(result["phase"], 2)
        self.assertEqual(result["title"], "Нужна проверка клиента")
        self.assertFalse(result["can_play"])
        self.assertEqual(result["observations"][0]["title"], "Проверяем наличие обновлений")
        self.assertFalse((self.scene.cache / "installed-v2.json").exists())

    def test_check_then_startup_takes_the_fast_path(self):
        result = self.run_ok("check")
        self.assertEqual((result["phase"], result["title"]), (8, "Проверка завершена"))
        self.assertTrue(result["can_play"])
        self.assertEqual(result["client_version"], "1")
        titles = {o["title"] for o in result["observations"]}
        self.assertIn("Проверяем файлы клиента", titles)
        # The compressed copy is proven fresh by nginx's validators and replaces the plain GET.
        self.assertEqual(self.scene.nginx.requests(),
                         ["HEAD /upd/manifest.json 200", "GET /upd/manifest.json.gz 200",
                          "HEAD /upd/manifest.json 200"])
        receipt = json.loads((self.scene.cache / "installed-v2.json").read_text())
        self.assertEqual(receipt["schema"], 2)
        self.assertFalse((self.scene.cache / "update-dirty-v1.bin").exists())

        self.scene.nginx.clear_log()
        result = self.run_ok("startup")
        self.assertEqual((result["phase"], result["detail"]), (8, "Новых обновлений нет."))
        # The start-up asks both release addresses first (none is published: no report),
        # then only the manifest's validators.
        self.assertEqual(self.scene.nginx.requests(),
                         ["GET /downloads/launcher-release-v1.json 404"] * 2 +
                         ["HEAD /upd/manifest.json 200"])
        self.assertEqual(self.scene.queued(), [])

    def test_damaged_client_lists_the_count(self):
        self.run_ok("check")
        first = self.scene.client.root / "element/data/file000.pck"
        first.write_bytes(b"x" * first.stat().st_size)
        (self.scene.client.root / "element/data/file001.pck").unlink()
        result = self.run_ok("check")
        self.assertEqual(result["phase"], 2)
        self.assertEqual(result["detail"], "Требуют восстановления: 2 файлов.")
        self.assertFalse(result["can_play"])
        self.assertTrue((self.scene.cache / "update-dirty-v1.bin").exists())
        self.assertEqual(self.run_ok("startup")["title"], "Нужна проверка клиента")

    def test_without_network_a_verified_client_stays_playable(self):
        self.run_ok("check")
        self.scene.nginx.stop()
        result = self.run_ok("startup")
        self.assertEqual(result["phase"], 8)
        # The self-update could not ask for a release either: its report code is the hint.
        match = re.fullmatch(r"Код отчёта: ([0-9a-f]{32})", result["hint"])
        self.assertTrue(match, result["hint"])
        self.assertIn("Обновление лаунчера не выполнено",
                      {o["title"] for o in result["observations"]})
        # Both reports are delivered after the action: the self-update's and the start-up's.
        events = {r["report_id"]: r["event"] for r in self.scene.receiver.reports}
        self.assertEqual(len(events), 2)
        self.assertIn(match.group(1), events)
        self.assertIn("manifest_failed", events.values())
        self.assertEqual(self.scene.queued(), [])

    def test_without_network_or_receipt_a_report_waits_then_goes(self):
        self.scene.nginx.stop()
        self.scene.receiver.accepting = False
        result = self.run_failing("startup")
        self.assertEqual(result["stage"], "connect")
        self.assertRegex(result["report_id"], r"^[0-9a-f]{32}$")
        # The self-update's report waits beside the start-up's.
        self.assertIn(result["report_id"] + ".json", self.scene.queued())
        self.assertEqual(len(self.scene.queued()), 2)
        last = json.loads((self.scene.cache / "diagnostics-last-v1.json").read_text())
        self.assertEqual(last["report_id"], result["report_id"])
        self.assertEqual(last["client_state"], "unverified")

        self.scene.receiver.accepting = True
        waiting = set(self.scene.queued())
        second = self.run_failing("startup")
        # At most two go after each action; the rest wait for the next one.
        delivered = {r["report_id"] + ".json" for r in self.scene.receiver.reports}
        queued = set(self.scene.queued())
        self.assertEqual(len(delivered), 2)
        self.assertFalse(delivered & queued)
        self.assertEqual(len(delivered | queued), 4)
        self.assertTrue(waiting | {second["report_id"] + ".json"} <= delivered | queued)

    def test_every_class_of_manifest_fault_is_refused(self):
        good = json.loads(self.scene.feed.manifest_path.read_text())
        first = good["files"][0]

        def variant(**changes):
            doc = json.loads(json.dumps(good))
            for key, value in changes.items():
                if key == "entry":
                    doc["files"][0].update(value)
                else:
                    doc[key] = value
            return json.dumps(doc).encode()

        cases = [
            ("zero byte", b'{"files":[]}\x00', "manifest_parse"),
            ("not JSON", b"<html>", "manifest_parse"),
            ("key twice", b'{"files":[],"files":[]}', "manifest_parse"),
            ("no files", variant(files=[]), "manifest_limit"),
            ("bad version", variant(version="1 2"), "manifest_parse"),
            ("foreign executable", variant(executable="element/other.exe"),
             "manifest_executable"),
            ("outside element", variant(entry={"path": "data/a.pck"}), "manifest_path"),
            ("dot segment", variant(entry={"path": "element/../a.pck"}), "unsafe_path"),
            ("bad digest", variant(entry={"sha256": first["sha256"][:-1]}), "manifest_sha"),
            ("size over limit", variant(entry={"size": 536870913}), "manifest_limit"),
            ("bad delta", variant(delta={"url": "d.json"}), "delta_descriptor"),
        ]
        for name, body, stage in cases:
            with self.subTest(name):
                self.scene.feed.write_manifest(body, compressed_copy=False)
                result = self.run_failing("check")
                self.assertEqual(result["stage"], stage)
                self.assertRegex(result["report_id"], r"^[0-9a-f]{32}$")
        self.assertEqual(len(self.scene.receiver.reports), len(cases))
        self.assertTrue(all(r["event"] == "manifest_failed" for r in self.scene.receiver.reports))

    def test_http_status_of_a_missing_manifest_is_reported(self):
        self.scene.feed.manifest_path.unlink()
        result = self.run_failing("check")
        self.assertEqual((result["stage"], result["http_status"]), ("http_status", 404))

    def test_non_loopback_endpoint_is_refused(self):
        self.scene.configure(manifestUrl="https://updates.example.com/upd/manifest.json")
        result = self.run_failing("startup")
        self.assertEqual(result["stage"], "qa_network_blocked")

    def expect_icons(self, dds):
        entries = self.scene.surfaces_entries()
        for name, data in self.scene.foreign_surfaces:
            if b"iconlist_guild" not in name:
                self.assertEqual(entries[name], data, name)
        self.assertEqual(entries[b"surfaces\\iconset\\iconlist_guild.dds"], dds)
        self.assertEqual(entries[b"surfaces\\iconset\\iconlist_guild.txt"], harness.GUILD_LIST)
        self.assertEqual(len(entries), len(self.scene.foreign_surfaces))

    def test_icons_patch_surfaces_and_the_check_accepts_the_patched_archive(self):
        self.run_ok("check")
        dds = self.scene.publish_guild("2026-12-09.1", seed=5)
        result = self.run_ok("icons")
        self.assertEqual((result["phase"], result["title"], result["detail"]),
                         (8, "Иконки кланов обновлены", "Посторонние файлы архива сохранены."))
        self.assertTrue(result["can_play"])
        self.expect_icons(dds)
        state = json.loads((self.scene.cache / "guild-state-v2.json").read_text())
        self.assertEqual(state["version"], "2026-12-09.1")
        listed = next(f for f in self.scene.manifest["files"] if f["path"] == harness.SURFACES)
        self.assertEqual(state["base_sha256"], listed["sha256"])

        # The archive no longer has the manifest's digest; the guild state vouches for it.
        result = self.run_ok("check")
        self.assertEqual((result["title"], result["detail"]),
                         ("Проверка завершена", "Все файлы клиента прошли проверку."))
        self.scene.nginx.clear_log()
        self.run_ok("icons")
        guild_requests = [r for r in self.scene.nginx.requests() if "/lk_server/" in r]
        self.assertEqual(guild_requests, ["GET /lk_server/klan/version.txt 200"])

    def test_update_ends_with_the_icons_or_says_they_are_unavailable(self):
        result = self.run_ok("update")
        self.assertEqual((result["phase"], result["title"]), (8, "Клиент готов к игре"))
        self.expect_icons(pck_images.dds_of(8, 4, harness.guild_pixels(0)))

        for name in ("version.txt", "iconlist_guild.txt", "iconlist_guild.png"):
            (self.scene.feed.root / "lk_server" / "klan" / name).unlink()
        (self.scene.client.root / harness.SURFACES).write_bytes(
            self.scene.files[harness.SURFACES])
        result = self.run_ok("update")
        self.assertEqual((result["phase"], result["title"], result["detail"]),
                         (8, "Файлы клиента проверены",
                          "Иконки кланов сейчас недоступны. Повторите кнопкой «Иконки»."))
        self.assertTrue(result["can_play"])

    def test_update_repairs_from_raw_gzip_and_zlib_blobs(self):
        # New content for three files: one published as gzip, then one as zlib (the gzip
        # blob stays as it was stored), and noise, which is stored raw whatever the option.
        files, feed = self.scene.files, self.scene.feed
        gzipped, zlibbed, raw = ("element/data/file000.pck", "element/data/file001.pck",
                                 "element/data/file002.pck")
        files[gzipped] = files[gzipped][::-1]
        feed.publish(files, "2", "--compression", "gzip")
        files[zlibbed] = files[zlibbed][::-1]
        files[raw] = b"\0" + random.Random(2).randbytes(len(files[raw]) - 1)
        self.scene.manifest = feed.publish(files, "2", "--compression", "zlib")
        stored = {f["path"]: feed.blob(f["sha256"]).read_bytes()
                  for f in self.scene.manifest["files"]}
        self.assertEqual(stored[gzipped][:2], b"\x1f\x8b")
        self.assertEqual(stored[zlibbed][:1], b"\x78")
        self.assertEqual(stored[raw], files[raw])

        for path in (gzipped, zlibbed):
            (self.scene.client.root / path).write_bytes(b"broken")
        (self.scene.client.root / raw).unlink()
        result = self.run_ok("update")
        self.assertEqual((result["phase"], result["detail"]),
                         (8, "Обновление установлено и проверено."))
        self.assertTrue(result["can_play"])
        for path, data in files.items():
            if path != harness.SURFACES:  # it holds the guild icons now
                self.assertEqual((self.scene.client.root / path).read_bytes(), data, path)
        self.assertFalse((self.scene.cache / "transaction-v2.json").exists())
        self.assertFalse((self.scene.cache / "update-dirty-v1.bin").exists())
        self.assertIn("Загружаем обновление", {o["title"] for o in result["observations"]})
        self.assertEqual(self.run_ok("update")["detail"], "Все файлы уже актуальны.")

    def test_a_blob_with_the_wrong_content_is_never_installed(self):
        path = "element/data/file001.pck"
        digest = next(f["sha256"] for f in self.scene.manifest["files"] if f["path"] == path)
        blob = self.scene.feed.blob(digest)
        # Of the stored length, so that only the content check can catch it.
        blob.write_bytes(b"not the file".ljust(blob.stat().st_size, b"."))
        live = self.scene.client.root / path
        live.write_bytes(b"damaged")
        result = self.run_failing("update")
        self.assertEqual(result["stage"], "blob_sha")
        self.assertEqual(live.read_bytes(), b"damaged")
        self.assertFalse((self.scene.cache / "transaction-v2.json").exists())

    def test_fixture_without_marker_does_not_start(self):
        (self.scene.client.root / harness.MARKER).unlink()
        code, result, _ = self.scene.run("startup")
        self.assertEqual((code, result), (2, None))

    def test_second_launcher_for_the_same_client_exits_at_once(self):
        stalling = harness.Stalling(4)
        self.addCleanup(stalling.stop)
        self.scene.configure(manifestUrl=stalling.url() + "manifest.json")
        first_result = self.scene.dir / "first.json"
        first = LAUNCHER.start(self.scene.config, "startup", first_result)
        time.sleep(2)  # it holds the client's lock and waits for the server
        code, result, wall = LAUNCHER.run(self.scene.config, "startup", self.scene.result)
        self.assertEqual((code, result), (0, None))
        self.assertLess(wall, 4)
        self.assertEqual(first.wait(60), 1)
        self.assertFalse(json.loads(first_result.read_text())["ok"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
