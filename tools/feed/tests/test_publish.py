"""publish: the manifest it writes, what it refuses, how it stores blobs, re-publishing."""

import gzip
import hashlib
import json
import os
import unittest
import zlib

from feedtest import FeedCase, compressible, noise
from vornell_feed import publish, rules
from vornell_feed.fsutil import COMPRESSED_MANIFEST, MANIFEST
from vornell_feed.progress import Progress

GAME_COPY = b"MZ" + b"\x00" * 100


class ManifestDocument(FeedCase):
    def test_fields_of_a_published_manifest(self):
        files = {"element/data/b.pck": compressible(70000), "element/data/a.bin": noise(5000),
                 "element/Config/Über.ini": compressible(300, 1)}
        client = self.client("client", files)
        document = self.publish(client, "2026.12", "--jobs", "2")

        self.assertEqual(document.version, "2026.12")
        self.assertEqual(document.executable, "element/elementclient.exe")
        self.assertIsNone(document.delta)
        paths = [f.path for f in document.files]
        self.assertEqual(paths, sorted(paths, key=lambda p: p.encode()))
        self.assertEqual(set(paths), set(files) | {"element/elementclient.exe"})
        for path, data in files.items():
            entry = self.entry(document, path)
            self.assertEqual((entry.sha256, entry.size),
                             (hashlib.sha256(data).hexdigest(), len(data)))
        # Only the compressed blobs carry compressedSize, and it is the blob's length.
        self.assertEqual(self.entry(document, "element/data/a.bin").compressed_size, 0)
        packed = self.entry(document, "element/data/b.pck")
        self.assertEqual(packed.compressed_size, self.blob(packed.sha256).stat().st_size)

        plain = (self.feed / MANIFEST).read_bytes()
        raw = json.loads(plain)
        self.assertEqual(set(raw), {"version", "executable", "files"})
        self.assertIn("Über", plain.decode("utf-8"))  # UTF-8, not escaped
        history = sorted((self.feed / publish.HISTORY).iterdir())
        self.assertEqual([h.read_bytes() for h in history], [plain])

    def test_compressed_copy_proves_fresh(self):
        client = self.client("client", {"element/a.txt": compressible(1000)})
        self.publish(client, "1")
        plain, packed = self.feed / MANIFEST, self.feed / COMPRESSED_MANIFEST
        self.assertEqual(gzip.decompress(packed.read_bytes()), plain.read_bytes())
        self.assertEqual(int(packed.stat().st_mtime), int(plain.stat().st_mtime))
        first = int(plain.stat().st_mtime)

        # A second version in the same second still gets a later Last-Modified, so that
        # nginx's ETag (time and size) changes even when the size does not.
        client = self.client("client", {"element/a.txt": compressible(1000, 7)})
        self.publish(client, "2")
        self.assertGreater(int(plain.stat().st_mtime), first)
        self.assertEqual(int(packed.stat().st_mtime), int(plain.stat().st_mtime))
        self.assertEqual(gzip.decompress(packed.read_bytes()), plain.read_bytes())

    def test_guild_icon_lists_updater_and_launcher_folder_are_left_out(self):
        client = self.client("client", {
            "element/userdata/usericon/iconlist_guild.txt": b"1",
            "element/userdata/usericon/iconlist_guild.png": b"2",
            "element/VornellUpdater.exe": b"updater",
            "element/.vornell-transactions/0123/staged/x": b"left over",
            "element/logs/today.log": b"log",
            "element/keep.txt": b"keep"})
        document = self.publish(client, "1", "--exclude", "element/logs/*")
        self.assertEqual({f.path for f in document.files},
                         {"element/elementclient.exe", "element/keep.txt"})

    def test_executable_spelling_is_kept(self):
        client = self.client("client", {"element/ElementClient.EXE": GAME_COPY}, game=False)
        document = self.publish(client, "1", "--executable", "element\\ElementClient.EXE")
        self.assertEqual(document.executable, "element\\ElementClient.EXE")


class Refusals(FeedCase):
    """Input the launcher would refuse ends with exit code 3 and publishes nothing."""

    def refused(self, client, *extra, version="1"):
        code, out, err = self.tool("publish", client, self.feed, "--version", version, *extra)
        self.assertEqual(code, 3, out + err)
        self.assertFalse((self.feed / MANIFEST).exists())
        return err

    def test_bad_versions_and_executables(self):
        client = self.client("client", {"element/a.txt": b"a"})
        for version in ("1 2", "", "x" * 32, "версия"):
            with self.subTest(version=version):
                self.assertIn("version", self.refused(client, version=version))
        for executable in ("element/other.exe", "elementclient.exe", "element/../x.exe"):
            with self.subTest(executable=executable):
                self.refused(client, "--executable", executable)

    def test_client_paths_the_launcher_refuses(self):
        cases = {
            "reserved name": "element/con.txt",
            "reserved with extension": "element/data/LPT1.dat",
            "name ending in a dot": "element/a.",
            "name ending in a space": "element/a ",
            "refused character": "element/a:b",
            "backslash in a name": "element/a\\b",
            "control character": "element/a\tb",
        }
        for name, path in cases.items():
            with self.subTest(name):
                self.refused(self.client(name.replace(" ", "-"), {path: b"x"}))

    def test_letter_case_duplicates_links_and_odd_names(self):
        self.assertIn("letter case", self.refused(
            self.client("twice", {"element/A.pck": b"1", "element/a.pck": b"2"})))
        linked = self.client("linked", {"element/a.txt": b"a"})
        os.symlink(linked / "element/a.txt", linked / "element/b.txt")
        self.assertIn("link", self.refused(linked))
        odd = self.client("odd", {})
        (odd / "element").joinpath(os.fsdecode(b"\xff.bin")).write_bytes(b"x")
        self.assertIn("UTF-8", self.refused(odd))
        self.assertIn("elementclient.exe",
                      self.refused(self.client("nogame", {"element/a": b"a"}, game=False)))

    def test_file_over_512_mib_needs_a_base(self):
        client = self.client("big", {})
        with open(client / "element/huge.pck", "wb") as out:
            out.truncate(rules.LARGEST_BLOB_FILE + 1)  # sparse: nothing is written
        self.assertIn("--base", self.refused(client))

    def test_manifest_limits_checked_before_work(self):
        progress = Progress(quiet=True)
        many = [publish.ClientFile("element/f%06d" % i, None, 1)
                for i in range(rules.MOST_MANIFEST_FILES + 1)]
        many.append(publish.ClientFile("element/elementclient.exe", None, 1))
        with self.assertRaisesRegex(publish.Refused, "at most 100000"):
            publish.check_client(many, rules.DEFAULT_EXECUTABLE, False, progress)
        huge = [publish.ClientFile("element/elementclient.exe", None, 1),
                publish.ClientFile("element/a", None, rules.LARGEST_DELTA_FILE + 1)]
        with self.assertRaisesRegex(publish.Refused, "files up to"):
            publish.check_client(huge, rules.DEFAULT_EXECUTABLE, True, progress)


