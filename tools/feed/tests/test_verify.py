"""verify: a published feed is clean; each kind of damage is named; over HTTP the server's
headers are held to what the launcher's freshness proof needs."""

import gzip
import os
import threading
import unittest
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

from feedtest import FeedCase, compressible, noise
from vornell_feed.fsutil import COMPRESSED_MANIFEST, MANIFEST, UPDATE_FOLDER


class Damage(FeedCase):
    def setUp(self):
        super().setUp()
        base = self.client("old", {"element/models.pck": b"PCK\0" + noise(100000, 1)})
        self.document = self.publish(self.client("new", {
            "element/models.pck": b"PCK\0" + noise(100000, 1) + compressible(50000),
            "element/text.txt": compressible(30000), "element/noise.bin": noise(20000)}),
            "2", "--base", base, "--delta-min-size", "1000")
        self.delta = self.feed / UPDATE_FOLDER / self.document.delta.url
        self.payloads = sorted((self.delta.parent / "payload").iterdir())

    def problems(self):
        code, out, err = self.tool("verify", self.feed, "--jobs", "2")
        self.assertEqual(code, 1 if "problem:" in out else 0, out + err)
        return out

    def test_published_feed_is_clean(self):
        code, out, err = self.tool("verify", self.feed)
        self.assertEqual(code, 0, out + err)
        self.assertIn("feed OK: version 2", out)

    def test_each_kind_of_damage_is_named(self):
        text = self.entry(self.document, "element/text.txt")
        raw = self.entry(self.document, "element/noise.bin")
        plain, packed = self.feed / MANIFEST, self.feed / COMPRESSED_MANIFEST

        def flip(path, offset=-1):
            data = bytearray(path.read_bytes())
            data[offset] ^= 1
            path.write_bytes(bytes(data))

        def stale_copy(same_time):
            stamp = int(plain.stat().st_mtime)
            packed.write_bytes(gzip.compress(plain.read_bytes().replace(b'"2"', b'"1"')))
            os.utime(packed, (stamp if same_time else stamp - 5,) * 2)

        cases = [
            ("missing blob", lambda: self.blob(text.sha256).unlink(), "is missing"),
            ("flipped byte in a raw blob", lambda: flip(self.blob(raw.sha256)),
             "does not yield the file"),
            ("flipped byte in a compressed blob", lambda: flip(self.blob(text.sha256), 20),
             "element/text.txt"),
            ("blob longer than compressedSize",
             lambda: self.blob(text.sha256).write_bytes(self.blob(text.sha256).read_bytes()
                                                        + b"x"), "compressedSize"),
            ("stale compressed manifest", lambda: stale_copy(False), "stale"),
            ("old compressed manifest under the current time", lambda: stale_copy(True),
             "same Last-Modified"),
            ("compressed manifest touched", lambda: os.utime(packed, (1, 1)),
             "another Last-Modified"),
            ("delta manifest edited", lambda: flip(self.delta, -3), "delta_index_sha"),
            ("payload missing", lambda: self.payloads[0].unlink(), "is missing"),
            ("payload damaged", lambda: flip(self.payloads[-1], 3), "delta payload"),
            ("manifest unreadable", lambda: plain.write_bytes(b'{"files":[],"files":[]}'),
             "twice"),
        ]
        pristine = {p: p.read_bytes() for p in self.feed.rglob("*") if p.is_file()}
        stamps = {p: p.stat().st_mtime for p in pristine}
        for name, damage, expected in cases:
            with self.subTest(name):
                damage()
                out = self.problems()
                self.assertIn("problem:", out)
                self.assertIn(expected, out)
                for path, data in pristine.items():
                    path.write_bytes(data)
                    os.utime(path, (stamps[path], stamps[path]))
                self.assertNotIn("problem:", self.problems())


class Handler(SimpleHTTPRequestHandler):
    """A static server that, like nginx, sends a strong ETag."""

    strong = True

    def log_message(self, *args):
        pass

    def end_headers(self):
        path = self.translate_path(self.path)
        if self.strong and os.path.isfile(path):
            info = os.stat(path)
            self.send_header("ETag", '"%x-%x"' % (int(info.st_mtime), info.st_size))
        super().end_headers()


class OverHttp(FeedCase):
    def serve(self, strong):
        handler = type("H", (Handler,), {"strong": strong})
        server = ThreadingHTTPServer(("127.0.0.1", 0),
                                     partial(handler, directory=str(self.feed)))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return "http://127.0.0.1:%d/" % server.server_address[1]

    def test_served_feed_with_validators_is_clean(self):
        self.publish(self.client("client", {"element/a.txt": compressible(5000)}), "1")
        code, out, err = self.tool("verify", self.serve(True))
        self.assertEqual(code, 0, out + err)

    def test_server_without_strong_etag_is_named(self):
        self.publish(self.client("client", {"element/a.txt": compressible(5000)}), "1")
        code, out, err = self.tool("verify", self.serve(False))
        self.assertEqual(code, 1, out + err)
        self.assertIn("no strong ETag", out)


if __name__ == "__main__":
    unittest.main()
