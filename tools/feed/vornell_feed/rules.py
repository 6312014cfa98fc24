"""What the launcher accepts: limits, names, versions and addresses, in one place.

Every check here answers with a sentence an operator can act on, or None when the value
passes. The numbers are the launcher's own; a feed that breaks one of them is refused by
every launcher that reads it.
"""

import re
import struct
from urllib.parse import urlsplit

# The update manifest.
MOST_MANIFEST_FILES = 100_000
LARGEST_BLOB_FILE = 536_870_912  # a file fetched whole by its blob (512 MiB)
LARGEST_DELTA_FILE = 4_294_967_295  # any listed file, once the manifest has a delta
LARGEST_PLAIN_MANIFEST = 16_777_216
LARGEST_COMPRESSED_MANIFEST = 4_194_304
LONGEST_VERSION = 31
DEFAULT_EXECUTABLE = "element/elementclient.exe"
GUILD_ICON_LISTS = ("element/userdata/usericon/iconlist_guild.txt",
                    "element/userdata/usericon/iconlist_guild.png")
# Launchers rebuild this archive with the guild icons after every update, so no player's
# copy equals the published one: it can never be the base of an append.
GUILD_ICON_ARCHIVE = "element/surfaces.pck"
UPDATER_PATH = "element/vornellupdater.exe"
LAUNCHER_WORK_FOLDER = "element/.vornell-transactions"

# The delta package.
DELTA_SCHEMA = "vorn-client-delta-v1"
LARGEST_DELTA_MANIFEST = 5_242_880
MOST_DELTA_ENTRIES = 512
LARGEST_PAYLOAD = 536_870_912
LARGEST_PAYLOAD_TOTAL = 1_073_741_824
LARGEST_TARGET_TOTAL = 17_179_869_184
LONGEST_DELTA_TEXT = 4096
LONGEST_LOCATION = 2048
PATCH_HEADER_OFFSET = 4
SMALLEST_PATCHED_BASE = 12

# Paths.
LONGEST_RELATIVE_PATH = 30_000  # UTF-16 code units
LONGEST_LOCAL_PATH = 247  # the player's folder included
ROOMY_RELATIVE_PATH = 200  # beyond this, few players' folders leave room
REFUSED_CHARACTERS = set('<>:"|?*')
RESERVED_NAMES = {"con", "prn", "aux", "nul"} | {
    prefix + digit for prefix in ("com", "lpt") for digit in "123456789"}

# The release descriptor.
LARGEST_DESCRIPTOR = 4096
SMALLEST_EXECUTABLE = 1024
LARGEST_LAUNCHER = 33_554_432
LARGEST_UPDATER = 16_777_216
LAUNCHER_DOWNLOAD_PATH = "/downloads/VornellLauncher.exe"
UPDATER_DOWNLOAD_PATH = "/downloads/VornellUpdater.exe"
LOOPBACK_HOSTS = {"127.0.0.1", "localhost", "::1"}

HEX64 = re.compile(r"[0-9a-f]{64}")


def is_digest(text):
    return isinstance(text, str) and HEX64.fullmatch(text) is not None


def normalize_path(path):
    """The launcher's comparison form of a manifest path: ASCII lower case, slashes."""
    lowered = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in path)
    return lowered.replace("\\", "/")


def path_identity(path):
    """Two paths with one identity are one file on the player's (case-insensitive) disk."""
    return path.replace("\\", "/").upper()


def is_guild_icon_archive(path):
    return path_identity(path) == path_identity(GUILD_ICON_ARCHIVE)


def utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def relative_path_problem(path):
    """The launcher's rules for a relative path taken from a document, or None."""
    if not path or path.startswith(("/", "\\")):
        return "is empty or starts with a separator"
    if utf16_length(path) > LONGEST_RELATIVE_PATH:
        return "is longer than %d characters" % LONGEST_RELATIVE_PATH
    for component in path.replace("/", "\\").split("\\"):
        if component in ("", ".", ".."):
            return "has an empty, '.' or '..' component"
        if component.endswith((" ", ".")):
            return "has a component ending in a space or a dot (%r)" % component
        bad = [c for c in component if ord(c) < 32 or c in REFUSED_CHARACTERS]
        if bad:
            return "has a character Windows refuses in a name (%r)" % bad[0]
        if component.split(".", 1)[0].lower() in RESERVED_NAMES:
            return "has a name Windows reserves for a device (%r)" % component
    return None


