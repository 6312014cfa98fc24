"""Signatures: keygen, the .sig document checked with the cryptography package on its own,
the sequence rule, resign, and what verify says of each kind of bad signature."""

import calendar
import hashlib
import json
import os
import subprocess
import sys
import time
import unittest
from unittest import mock

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

from feedtest import TOOL, FeedCase, compressible
from test_release import URL, program
from vornell_feed import fsutil, signing
from vornell_feed.fsutil import COMPRESSED_MANIFEST, MANIFEST, MANIFEST_SIGNATURE


class SignedCase(FeedCase):
    def keygen(self, name):
        """(key file, loaded private key, printed deployment form)."""
        path = self.dir / name
        code, out, err = self.tool("keygen", path)
        self.assertEqual(code, 0, err)
        return path, serialization.load_pem_private_key(path.read_bytes(), None), out

    def signed_feed(self, key_file):
        self.publish(self.client("client", {"element/a.txt": compressible(3000)}), "1",
                     "--key", key_file)
        self.descriptor = self.dir / "launcher-release-v1.json"
        self.dir.joinpath("L.exe").write_bytes(program())
        code, _, err = self.tool("release", self.dir / "L.exe", self.descriptor, "--build",
                                 "1.2.3.4", "--url", URL, "--key", key_file, "--quiet")
        self.assertEqual(code, 0, err)

    def sig(self, path=None):
        return json.loads(signing.signature_path(path or self.feed / MANIFEST).read_bytes())


class Keys(SignedCase):
    def test_keygen_writes_an_owner_only_key_and_prints_its_public_form(self):
        path, key, out = self.keygen("feed.pem")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        raw = key.public_key().public_bytes(serialization.Encoding.X962,
                                            serialization.PublicFormat.UncompressedPoint)[1:]
        self.assertEqual(out, "%s:%s\n" % (hashlib.sha256(raw).hexdigest()[:16], raw.hex()))
        key_id, public = signing.parse_deployment(out.strip())
        self.assertEqual(public.public_numbers(), key.public_key().public_numbers())

        pem = path.read_bytes()
        code, out, err = self.tool("keygen", path)
        self.assertEqual((code, out, path.read_bytes()), (3, "", pem))

    def test_deployment_forms_a_launcher_refuses(self):
        form = self.keygen("a.pem")[2].strip()
        key_id, point = form.split(":")
        for name, text in [("upper case", form.upper()), ("no separator", key_id + point),
                           ("id of another key", "0" * 16 + ":" + point),
                           ("short point", key_id + ":" + point[:-2]),
                           ("off the curve", signing.key_id(bytes(64)) + ":" + "0" * 128)]:
            with self.subTest(name), self.assertRaises(ValueError):
                signing.parse_deployment(text)


