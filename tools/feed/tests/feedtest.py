"""Shared helpers of the feed tool's tests: a scratch folder per test, client folders from
{path: bytes}, the tool run in-process or as its own command."""

import contextlib
import io
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parents[1]
COMMAND = TOOL / "vornell-feed"
sys.path.insert(0, str(TOOL))

from vornell_feed import blobs, cli, manifest  # noqa: E402
from vornell_feed.fsutil import MANIFEST, blob_path  # noqa: E402

GAME = b"MZ" + b"\x90" * 4094  # the game stand-in every client carries


def compressible(size, seed=0):
    line = b"models/tree_%04d.ski texture=foliage.dds lod=2\n" % seed
    return (line * (size // len(line) + 1))[:size]


def noise(size, seed=0):
    return random.Random(seed).randbytes(size)


class FeedCase(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="vorn-feed-test-"))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.feed = self.dir / "feed"

    def client(self, name, files, game=True):
        """A client folder holding the files ({"element/...": bytes}) and the game."""
        root = self.dir / name
        shutil.rmtree(root, ignore_errors=True)
        contents = {"element/elementclient.exe": GAME} if game else {}
        contents.update(files)
        for path, data in contents.items():
            target = root / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        (root / "element").mkdir(parents=True, exist_ok=True)
        return root

    def tool(self, *args):
        """(exit code, stdout, stderr) of the tool run in this process."""
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                code = cli.main([str(a) for a in args])
            except SystemExit as exit:
                code = exit.code
        return code, out.getvalue(), err.getvalue()

    def publish(self, client, version, *extra):
        code, out, err = self.tool("publish", client, self.feed, "--version", version,
                                   "--quiet", *extra)
        self.assertEqual(code, 0, err)
        return self.live()

    def live(self):
        return manifest.parse((self.feed / MANIFEST).read_bytes())

    def blob(self, digest):
        return self.feed / blob_path(digest)

    def assert_verified(self):
        code, out, err = self.tool("verify", self.feed)
        self.assertEqual(code, 0, out + err)

    def entry(self, document, path):
        return next(f for f in document.files if f.path == path)

    def decoded(self, digest, size):
        with open(self.blob(digest), "rb") as stream:
            return blobs.check_blob(stream, digest, size, 0)


def run_command(*args, **kwargs):
    return subprocess.run([sys.executable, str(COMMAND)] + [str(a) for a in args],
                          capture_output=True, text=True, **kwargs)
