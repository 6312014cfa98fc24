"""guild: the icon set's three files, and every value a launcher would refuse."""

import struct
import zlib

from feedtest import FeedCase

LIST = b"1\n2\n3\n4\nclan_1.dds\n"


def png(width, height):
    """A PNG signature and header: all the tool reads of an atlas."""
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    chunk = struct.pack(">I", len(header)) + b"IHDR" + header
    return b"\x89PNG\r\n\x1a\n" + chunk + struct.pack(">I", zlib.crc32(chunk[4:]))


class Guild(FeedCase):
    def publish(self, version, icon_list, atlas):
        (self.dir / "list.txt").write_bytes(icon_list)
        (self.dir / "atlas.png").write_bytes(atlas)
        return self.tool("guild", self.dir / "feed", "--version", version,
                         "--list", self.dir / "list.txt", "--png", self.dir / "atlas.png")

    def test_publishes_the_three_files_with_the_stamp(self):
        code, _, err = self.publish("2026-12-09.1", LIST, png(64, 32))
        self.assertEqual(code, 0, err)
        folder = self.dir / "feed" / "lk_server" / "klan"
        self.assertEqual((folder / "version.txt").read_bytes(), b"2026-12-09.1\n")
        self.assertEqual((folder / "iconlist_guild.txt").read_bytes(), LIST)
        self.assertEqual((folder / "iconlist_guild.png").read_bytes(), png(64, 32))
        utf16 = "1\n2\n3\n4\nClan.DDS\n".encode("utf-16-le")
        self.assertEqual(self.publish("v2", b"\xff\xfe" + utf16, png(4096, 1))[0], 0)

    def test_what_launchers_refuse_is_refused_and_nothing_written(self):
        cases = [
            ("a stamp with a space", "v 1", LIST, png(4, 4)),
            ("an empty stamp", "", LIST, png(4, 4)),
            ("a list with a bad number", "v", b"1\n2\nx\n4\nclan.dds\n", png(4, 4)),
            ("a list without names", "v", b"1\n2\n3\n4\n", png(4, 4)),
            ("a name with a folder", "v", b"1\n2\n3\n4\nsub\\clan.dds\n", png(4, 4)),
            ("a Cyrillic UTF-16 list", "v",
             b"\xff\xfe" + "1\n2\n3\n4\nк.dds\n".encode("utf-16-le"), png(4, 4)),
            ("an atlas too wide", "v", LIST, png(4097, 16)),
            ("an atlas that is no PNG", "v", LIST, b"GIF89a" + bytes(30)),
        ]
        for name, version, icon_list, atlas in cases:
            with self.subTest(name):
                code, _, err = self.publish(version, icon_list, atlas)
                self.assertEqual(code, 3, err)
                self.assertIn("error", err)
                self.assertFalse((self.dir / "feed" / "lk_server").exists())
