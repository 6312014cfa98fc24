"""A publish stopped at any moment leaves the live manifest naming a complete set: the old
one until the new manifest is renamed into place, the new one after."""

import os
import random
import signal
import subprocess
import sys
import time
import unittest
from unittest import mock

from feedtest import COMMAND, FeedCase, compressible, noise
from vornell_feed import fsutil, verify
from vornell_feed.fsutil import COMPRESSED_MANIFEST, MANIFEST
from vornell_feed.progress import Progress


class Killed(BaseException):
    """Stands for the process ending: nothing after it runs, no handler cleans up."""


class Interrupted(FeedCase):
    def setUp(self):
        super().setUp()
        old_archive = b"PCK\0" + noise(2 << 20, 1)
        self.old = self.client("old", dict(
            {"element/data/f%02d.bin" % i: compressible(300000, i) for i in range(12)},
            **{"element/models.pck": old_archive}))
        self.new = self.client("new", dict(
            {"element/data/f%02d.bin" % i: compressible(300000, 100 + i) for i in range(12)},
            **{"element/models.pck": old_archive + compressible(1 << 20)}))
        self.publish(self.old, "1")
        self.old_manifest = (self.feed / MANIFEST).read_bytes()
        self.publish_args = ["publish", self.new, self.feed, "--version", "2", "--base",
                             self.old, "--delta-min-size", "1M", "--jobs", "2", "--quiet"]

    def assert_consistent(self):
        """What a launcher reading the feed now would find."""
        live = (self.feed / MANIFEST).read_bytes()
        problems, _ = verify.verify(str(self.feed), Progress(quiet=True))
        if live == self.old_manifest:
            # Only a new compressed copy may be there already: launchers see its other
            # Last-Modified and fall back to the plain manifest.
            self.assertTrue(all("manifest.json.gz is stale" in p for p in problems), problems)
            packed = self.feed / COMPRESSED_MANIFEST
            if problems:
                self.assertNotEqual(int(packed.stat().st_mtime),
                                    int((self.feed / MANIFEST).stat().st_mtime))
        else:
            self.assertEqual(problems, [])
        return live == self.old_manifest

    def assert_finishes_clean(self):
        code, out, err = self.tool(*self.publish_args)
        self.assertEqual(code, 0, err)
        self.assertFalse(self.assert_consistent())
        self.assertEqual(self.leftovers(), [])

    def leftovers(self):
        return [p for p in self.feed.rglob("*.tmp")]

    def test_stopped_at_every_rename(self):
        renames = []
        real = os.replace

        def counting(source, target):
            renames.append(str(target))
            real(source, target)

        with mock.patch.object(fsutil.os, "replace", counting):
            code, _, err = self.tool(*self.publish_args)
        self.assertEqual(code, 0, err)
        order = [t for t in renames if not t.endswith(".dat") and "payload" not in t]
        self.assertEqual([os.path.basename(t) for t in order[-3:]],
                         ["manifest.json.gz", "manifest.json", "000002.json"])
        self.assertTrue(order[-4].endswith(".json") and "/delta/" in order[-4])
        self.assertTrue(all(i < renames.index(order[-4]) for i, t in enumerate(renames)
                            if t.endswith((".dat", ".zlib"))))
        total = len(renames)

        for stop in range(total):
            with self.subTest(stop=stop):
                self.restore()
                calls = []

                def failing(source, target):
                    if len(calls) == stop:
                        raise Killed()
                    calls.append(target)
                    real(source, target)

                with mock.patch.object(fsutil.os, "replace", failing), \
                        self.assertRaises(Killed):
                    self.tool(*self.publish_args)
                # Until manifest.json itself is renamed, the old one is live.
                self.assertEqual(self.assert_consistent(), stop < total - 1)
                self.assert_finishes_clean()

    def restore(self):
        """Back to the feed with only version 1 published."""
        code, _, err = self.tool("publish", self.old, self.feed, "--version", "1", "--quiet")
        self.assertEqual(code, 0, err)
        code, _, err = self.tool("prune", self.feed, "--keep", "1", "--quiet")
        self.assertEqual(code, 0, err)
        self.old_manifest = (self.feed / MANIFEST).read_bytes()

    def test_killed_at_random_moments(self):
        rng = random.Random(int(os.environ.get("VORN_FEED_KILL_SEED", "1208")))
        start = time.monotonic()
        self.run_publish()
        full = time.monotonic() - start
        rounds = int(os.environ.get("VORN_FEED_KILL_ROUNDS", "12"))
        outcomes = {"old manifest live": 0, "new manifest live": 0}
        for index in range(rounds):
            with self.subTest(round=index):
                self.restore()
                process = subprocess.Popen([sys.executable, str(COMMAND)] +
                                           [str(a) for a in self.publish_args],
                                           stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                time.sleep(full * rng.uniform(0.1, 1.1))
                process.send_signal(signal.SIGKILL)
                process.wait(30)
                old = self.assert_consistent()
                outcomes["old manifest live" if old else "new manifest live"] += 1
                self.assert_finishes_clean()
        # Kills landed before the manifest went live (the case that matters).
        self.assertGreater(outcomes["old manifest live"], 0, outcomes)

    def run_publish(self):
        result = subprocess.run([sys.executable, str(COMMAND)] +
                                [str(a) for a in self.publish_args], capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_running_publish_keeps_others_out(self):
        with fsutil.FeedLock(self.feed):
            code, _, err = self.tool(*self.publish_args)
            self.assertEqual(code, 4)
            self.assertIn("another publish", err)
            code, _, err = self.tool("prune", self.feed, "--keep", "1")
            self.assertEqual(code, 4)


if __name__ == "__main__":
    unittest.main()