def client_path_problem(path):
    """Rules for a path the tool lists: under element/, no backslash inside a name."""
    if "\\" in path:
        return "holds a backslash, which Windows reads as a folder separator"
    problem = relative_path_problem(path)
    if problem:
        return problem
    normal = normalize_path(path)
    if len(normal) < 8 or not normal.startswith("element/") or normal == "element/":
        return "is not under element/"
    return None


def delta_path_problem(path):
    """The delta manifest's own rules for an entry path, on top of the relative ones."""
    size = len(path.encode("utf-8"))
    if size < 9 or size > 1023:
        return "must be 9 to 1023 bytes long"
    if not path.startswith("element/") or path.endswith("/") or "\\" in path:
        return "must start with element/, use slashes and not end with one"
    return relative_path_problem(path)


def version_problem(version):
    if not isinstance(version, str):
        return "must be text"
    if not 1 <= len(version) <= LONGEST_VERSION:
        return "must be 1 to %d characters long" % LONGEST_VERSION
    if any(not 33 <= ord(c) <= 126 for c in version):
        return "may hold only visible ASCII characters (no spaces)"
    return None


def executable_problem(executable):
    problem = relative_path_problem(executable)
    if problem:
        return problem
    if normalize_path(executable) != DEFAULT_EXECUTABLE:
        return "must name %s (letter case and separators may differ)" % DEFAULT_EXECUTABLE
    return None


BUILD_NUMBER = re.compile(r"0|[1-9][0-9]{0,4}")


def build_problem(build):
    """Four dot-separated numbers 0 to 65535, no leading zero."""
    if not isinstance(build, str):
        return "must be text"
    parts = build.split(".")
    if len(parts) != 4 or not all(BUILD_NUMBER.fullmatch(p) and int(p) <= 65535
                                  for p in parts):
        return "must be four dot-separated numbers 0 to 65535 without leading zeros"
    return None


def release_url_problem(url, download_path):
    """The address the launcher would accept for a release file.

    A loopback address serves the launcher's local-test mode and passes as any HTTP(S)
    address; anything else must be HTTPS on port 443 with exactly the download path."""
    if not isinstance(url, str) or not url:
        return "is empty"
    if any(c in url for c in "\r\n\0#") or any(ord(c) < 0x21 or ord(c) > 0x7e for c in url):
        return "holds a fragment, a space or a control character"
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError:
        return "does not parse as an address"
    if parts.scheme not in ("http", "https") or not parts.hostname:
        return "must be an http(s) address with a host"
    if parts.username is not None or parts.password is not None:
        return "must not carry a user name or password"
    if parts.hostname.lower() in LOOPBACK_HOSTS:
        return None
    if parts.scheme != "https" or (port is not None and port != 443):
        return "must be HTTPS on port 443 (only loopback addresses may differ, for tests)"
    if parts.path != download_path or parts.query:
        return "must have exactly the path %s" % download_path
    return None


def delta_location_problem(location):
    if not 1 <= len(location) <= LONGEST_LOCATION:
        return "must be 1 to %d characters" % LONGEST_LOCATION
    if any(not 0x21 <= ord(c) <= 0x7e or c in "\\?#" for c in location):
        return "may hold only visible ASCII without \\, ? or #"
    if location.startswith(("https://", "http://")):
        return None
    return relative_path_problem(location)


def windows_executable_problem(data):
    """The launcher takes only a 64-bit Windows program image (not a DLL)."""
    if len(data) < 64 or data[:2] != b"MZ":
        return "is not a Windows executable (no MZ header)"
    (pe,) = struct.unpack_from("<I", data, 60)
    if pe < 64 or pe > len(data) or len(data) - pe < 264:
        return "has a PE header offset outside the file"
    if data[pe:pe + 4] != b"PE\0\0":
        return "has no PE signature"
    machine, characteristics = struct.unpack_from("<H", data, pe + 4)[0], \
        struct.unpack_from("<H", data, pe + 22)[0]
    (magic,) = struct.unpack_from("<H", data, pe + 24)
    if machine != 0x8664 or magic != 0x20B:
        return "is not a 64-bit (x86-64) program"
    if not characteristics & 0x0002 or characteristics & 0x2000:
        return "is a DLL or not an executable image"
    return None
