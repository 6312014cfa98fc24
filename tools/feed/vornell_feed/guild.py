"""guild: the guild icon set launchers put into element/surfaces.pck.

Three files under FEED/lk_server/klan/: the atlas (a PNG), its list, and the version stamp
that tells launchers whether their installed set is current. Whatever a launcher would
refuse is refused here first. The stamp is written last, so a launcher that sees a new
stamp finds the files it names; a launcher that reads while the set changes sees the stamp
change and tries again.
"""

import struct
from pathlib import Path

from .errors import Refused
from .fsutil import write_atomic

GUILD_FOLDER = "lk_server/klan"
LARGEST_LIST = 8388608
LARGEST_PNG = 33554432
LARGEST_SIDE = 4096
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
NAME_CHARACTERS = set("abcdefghijklmnopqrstuvwxyz0123456789-._")


def stamp_problem(version):
    if not 1 <= len(version) <= 63:
        return "must be 1 to 63 characters"
    if any(not 0x21 <= ord(c) <= 0x7E for c in version):
        return "may hold only visible ASCII characters (no spaces)"
    return None


def list_text(data):
    """The list as launchers read it: UTF-16LE by each unit's low byte, else the bytes."""
    if data[:2] == b"\xff\xfe":
        if len(data) % 2:
            raise Refused("the UTF-16 icon list has an odd number of bytes")
        units = struct.unpack("<%dH" % (len(data) // 2 - 1), data[2:])
        if any(unit >= 0x100 for unit in units):
            raise Refused("the UTF-16 icon list holds characters beyond Latin-1")
        return bytes(units).decode("latin-1")
    return data[3:].decode("latin-1") if data[:3] == b"\xef\xbb\xbf" else data.decode("latin-1")


def list_problem(data):
    if len(data) < 8:
        return "is shorter than 8 bytes"
    lines = [line[:-1] if line.endswith("\r") else line for line in list_text(data).split("\n")]
    lines = [line for line in lines if line]
    for number, line in enumerate(lines[:4], 1):
        if not (1 <= len(line) <= 8 and line.isascii() and line.isdigit()
                and int(line) <= 1000000):
            return "line %d (%r) is not a number from 0 to 1000000" % (number, line)
    for line in lines[4:]:
        name = line.lower().replace("\\", "/")
        if not (5 <= len(name) <= 96 and name.endswith(".dds")
                and set(name) <= NAME_CHARACTERS):
            return "the icon name %r is not 5 to 96 characters of a-z 0-9 - . _ ending " \
                   "in .dds" % line
    if len(lines) <= 4:
        return "names no icon after its four numbers"
    return None


def png_problem(data):
    if len(data) < 24 or not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        return "is not a PNG image"
    width, height = struct.unpack(">II", data[16:24])
    if not (1 <= width <= LARGEST_SIDE and 1 <= height <= LARGEST_SIDE):
        return "is %d x %d pixels; launchers take 1 to %d in each direction" % (
            width, height, LARGEST_SIDE)
    return None


def publish_guild(feed, version, icon_list, png):
    problem = stamp_problem(version)
    if problem:
        raise Refused("the icon version %r %s" % (version, problem))
    checks = ((icon_list, LARGEST_LIST, list_problem, "icon list"),
              (png, LARGEST_PNG, png_problem, "atlas"))
    bodies = []
    for path, largest, check, what in checks:
        data = Path(path).read_bytes()
        if len(data) > largest:
            raise Refused("the %s %s holds %d bytes; launchers read at most %d" % (
                what, path, len(data), largest))
        problem = check(data)
        if problem:
            raise Refused("the %s %s %s" % (what, path, problem))
        bodies.append(data)
    folder = Path(feed) / GUILD_FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    write_atomic(folder / "iconlist_guild.txt", bodies[0])
    write_atomic(folder / "iconlist_guild.png", bodies[1])
    write_atomic(folder / "version.txt", (version + "\n").encode("ascii"))
    return folder