class Signing(SignedCase):
    def test_signature_reads_back_with_cryptography_alone(self):
        started = int(time.time())
        key_file, key, form = self.keygen("feed.pem")
        self.signed_feed(key_file)
        signed_bytes = (self.feed / MANIFEST).read_bytes()
        text = (self.feed / MANIFEST_SIGNATURE).read_bytes()
        fields = self.sig()
        self.assertEqual(list(fields), ["schema", "key", "kind", "sha256", "size",
                                        "sequence", "expires", "signature"])
        self.assertEqual(text, (json.dumps(fields, indent=2) + "\n").encode())
        self.assertEqual((fields["key"], fields["kind"], fields["sha256"], fields["size"]), (
            form[:16], "manifest", hashlib.sha256(signed_bytes).hexdigest(),
            len(signed_bytes)))
        self.assertGreaterEqual(fields["sequence"], started)
        expires = calendar.timegm(time.strptime(fields["expires"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertAlmostEqual(expires, started + 30 * 86400, delta=10)

        message = "".join(str(fields[name]) + "\n" for name in (
            "schema", "key", "kind", "sha256", "size", "sequence", "expires")).encode()
        raw = bytes.fromhex(fields["signature"])
        r, s = int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")
        check = ec.ECDSA(hashes.SHA256())
        key.public_key().verify(utils.encode_dss_signature(r, s), message, check)
        with self.assertRaises(InvalidSignature):  # r first, then s
            key.public_key().verify(utils.encode_dss_signature(s, r), message, check)
        self.assertEqual(self.sig(self.descriptor)["kind"], "release")

        self.feed = self.dir / "unsigned"  # signing changes nothing in the manifest itself
        self.publish(self.client("client", {"element/a.txt": compressible(3000)}), "1")
        self.assertEqual((self.feed / MANIFEST).read_bytes(), signed_bytes)

    def test_signatures_go_live_just_before_their_documents(self):
        key_file = self.keygen("feed.pem")[0]
        renames, real = [], os.replace

        def recording(source, target):
            renames.append(os.path.basename(target))
            real(source, target)

        with mock.patch.object(fsutil.os, "replace", recording):
            self.signed_feed(key_file)
        self.assertEqual(renames[-6:], "manifest.json.gz manifest.json.sig manifest.json "
                         "000001.json launcher-release-v1.json.sig launcher-release-v1.json"
                         .split())

    def test_republish_keeps_a_valid_signature_and_replaces_a_failing_one(self):
        (key_file, _, form), other_file = self.keygen("feed.pem"), self.keygen("other.pem")[0]
        self.signed_feed(key_file)
        path, client = self.feed / MANIFEST_SIGNATURE, self.dir / "client"
        kept = path.read_bytes()
        self.publish(client, "1", "--key", key_file)
        self.assertEqual(path.read_bytes(), kept)
        self.publish(client, "1", "--key", other_file)
        self.assertNotEqual(self.sig()["key"], json.loads(kept)["key"])
        path.write_bytes(kept[:-9])
        self.publish(client, "1", "--key", key_file)
        code, out, err = self.tool("verify", self.feed, "--trust", form.strip())
        self.assertEqual(code, 0, out + err)

    def test_sequence_rule(self):
        _, key, _ = self.keygen("feed.pem")
        document, data = self.dir / "doc.json", b"{}\n"
        document.write_bytes(data)
        sig_path = signing.signature_path(document)
        now = 1_800_000_000

        def previous(sequence):
            return signing.signature_document(key, "release", data, sequence, now - 1)

        for name, present, expected in [("none", None, now), ("older", previous(5), now),
                                        ("ahead of the clock", previous(now + 100), now + 101),
                                        ("unreadable", b"x", now)]:
            with self.subTest(name):
                sig_path.unlink(missing_ok=True)
                if present is not None:
                    sig_path.write_bytes(present)
                written = signing.sign_file(key, "release", document, 7, now)
                self.assertEqual((written.sequence, written.expires),
                                 (expected, signing.expiry_text(now + 7 * 86400)))

    def test_resign_raises_sequences_and_keeps_the_documents(self):
        key_file, _, form = self.keygen("feed.pem")
        self.signed_feed(key_file)
        documents = [self.feed / MANIFEST, self.feed / COMPRESSED_MANIFEST, self.descriptor]
        before = [(p.read_bytes(), p.stat().st_mtime) for p in documents]
        sequences = [self.sig()["sequence"], self.sig(self.descriptor)["sequence"]]
        code, out, err = self.tool("resign", "--key", key_file, "--expires-days", "2",
                                   "--feed", self.feed, "--release", self.descriptor)
        self.assertEqual(code, 0, err)
        self.assertEqual([(p.read_bytes(), p.stat().st_mtime) for p in documents], before)
        self.assertGreater(self.sig()["sequence"], sequences[0])
        self.assertGreater(self.sig(self.descriptor)["sequence"], sequences[1])
        self.assertEqual(self.tool("resign", "--key", key_file)[0], 2)
        code, out, err = self.tool("verify", self.feed, "--trust", form.strip(),
                                   "--release", self.descriptor)
        self.assertEqual(code, 0, out + err)


class Verdicts(SignedCase):
    def setUp(self):
        super().setUp()
        self.key_file, self.key, form = self.keygen("feed.pem")
        self.trust = form.strip()
        self.other = self.keygen("other.pem")[2].strip()
        self.signed_feed(self.key_file)

    def verify(self, *extra):
        code, out, err = self.tool("verify", self.feed, *extra)
        self.assertEqual(code, 1 if "problem:" in out else 0, out + err)
        return out, err

    def test_each_bad_signature_is_named(self):
        path, plain = self.feed / MANIFEST_SIGNATURE, self.feed / MANIFEST
        release_sig = signing.signature_path(self.descriptor)

        def flip_signature_digit():
            text = path.read_text()
            at = text.index('"signature": "') + 20
            path.write_text(text[:at] + "01"[text[at] == "0"] + text[at + 1:])

        def expired():
            path.write_bytes(signing.signature_document(self.key, "manifest",
                                                        plain.read_bytes(), 10**10, 10**9))

        def rewrite(**change):
            path.write_text(json.dumps(dict(self.sig(), **change), indent=2))

        trusted = ["--trust", self.trust]
        cases = [
            ("tampered signature", flip_signature_digit, trusted, "does not verify"),
            ("manifest changed after signing",
             lambda: plain.write_bytes(plain.read_bytes().replace(b'"1"', b'"9"')), trusted,
             "names other bytes"),
            ("untrusted key", lambda: None, ["--trust", self.other], "not trusted"),
            ("expired", expired, trusted, "expired at 2001-09-09T01:46:40Z"),
            ("missing", path.unlink, trusted, "not signed"),
            ("duplicate key", lambda: path.write_text('{"key":"a","key":"a"}'), trusted,
             "twice"),
            ("over 4096 bytes", lambda: rewrite(pad=" " * 4096), trusted, "sig is over 4096"),
            ("leap second", lambda: rewrite(expires="2030-06-30T23:59:60Z"), trusted,
             "the expires is not"),
            ("release signature", lambda: path.write_bytes(release_sig.read_bytes()), trusted,
             "signs a release, not a manifest"),
            ("descriptor changed after signing",
             lambda: self.descriptor.write_text(self.descriptor.read_text() + " "),
             trusted + ["--release", self.descriptor],
             "launcher-release-v1.json.sig: names other"),
        ]
        pristine = {p: (p.read_bytes(), p.stat().st_mtime)
                    for p in self.dir.rglob("*") if p.is_file()}
        for name, damage, args, expected in cases:
            with self.subTest(name):
                damage()
                self.assertIn(expected, self.verify(*args)[0])
                for file, (data, stamp) in pristine.items():
                    file.write_bytes(data)
                    os.utime(file, (stamp, stamp))
                out, _ = self.verify("--trust", self.trust, "--release", self.descriptor)
                self.assertNotIn("problem:", out)

    def test_without_trust_all_but_the_signature_is_checked(self):
        path = self.feed / MANIFEST_SIGNATURE
        fields = self.sig()
        fields["signature"] = "0" * 128
        path.write_text(json.dumps(fields, indent=2) + "\n")
        out, err = self.verify()
        self.assertNotIn("problem:", out)
        self.assertIn("signature itself was not checked", err)
        fields["expires"] = "2001-09-09T01:46:40Z"
        path.write_text(json.dumps(fields, indent=2) + "\n")
        self.assertIn("expired", self.verify()[0])


class StandardLibraryOnly(FeedCase):
    def test_only_signing_needs_cryptography(self):
        runner = ("import sys; sys.modules['cryptography'] = None; sys.path.insert(0, %r); "
                  "from vornell_feed.cli import main; sys.exit(main(sys.argv[1:]))" % str(TOOL))
        client = self.client("client", {"element/a.txt": b"a"})

        def run(*args):
            return subprocess.run([sys.executable, "-c", runner] + [str(a) for a in args],
                                  capture_output=True, text=True)

        for args in (["publish", client, self.feed, "--version", "1"], ["verify", self.feed]):
            self.assertEqual(run(*args).returncode, 0, args)
        result = run("keygen", self.dir / "k.pem")
        self.assertEqual(result.returncode, 4)
        self.assertIn("python3-cryptography", result.stderr)


if __name__ == "__main__":
    unittest.main()
