"""The signed feed end to end: launchers built with throwaway feed keys (the build makes
them with the feed tool) install and hand over only what those keys signed.

One table walks every refusal against a damaged client: each must fail with its own stage,
leave every client file and the receipt as they were, and leave a report. Another walks
what must pass.

    VORN_BUILD_DIR=build python3 tests/e2e/test_signed_feed.py
"""

import json
import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

sys.path.insert(0, str(harness.REPO / "tools" / "feed"))
from vornell_feed import signing  # noqa: E402

BUILD = Path(os.environ.get("VORN_BUILD_DIR", harness.REPO / "build")).resolve()
KEYS = BUILD / "test-feed-keys"
DAY = 86400


SIGNED = harness.Launcher(BUILD, "VornellLauncherSigned")  # trusts the old key
ROTATED = harness.Launcher(BUILD, "VornellLauncherRotated")  # the old and the new key
UNKEYED = harness.Launcher(BUILD)


def key(name):
    return signing.load_private_key(KEYS / (name + ".pem"))


class SignedScene(harness.Scene):
    """A scene whose manifest and release descriptor can be signed at will."""

    def __init__(self, launcher):
        super().__init__(launcher)
        self.sequence = 100

    @property
    def manifest_sig(self):
        return self.feed.manifest_path.with_name("manifest.json.sig")

    def sign(self, private_key, kind="manifest", data=None, sequence=None,
             expires=None, target=None):
        """Signs `data` (the live manifest by default) into `target` (manifest.json.sig)."""
        if sequence is None:
            self.sequence += 1
            sequence = self.sequence
        document = signing.signature_document(
            private_key, kind, data if data is not None else self.feed.manifest_path.read_bytes(),
            sequence, expires if expires is not None else time.time() + 30 * DAY)
        (target or self.manifest_sig).write_bytes(document)
        return document

    def client_state(self):
        """Every file of the client and the receipt, as bytes."""
        files = {str(p.relative_to(self.client.root)): p.read_bytes()
                 for p in sorted(self.client.root.rglob("*")) if p.is_file()}
        receipt = self.cache / "installed-v2.json"
        return files, receipt.read_bytes() if receipt.exists() else None

    def report_stage(self, report_id):
        """The stage of the report's last attempt, delivered or still queued."""
        reports = list(self.receiver.reports)
        queued = self.cache / "diagnostics-pending-v2" / (report_id + ".json")
        if queued.exists():
            reports.append(json.loads(queued.read_text()))
        for report in reports:
            if report["report_id"] == report_id:
                return report["attempts"][-1]["stage"]
        return None


def damage(scene):
    target = scene.client.root / "element/data/file000.pck"
    target.write_bytes(b"damaged" * 100)
    (scene.client.root / "element/data/file001.pck").unlink()


def flip_signature(scene):
    document = json.loads(scene.sign(key("old")))
    last = document["signature"][-1]
    document["signature"] = document["signature"][:-1] + ("0" if last != "0" else "1")
    scene.manifest_sig.write_text(json.dumps(document))


def change_after_signing(scene):
    scene.sign(key("old"))
    manifest = json.loads(scene.feed.manifest_path.read_bytes())
    manifest["files"][0]["sha256"] = "0" * 64  # what an attacker with the host would serve
    scene.feed.write_manifest(json.dumps(manifest).encode())


def over_the_limit(scene):
    scene.sign(key("old"))
    scene.manifest_sig.write_bytes(scene.manifest_sig.read_bytes() + b" " * 4096)


def duplicate_key(scene):
    text = scene.sign(key("old")).decode()
    scene.manifest_sig.write_text(text.replace('"kind"', '"kind": "manifest", "kind"', 1))


def stranger(scene):
    path = scene.dir / "stranger.pem"
    if not path.exists():
        signing.keygen(path)
    scene.sign(signing.load_private_key(path))


REFUSALS = [
    ("no signature", lambda s: s.manifest_sig.unlink(), "feed_unsigned"),
    ("an unknown key", stranger, "feed_key_unknown"),
    ("a bad signature", flip_signature, "feed_signature_bad"),
    ("a manifest changed after signing", change_after_signing, "feed_document_mismatch"),
    ("another document's signature",
     lambda s: s.sign(key("old"), data=b'{"version": "0"}'), "feed_document_mismatch"),
    ("a release descriptor's signature",
     lambda s: s.sign(key("old"), kind="release"), "feed_kind_mismatch"),
    ("a lower sequence", lambda s: s.sign(key("old"), sequence=50), "feed_rollback"),
    ("an expired signature",
     lambda s: s.sign(key("old"), expires=time.time() - 60), "feed_expired"),
    ("a signature over its limit", over_the_limit, "feed_signature_form"),
    ("a signature that is not strict JSON", duplicate_key, "feed_signature_form"),
]


