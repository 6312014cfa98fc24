"""The delta package: append detection, the entries and payloads publish writes, and the
launcher's rules for the delta manifest as verify applies them."""

import copy
import hashlib
import json
import struct
import unittest
import zlib
from pathlib import Path
from unittest import mock

from feedtest import FeedCase, compressible, noise
from vornell_feed import blobs, delta, publish, rules
from vornell_feed.errors import Refused
from vornell_feed.fsutil import UPDATE_FOLDER
from vornell_feed.progress import Progress

QUIET = Progress(quiet=True)


def archive(body, size=None):
    """An archive-like file: two tags around the total size at offset 4, then the body."""
    total = 12 + len(body) if size is None else size
    return struct.pack("<III", 0x4DCA23EF, total, 0x56A089B7) + body


def grown(old, tail):
    """The old archive with its size field rewritten and the tail appended."""
    return old[:4] + struct.pack("<I", len(old) + len(tail)) + old[8:] + tail


class AppendDetection(FeedCase):
    def test_how_a_file_relates_to_its_base(self):
        old = archive(noise(3 << 20))  # more than one read block
        middle = bytearray(old)
        middle[len(old) // 2] ^= 1
        cases = [
            ("grown, size field rewritten", grown(old, b"tail" * 100), "append", True),
            ("grown, header untouched", old + b"tail", "append", False),
            ("same", old, "same", False),
            ("a byte changed in the middle", bytes(middle) + b"tail", "other", False),
            ("first bytes changed", b"XXXX" + old[4:] + b"tail", "other", False),
            ("shrunk", old[:-10], "other", False),
            ("header change on a base under 12 bytes", b"abcdEFGHijk"[:4] + b"WXYZ" + b"ijk",
             "other", False),
        ]
        for name, new, kind, header in cases:
            with self.subTest(name):
                base_data = b"abcdEFGHijk" if "under 12" in name else old
                base, target = self.dir / "base", self.dir / "new"
                base.write_bytes(base_data)
                target.write_bytes(new)
                change, prefix = delta.compare(base, target, QUIET)
                self.assertEqual(change.kind, kind)
                self.assertEqual(change.base_sha256, hashlib.sha256(base_data).hexdigest())
                self.assertEqual(change.base_size, len(base_data))
                self.assertEqual(change.before != change.after, header)
                if header:
                    self.assertEqual((change.before, change.after), (old[4:8], new[4:8]))
                self.assertEqual(prefix.hexdigest(),
                                 hashlib.sha256(new[:len(base_data)]).hexdigest())


class PublishedPackage(FeedCase):
    MIN = "65536"

    def setUp(self):
        super().setUp()
        self.old_archive = archive(noise(300000, 1))
        self.old = {
            "element/models.pck": self.old_archive,
            "element/gfx.pck": archive(noise(200000, 2)),
            "element/sfx.pck": archive(noise(100000, 3)),
            "element/small.txt": b"small one",
        }
        self.tail = compressible(70000)
        self.new = dict(self.old)
        self.new["element/models.pck"] = grown(self.old_archive, self.tail)
        rewritten = bytearray(self.old["element/gfx.pck"])
        rewritten[5000] ^= 0xFF
        self.new["element/gfx.pck"] = bytes(rewritten)
        self.new["element/added.pck"] = noise(80000, 4)
        self.new["element/small.txt"] = b"small one, grown"

    def publish_pair(self):
        base = self.client("old", self.old)
        client = self.client("new", self.new)
        document = self.publish(client, "2", "--base", base, "--delta-min-size", self.MIN,
                                "--jobs", "2")
        text = (self.feed / UPDATE_FOLDER / document.delta.url).read_bytes()
        self.assertEqual((len(text), hashlib.sha256(text).hexdigest()),
                         (document.delta.size, document.delta.sha256))
        entries = {e["path"]: e for e in delta.parse(text, document.delta.sha256)}
        self.assertIsNone(delta.coverage_problem(document, list(entries.values())))
        return document, entries, json.loads(text)

    def payload(self, entry):
        path = self.feed / UPDATE_FOLDER / "delta" / entry["payload"]["path"]
        data = path.read_bytes()
        self.assertEqual(hashlib.sha256(data).hexdigest(), entry["payload"]["compressed"]["sha256"])
        return zlib.decompress(data)

    def test_entries_for_each_kind_of_change(self):
        document, entries, raw = self.publish_pair()
        self.assertEqual(set(entries), {"element/models.pck", "element/gfx.pck",
                                        "element/added.pck"})  # sfx unchanged, small.txt small

        grown_entry = entries["element/models.pck"]
        self.assertEqual(grown_entry["operation"], "append")
        self.assertEqual(grown_entry["base"], {
            "sha256": hashlib.sha256(self.old_archive).hexdigest(),
            "bytes": len(self.old_archive)})
        self.assertEqual(grown_entry["patch_header"], {
            "offset": 4, "before_hex": self.old_archive[4:8].hex(),
            "after_hex": self.new["element/models.pck"][4:8].hex()})
        self.assertEqual(self.payload(grown_entry), self.tail)
        self.assertEqual(raw["required_base_profile"], [
            {"path": "element/models.pck", **grown_entry["base"]}])

        for path in ("element/gfx.pck", "element/added.pck"):
            entry = entries[path]
            self.assertEqual((entry["operation"], entry["base"], entry["patch_header"]),
                             ("full", None, None))
            self.assertEqual(self.payload(entry), self.new[path])
        self.assert_verified()

    def test_without_a_large_change_there_is_no_package(self):
        self.new = dict(self.old)
        self.new["element/small.txt"] = b"changed"
        base = self.client("old", self.old)
        document = self.publish(self.client("new", self.new), "2", "--base", base,
                                "--delta-min-size", self.MIN)
        self.assertIsNone(document.delta)

    def test_file_over_512_mib_is_carried_by_an_append(self):
        size = rules.LARGEST_BLOB_FILE + 4096
        base = self.client("old", {})
        client = self.client("new", {})
        for root, extra in ((base, b""), (client, b"appended")):
            with open(root / "element/models.pck", "wb") as out:
                out.write(archive(b""))
                out.truncate(size)  # sparse, so nothing large is written
                out.seek(size)
                out.write(extra)
        document = self.publish(client, "2", "--base", base)
        entry = self.entry(document, "element/models.pck")
        self.assertEqual(entry.size, size + len(b"appended"))
        self.assertFalse(self.blob(entry.sha256).exists())  # never fetched whole
        text = (self.feed / UPDATE_FOLDER / document.delta.url).read_bytes()
        (carried,) = delta.parse(text, document.delta.sha256)
        self.assertEqual((carried["operation"], carried["base"]["bytes"]), ("append", size))
        self.assertEqual(self.payload(carried), b"appended")

        # The same large file rewritten cannot reach players at all.
        with open(client / "element/models.pck", "r+b") as out:
            out.seek(100)
            out.write(b"rewritten")
        code, _, err = self.tool("publish", client, self.feed, "--version", "3", "--base", base)
        self.assertEqual(code, 3, err)
        self.assertIn("only as an append", err)

    def test_grown_guild_icon_archive_gets_a_full_entry(self):
        # Launchers patch guild icons into it, so an append would find no player's base;
        # the archive grown beside it still gets one.
        old, new, icons = self.old, self.new, archive(noise(150000, 5))
        for name in ("element/surfaces.pck", "element/Surfaces.PCK"):
            with self.subTest(name):
                self.feed = self.dir / ("feed-" + name[8:])
                self.old = {**old, name: icons}
                self.new = {**new, name: grown(icons, compressible(70000, 1))}
                _, entries, raw = self.publish_pair()
                entry = entries[name]
                self.assertEqual((entry["operation"], entry["base"], entry["patch_header"]),
                                 ("full", None, None))
                self.assertEqual(self.payload(entry), self.new[name])
                self.assertEqual(entries["element/models.pck"]["operation"], "append")
                self.assertEqual([p["path"] for p in raw["required_base_profile"]],
                                 ["element/models.pck"])
                self.assert_verified()

    def test_guild_icon_archive_over_512_mib_is_refused(self):
        size = rules.LARGEST_BLOB_FILE + 1
        base = self.client("old", {})
        client = self.client("new", {})
        for root, length in ((base, size - 100), (client, size)):
            with open(root / "element/Surfaces.pck", "wb") as out:
                out.write(archive(b"", length))
                out.truncate(length)  # sparse, so nothing large is written
        # Refused from its size alone: neither copy is read, with or without the base.
        with mock.patch.object(blobs, "hash_file", side_effect=AssertionError("hashed")), \
                mock.patch.object(delta, "compare", side_effect=AssertionError("compared")):
            for extra in ((), ("--base", base)):
                with self.subTest(extra=extra):
                    code, _, err = self.tool("publish", client, self.feed, "--version", "2",
                                             *extra)
                    self.assertEqual(code, 3, err)
                    self.assertIn("element/Surfaces.pck holds %d bytes" % size, err)
                    self.assertIn("guild icons", err)
                    self.assertFalse(self.feed.exists())

        game = publish.ClientFile("element/elementclient.exe", Path(), 4096)
        at_limit = publish.ClientFile("element/surfaces.pck", Path(), rules.LARGEST_BLOB_FILE)
        publish.check_client([game, at_limit], rules.DEFAULT_EXECUTABLE, True, QUIET)
        at_limit.size += 1
        with self.assertRaisesRegex(Refused, "at most 512 MiB"):
            publish.check_client([game, at_limit], rules.DEFAULT_EXECUTABLE, True, QUIET)


class PackageLimits(unittest.TestCase):
    def entry(self, path, operation, raw, seed):
        digest = hashlib.sha256(b"%d" % seed).hexdigest()
        payload = delta.payload_object(digest, raw, digest, raw)
        if operation == "full":
            return delta.full_entry(path, digest, raw, payload)
        change = delta.Change("append", digest, 1000)
        return delta.append_entry(path, change, digest, 1000 + raw, payload)

    def test_what_does_not_fit_is_left_to_blobs(self):
        mib = 1 << 20
        entries = [self.entry("element/huge.pck", "append", 300 * mib, 1),
                   self.entry("element/a.pck", "full", 400 * mib, 2),
                   self.entry("element/b.pck", "full", 300 * mib, 3),
                   self.entry("element/c.pck", "append", 400 * mib, 4)]
        kept, left_out = delta.fit(entries, {"element/huge.pck"})
        # Appends go first; of the full entries only the smaller one still fits in 1 GiB.
        self.assertEqual([e["path"] for e in kept],
                         ["element/b.pck", "element/c.pck", "element/huge.pck"])
        self.assertEqual([e["path"] for e in left_out], ["element/a.pck"])
        self.assertIsNone(delta.limits_problem(kept))

        too_much = [self.entry("element/x%d.pck" % i, "append", 300 * mib, 10 + i)
                    for i in range(4)]
        with self.assertRaisesRegex(ValueError, "at most 1073741824"):
            delta.fit(too_much, {e["path"] for e in too_much})


class DeltaManifestRules(unittest.TestCase):
    """verify refuses what the launcher refuses; each mutation breaks one rule."""

    def valid(self):
        payload = delta.payload_object("c" * 64, 30, "d" * 64, 50)
        change = delta.Change("append", "a" * 64, 100, b"PCK\0", b"\1\2\3\4")
        entries = [delta.append_entry("element/data.pck", change, "b" * 64, 150, payload),
                   delta.full_entry("element/config.ini", "e" * 64, 20,
                                    delta.payload_object("f" * 64, 10, "e" * 64, 20))]
        return json.loads(delta.document_bytes(entries, "client-1"))

    def parse(self, document):
        text = json.dumps(document).encode()
        return delta.parse(text, hashlib.sha256(text).hexdigest())

    def test_valid_document_reads_back(self):
        entries = self.parse(self.valid())
        self.assertEqual([e["path"] for e in entries], ["element/data.pck", "element/config.ini"])

    def test_each_broken_rule_is_refused(self):
        def first(document):
            return document["files"][0]

        mutations = {
            "extra top-level key": lambda d: d.update(extra=1),
            "seventh entry key": lambda d: first(d).update(extra=1),
            "paths differ in case only": lambda d: d["files"][1].update(path="element/DATA.PCK"),
            "tail not target minus base": lambda d: first(d)["target"].update(bytes=151),
            "header offset 5": lambda d: first(d)["patch_header"].update(offset=5),
            "header in upper case": lambda d: first(d)["patch_header"].update(
                before_hex="0A0B0C0D"),
            "header on an 11-byte base": lambda d: (first(d)["base"].update(bytes=11),
                                                    first(d)["target"].update(bytes=61),
                                                    d["required_base_profile"][0].update(
                                                        bytes=11)),
            "full entry with a base": lambda d: d["files"][1].update(base=first(d)["base"]),
            "payload not named by its digest": lambda d: first(d)["payload"].update(
                path="payload/x.zlib"),
            "profile missing": lambda d: d.update(required_base_profile=[]),
            "profile lists a full entry": lambda d: d["required_base_profile"].append(
                {"path": "element/config.ini", "sha256": "e" * 64, "bytes": 20}),
            "size as a float": lambda d: first(d)["target"].update(bytes=150.0),
            "payload over 512 MiB": lambda d: first(d)["payload"]["compressed"].update(
                bytes=rules.LARGEST_PAYLOAD + 1),
        }
        for name, mutate in mutations.items():
            with self.subTest(name):
                document = copy.deepcopy(self.valid())
                mutate(document)
                with self.assertRaises(delta.DeltaProblem):
                    self.parse(document)

    def test_text_must_match_its_digest(self):
        text = json.dumps(self.valid()).encode()
        with self.assertRaisesRegex(delta.DeltaProblem, "delta_manifest_integrity"):
            delta.parse(text, hashlib.sha256(text + b" ").hexdigest())


if __name__ == "__main__":
    unittest.main()
