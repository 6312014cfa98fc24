"""prune: what recent manifests name stays, the rest goes, the live set is never touched."""

import shutil
import unittest

from feedtest import FeedCase, compressible, noise
from vornell_feed import publish
from vornell_feed.fsutil import UPDATE_FOLDER


class Prune(FeedCase):
    def versions(self, count):
        """Publishes versions 1..count, each changing one file; returns their manifests."""
        documents = []
        for number in range(1, count + 1):
            client = self.client("client", {"element/stable.txt": compressible(4000),
                                            "element/moving.bin": noise(3000, number)})
            documents.append(self.publish(client, str(number)))
        return documents

    def moving(self, document):
        return self.entry(document, "element/moving.bin").sha256

    def test_keeps_the_last_n_and_never_the_live_set(self):
        one, two, three = self.versions(3)
        code, out, err = self.tool("prune", self.feed, "--keep", "2", "--dry-run")
        self.assertEqual(code, 0, err)
        self.assertIn("would remove 1 files", out)
        self.assertTrue(self.blob(self.moving(one)).exists())

        code, out, err = self.tool("prune", self.feed, "--keep", "2")
        self.assertEqual(code, 0, err)
        self.assertFalse(self.blob(self.moving(one)).exists())
        self.assertTrue(self.blob(self.moving(two)).exists())
        self.assertEqual(len(list((self.feed / publish.HISTORY).iterdir())), 2)

        # Even with the history gone, the live manifest's files stay.
        shutil.rmtree(self.feed / publish.HISTORY)
        code, out, err = self.tool("prune", self.feed, "--keep", "1")
        self.assertEqual(code, 0, err)
        self.assertFalse(self.blob(self.moving(two)).exists())
        for entry in three.files:
            self.assertTrue(self.blob(entry.sha256).exists(), entry.path)
        self.assert_verified()

    def test_delta_package_goes_with_its_last_manifest(self):
        old = self.client("old", {"element/models.pck": b"PCK\0" + noise(5000)})
        self.publish(self.client("new", {"element/models.pck": b"PCK\0" + noise(5000) + b"t"}),
                     "2", "--base", old, "--delta-min-size", "1000")
        delta_folder = self.feed / UPDATE_FOLDER / "delta"
        package = sorted(p.name for p in delta_folder.rglob("*") if p.is_file())
        self.assertEqual(len(package), 2)  # the delta manifest and its payload

        code, _, err = self.tool("prune", self.feed, "--keep", "1")
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(p.name for p in delta_folder.rglob("*") if p.is_file()),
                         package)  # live: kept
        self.publish(self.client("new", {"element/models.pck": b"other"}), "3")
        code, _, err = self.tool("prune", self.feed, "--keep", "1")
        self.assertEqual(code, 0, err)
        self.assertEqual([p for p in delta_folder.rglob("*") if p.is_file()], [])
        self.assert_verified()

    def test_refuses_when_the_live_set_cannot_be_read(self):
        self.versions(2)
        live = self.live()
        (self.feed / UPDATE_FOLDER / "manifest.json").write_bytes(b"{broken")
        code, _, err = self.tool("prune", self.feed, "--keep", "1")
        self.assertEqual(code, 4, err)
        for entry in live.files:
            self.assertTrue(self.blob(entry.sha256).exists())


if __name__ == "__main__":
    unittest.main()