class Compression(FeedCase):
    def test_each_file_gets_the_smaller_form(self):
        cases = [
            # name, content, compression option, expected blob start, compressed?
            ("compressible", compressible(200000), "zlib", b"\x78", True),
            ("compressible as gzip", compressible(200000, 1), "gzip", b"\x1f\x8b", True),
            ("compressible kept raw", compressible(200000, 2), "none", None, False),
            ("noise", noise(100000), "zlib", None, False),
            ("noise past the sample", noise(9 << 20, 1), "zlib", None, False),
            ("noise that starts like zlib", b"\x78" + noise(5000, 2), "zlib", b"\x78", True),
            ("noise that starts like gzip", b"\x1f\x8b" + noise(5000, 3), "gzip", b"\x1f\x8b",
             True),
            ("starts like zlib, no compression asked", b"x" + noise(5000, 4), "none", b"\x78",
             True),
            ("empty", b"", "zlib", None, False),
        ]
        for index, (name, data, option, start, compressed) in enumerate(cases):
            with self.subTest(name):
                client = self.client("client", {"element/f.bin": data})
                document = self.publish(client, str(index), "--compression", option)
                entry = self.entry(document, "element/f.bin")
                blob = self.blob(entry.sha256).read_bytes()
                self.assertEqual(bool(entry.compressed_size), compressed)
                if compressed:
                    self.assertEqual(entry.compressed_size, len(blob))
                    self.assertTrue(blob.startswith(start))
                    wbits = 31 if start == b"\x1f\x8b" else 15
                    self.assertEqual(zlib.decompress(blob, wbits), data)
                else:
                    self.assertEqual(blob, data)
                self.assertEqual(self.decoded(entry.sha256, len(data)),
                                 (len(blob), compressed))


class Republish(FeedCase):
    def test_only_what_changed_is_written(self):
        files = {"element/data/f%02d.pck" % i: compressible(50000, i) for i in range(6)}
        client = self.client("client", files)
        first = self.publish(client, "1")
        stamps = {f.sha256: self.blob(f.sha256).stat() for f in first.files}

        changed = "element/data/f03.pck"
        (client / changed).write_bytes(compressible(50000, 99))  # same size, new content
        second = self.publish(client, "2", "--jobs", "2")
        new = self.entry(second, changed).sha256
        self.assertNotIn(new, stamps)
        for entry in second.files:
            if entry.path != changed:
                before = stamps[entry.sha256]
                after = self.blob(entry.sha256).stat()
                self.assertEqual((after.st_ino, after.st_mtime_ns),
                                 (before.st_ino, before.st_mtime_ns), entry.path)
        self.assertEqual(len(list((self.feed / publish.HISTORY).iterdir())), 2)

        # Publishing the same client again changes nothing the server would see.
        plain = self.feed / MANIFEST
        before = plain.stat()
        code, out, _ = self.tool("publish", client, self.feed, "--version", "2")
        self.assertEqual(code, 0)
        self.assertIn("unchanged", out)
        after = plain.stat()
        self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, before.st_mtime_ns))
        self.assertEqual(len(list((self.feed / publish.HISTORY).iterdir())), 2)

    def test_a_damaged_blob_is_written_again(self):
        client = self.client("client", {"element/a.pck": compressible(40000)})
        document = self.publish(client, "1")
        digest = self.entry(document, "element/a.pck").sha256
        self.blob(digest).write_bytes(b"\x78 damaged")
        self.blob(self.entry(document, "element/elementclient.exe").sha256).unlink()
        again = self.publish(client, "1")
        self.assertEqual(again.key, document.key)
        self.assert_verified()

    def test_a_blob_from_elsewhere_is_read_back_before_it_is_trusted(self):
        client = self.client("client", {"element/a.pck": compressible(40000)})
        digest = hashlib.sha256(compressible(40000)).hexdigest()
        # Put there by hand, raw, with no manifest naming it: it is right and kept as is.
        self.blob(digest).parent.mkdir(parents=True)
        self.blob(digest).write_bytes(compressible(40000))
        document = self.publish(client, "1")
        self.assertEqual(self.entry(document, "element/a.pck").compressed_size, 0)
        self.assertEqual(self.blob(digest).read_bytes(), compressible(40000))


if __name__ == "__main__":
    unittest.main()