class SignedFeed(unittest.TestCase):
    def scene(self, launcher):
        scene = SignedScene(launcher)
        self.addCleanup(scene.close)
        return scene

    def run_ok(self, scene, action):
        code, result, _ = scene.run(action)
        self.assertEqual(code, 0, result)
        self.assertTrue(result["ok"], result)
        return result

    def test_every_refusal_changes_nothing_and_leaves_a_report(self):
        scene = self.scene(SIGNED)
        damage(scene)
        # A first accepted document sets the highest sequence this client has seen.
        scene.sign(key("old"), sequence=80)
        self.run_ok(scene, "check")
        before = scene.client_state()
        honest = scene.feed.manifest_path.read_bytes()
        for name, prepare, stage in REFUSALS:
            with self.subTest(name):
                scene.feed.write_manifest(honest)
                prepare(scene)
                code, result, _ = scene.run("update")
                self.assertEqual(code, 1, result)
                self.assertEqual(result["stage"], stage)
                self.assertEqual(scene.client_state(), before)
                self.assertEqual(scene.report_stage(result["report_id"]), stage)
        # Everything refused; the honest signed feed then repairs the client.
        scene.feed.write_manifest(honest)
        scene.sign(key("old"))
        self.run_ok(scene, "update")
        self.assertNotEqual(scene.client_state(), before)
        self.assertEqual(self.run_ok(scene, "check")["title"], "Проверка завершена")

    def test_a_release_descriptor_must_be_signed_as_one(self):
        scene = self.scene(SIGNED)
        scene.sign(key("old"))
        downloads = scene.feed.root / "downloads"
        downloads.mkdir()
        shutil.copyfile(BUILD / "tests" / "VornellLauncherNext.exe",
                        downloads / "VornellLauncher.exe")
        descriptor = downloads / "launcher-release-v1.json"
        harness.feed_tool("release", downloads / "VornellLauncher.exe", descriptor,
                          "--build", "2026.10.26.5",
                          "--url", scene.nginx.url("downloads/VornellLauncher.exe"), "--quiet")
        signature = descriptor.with_name(descriptor.name + ".sig")
        for name, sign, stage in [
                ("unsigned", lambda: None, "feed_unsigned"),
                ("signed as a manifest",
                 lambda: scene.sign(key("old"), kind="manifest", data=descriptor.read_bytes(),
                                    target=signature), "feed_kind_mismatch")]:
            with self.subTest(name):
                sign()
                scene.receiver.reports.clear()
                result = self.run_ok(scene, "startup")
                self.assertNotIn("self_update_started", result)
                self.assertEqual([r["attempts"][-1]["stage"] for r in scene.receiver.reports],
                                 [stage])
                self.assertFalse(any(scene.client.root.glob("VornellLauncher.update.*")))

    def test_what_must_pass(self):
        scene = self.scene(SIGNED)
        damage(scene)
        # Published by the tool with the key: the update repairs the client.
        harness.feed_tool("publish", scene.feed.source, scene.feed.root, "--version", "1",
                          "--quiet", "--key", KEYS / "old.pem")
        self.run_ok(scene, "update")
        # The same document twice, then re-signed by the scheduled job with a higher sequence.
        self.assertEqual(self.run_ok(scene, "check")["title"], "Проверка завершена")
        first = json.loads(scene.manifest_sig.read_text())["sequence"]
        harness.feed_tool("resign", "--key", KEYS / "old.pem", "--feed", scene.feed.root)
        self.assertGreater(json.loads(scene.manifest_sig.read_text())["sequence"], first)
        self.assertEqual(self.run_ok(scene, "check")["title"], "Проверка завершена")

    def test_a_rotation_build_takes_both_keys_and_an_unkeyed_build_takes_none(self):
        scene = self.scene(ROTATED)
        for name in ("old", "new"):
            with self.subTest(name):
                scene.sign(key(name))
                self.assertEqual(self.run_ok(scene, "check")["title"], "Проверка завершена")
        scene.manifest_sig.unlink()
        scene.launcher = UNKEYED
        self.assertEqual(self.run_ok(scene, "check")["title"], "Проверка завершена")


if __name__ == "__main__":
    unittest.main(verbosity=2)
