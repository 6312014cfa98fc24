"""release: the descriptor's schema, and every value a launcher would refuse."""

import hashlib
import json
import struct
import unittest

from feedtest import FeedCase
from vornell_feed import rules

URL = "https://vornell.example/downloads/VornellLauncher.exe"


def program(size=4096, machine=0x8664, characteristics=0x0022, magic=0x20B, pe=128):
    """A minimal 64-bit Windows program image: what the launcher looks at, nothing more."""
    image = bytearray(size)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 60, pe)
    image[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<H", image, pe + 4, machine)
    struct.pack_into("<H", image, pe + 22, characteristics)
    struct.pack_into("<H", image, pe + 24, magic)
    return bytes(image)


class Descriptor(FeedCase):
    def release(self, launcher, *extra):
        out = self.dir / "downloads" / "launcher-release-v1.json"
        code, stdout, err = self.tool("release", launcher, out, *extra)
        return code, out, err

    def exe(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return path

    def test_schema_1_and_schema_2(self):
        launcher = self.exe("VornellLauncher.exe", program(8192))
        code, out, err = self.release(launcher, "--build", "2026.10.26.5", "--url", URL)
        self.assertEqual(code, 0, err)
        self.assertEqual(json.loads(out.read_bytes()), {
            "schema": 1, "build": "2026.10.26.5", "size": 8192, "url": URL,
            "sha256": hashlib.sha256(program(8192)).hexdigest()})

        updater = self.exe("VornellUpdater.exe", program(2048))
        code, out, err = self.release(launcher, "--build", "2026.10.26.5", "--url", URL,
                                      "--updater", updater)
        self.assertEqual(code, 0, err)
        document = json.loads(out.read_bytes())
        self.assertEqual(document["schema"], 2)
        self.assertEqual(document["updater"], {
            "build": "2026.10.26.5", "size": 2048,
            "url": "https://vornell.example/downloads/VornellUpdater.exe",
            "sha256": hashlib.sha256(program(2048)).hexdigest()})
        self.assertLessEqual(out.stat().st_size, rules.LARGEST_DESCRIPTOR)

    def test_values_a_launcher_refuses(self):
        good = self.exe("good.exe", program())
        cases = [
            ("three numbers", good, ["--build", "2026.10.26", "--url", URL]),
            ("leading zero", good, ["--build", "2026.10.026.5", "--url", URL]),
            ("number over 65535", good, ["--build", "2026.10.26.65536", "--url", URL]),
            ("text after the numbers", good, ["--build", "2026.10.26.5b", "--url", URL]),
            ("plain HTTP", good, ["--build", "1.2.3.4", "--url", URL.replace("https", "http")]),
            ("another port", good, ["--build", "1.2.3.4", "--url",
                                    URL.replace(".example/", ".example:8443/")]),
            ("another path", good, ["--build", "1.2.3.4", "--url",
                                    URL.replace("VornellLauncher", "Launcher")]),
            ("user information", good, ["--build", "1.2.3.4", "--url",
                                        URL.replace("https://", "https://me@")]),
            ("1023 bytes", self.exe("small.exe", program(1023)),
             ["--build", "1.2.3.4", "--url", URL]),
            ("32 MiB and a byte", self.exe("large.exe", program(rules.LARGEST_LAUNCHER + 1)),
             ["--build", "1.2.3.4", "--url", URL]),
            ("a DLL", self.exe("lib.exe", program(characteristics=0x2022)),
             ["--build", "1.2.3.4", "--url", URL]),
            ("32-bit", self.exe("x86.exe", program(machine=0x14C, magic=0x10B)),
             ["--build", "1.2.3.4", "--url", URL]),
            ("not a program", self.exe("text.exe", b"#!" + b"x" * 2000),
             ["--build", "1.2.3.4", "--url", URL]),
            ("PE header past the end", self.exe("cut.exe", program(pe=4000)),
             ["--build", "1.2.3.4", "--url", URL]),
            ("updater of 16 MiB and a byte", good,
             ["--build", "1.2.3.4", "--url", URL, "--updater",
              self.exe("big-updater.exe", program(rules.LARGEST_UPDATER + 1))]),
            ("updater at the launcher's path", good,
             ["--build", "1.2.3.4", "--url", URL, "--updater", good, "--updater-url", URL]),
        ]
        for name, launcher, extra in cases:
            with self.subTest(name):
                code, out, err = self.release(launcher, *extra)
                self.assertEqual(code, 3, err)
                self.assertFalse(out.exists())

    def test_loopback_addresses_serve_local_tests(self):
        launcher = self.exe("VornellLauncher.exe", program())
        for url in ("http://127.0.0.1:8080/anything.exe", "http://localhost/x.exe"):
            with self.subTest(url):
                code, out, err = self.release(launcher, "--build", "1.2.3.4", "--url", url)
                self.assertEqual(code, 0, err)
                self.assertEqual(json.loads(out.read_bytes())["url"], url)


if __name__ == "__main__":
    unittest.main()
