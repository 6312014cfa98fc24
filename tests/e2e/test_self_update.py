"""The launcher replaces itself under Wine: build N hands over to the updater built with it,
the updater installs build N+1 (a second build of the same sources with the next build
text), N+1 starts and writes its health file. And a new build that never proves itself
healthy is undone: N is back, runs, and is never offered that build again.

    VORN_BUILD_DIR=build python3 tests/e2e/test_self_update.py
"""

import json
import unittest

from self_update_scene import (NEXT_BUILD, NEXT_LAUNCHER, PINNED_LAUNCHER, SIGNED_NEXT_LAUNCHER,
                               SIGNED_UPDATER, SILENT_LAUNCHER, Display, SelfUpdateScene,
                               digest, wait_until)
from test_window import OnDisplay


class SelfUpdateTest(OnDisplay):
    display_class = Display

    def scene(self, new_launcher, **kwargs):
        scene = SelfUpdateScene(self.display, new_launcher, **kwargs)
        self.addCleanup(scene.close)
        return scene

    def test_build_n_is_replaced_by_a_healthy_n_plus_1(self):
        self.replaced(self.scene(NEXT_LAUNCHER))

    def test_a_release_signed_by_the_build_replaces_itself_with_a_schema_1_descriptor(self):
        # The launcher pins the test signer and the digest of the updater the build signed;
        # the descriptor names no updater, so that pinned digest must match the signed file.
        self.replaced(self.scene(SIGNED_NEXT_LAUNCHER, launcher=PINNED_LAUNCHER,
                                 updater=SIGNED_UPDATER))

    def test_a_pinned_launcher_refuses_an_unsigned_new_build(self):
        scene = self.scene(NEXT_LAUNCHER, launcher=PINNED_LAUNCHER, updater=SIGNED_UPDATER)
        code, result = scene.run("startup")
        self.assertEqual(code, 0, result)
        self.assertNotIn("self_update_started", result)
        self.assertEqual(scene.launcher_bytes(), scene.old)
        self.assertIsNone(scene.state("self-update-blocked-sha-v2.txt"))
        self.assertIn("self_update_signature", json.dumps(scene.scene.receiver.reports),
                      "no report of the refused signature")

    def replaced(self, scene):
        code, result = scene.run("startup")
        self.assertEqual(code, 0)
        self.assertTrue(result.get("self_update_started"), result)
        self.assertTrue(wait_until(scene.healthy, 120), "build N+1 wrote no health file")
        self.assertTrue(wait_until(lambda: scene.launcher_bytes() == scene.new, 10))
        scene.stop_wine()  # build N+1's window

        self.assertEqual(scene.backup.read_bytes(), scene.old)
        self.assertFalse(scene.staged.exists())
        self.assertIsNone(scene.state("self-update-failed-sha-v2.txt"))
        # What now starts from the launcher's path is build N+1, and it is not offered again.
        code, result = scene.run("check")
        self.assertEqual(code, 0, result)
        self.assertEqual(result["build"], NEXT_BUILD)
        self.assertTrue(result["ok"])
        self.assertNotIn("self_update_started", result)

    def test_a_new_build_that_never_proves_itself_is_undone(self):
        scene = self.scene(SILENT_LAUNCHER)
        (scene.root / "fake-launcher-mode.txt").write_text("hang")
        code, result = scene.run("startup")
        self.assertEqual(code, 0)
        self.assertTrue(result.get("self_update_started"), result)
        # While the new build stands unproven (it hangs for eight seconds), a logoff is
        # refused.
        self.assertTrue(wait_until(lambda: scene.launcher_bytes() == scene.new, 60),
                        "the new build never reached the launcher's path")
        self.assertEqual(scene.ask_session_end(), "refused")
        failed = "self-update-failed-sha-v2.txt"
        self.assertTrue(wait_until(lambda: scene.state(failed) is not None, 120),
                        "the updater marked nothing as failed")
        self.assertTrue(wait_until(lambda: scene.launcher_bytes() == scene.old, 10))
        scene.stop_wine()  # build N, started again by the updater

        self.assertEqual(scene.state(failed), (digest(scene.new) + "\r\n").encode())
        self.assertIsNone(scene.state("self-update-blocked-sha-v2.txt"))
        self.assertFalse(scene.healthy())
        scene.scene.nginx.clear_log()
        code, result = scene.run("startup")
        self.assertEqual(code, 0, result)
        self.assertTrue(result["ok"])
        self.assertNotIn("self_update_started", result)
        self.assertEqual(scene.launcher_bytes(), scene.old)
        downloads = [r for r in scene.scene.nginx.requests() if "VornellLauncher.exe" in r]
        self.assertEqual(downloads, [], "the failed build was downloaded again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
