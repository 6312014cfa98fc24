"""Game archives and PNG atlases for the end-to-end tests, written from the formats alone
with the standard library: none of the launcher's code makes or reads them here."""

import struct
import zlib

FOOTER_SIZE = 280


def png_rgba(width, height, pixels):
    """An 8-bit RGBA PNG; pixels are (r, g, b, a) tuples, rows top first."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in pixels[y * width:(y + 1) * width])
                   for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def dds_of(width, height, pixels):
    """The uncompressed DDS the launcher makes of that PNG: header, then B, G, R, A."""
    header = bytearray(128)
    for offset, value in ((0, 0x20534444), (4, 124), (8, 0x100F), (12, height), (16, width),
                          (20, width * 4), (76, 32), (80, 0x41), (88, 32), (92, 0x00FF0000),
                          (96, 0x0000FF00), (100, 0x000000FF), (104, 0xFF000000),
                          (108, 0x1000)):
        struct.pack_into("<I", header, offset, value)
    return bytes(header) + b"".join(bytes((b, g, r, a)) for r, g, b, a in pixels)


def write_pck(entries, keys, description=b"e2e"):
    """An archive of (raw name, content) entries stored as they are, raw records."""
    key1, key2 = keys
    data, records = bytearray(struct.pack("<III", 0x4DCA23EF, 0, 0x56A089B7)), []
    for name, content in entries:
        record = name.ljust(260, b"\0") + struct.pack("<III", len(data), len(content),
                                                      len(content))
        records.append(struct.pack("<II", 272 ^ key1, 272 ^ key2) + record)
        data += content
    index_offset = len(data)
    data += b"".join(records)
    data += struct.pack("<III", 0xFDFDFEEE, 0x00020002, index_offset ^ key1)
    data += description.ljust(256, b"\0")
    data += struct.pack("<III", 0xF00DBEEF, len(entries), 0x00020002)
    struct.pack_into("<I", data, 4, len(data))
    return bytes(data)


def index_records(archive, keys):
    """[(raw name, data offset, size, stored size)] in index order; raw and zlib records."""
    key1, key2 = keys
    footer = len(archive) - FOOTER_SIZE
    at = struct.unpack_from("<I", archive, footer + 8)[0] ^ key1
    count = struct.unpack_from("<I", archive, footer + 272)[0]
    records = []
    for _ in range(count):
        first, second = struct.unpack_from("<II", archive, at)
        length = first ^ key1
        if length != second ^ key2 or at + 8 + length > footer:
            raise ValueError("bad record at %d" % at)
        record = archive[at + 8:at + 8 + length]
        if length not in (272, 276):
            record = zlib.decompress(record)
        at += 8 + length
        offset, size, stored = struct.unpack_from("<III", record, 260)
        records.append((record[:record.index(b"\0")], offset, size, stored))
    if at != footer:
        raise ValueError("bytes between the index and the footer")
    return records


def append_pck(archive, changes, keys, description=b"e2e"):
    """The archive as a patch that appends leaves it: the old bytes as they were, then the
    changed and added entries' data, a new index and footer, and the header's size field
    updated. `changes` are (raw name, content) pairs."""
    key1, key2 = keys
    records = index_records(archive, keys)
    data = bytearray(archive)
    replaced = {}
    for name, content in changes:
        replaced[name] = (len(data), len(content), len(content))
        data += content
    index_offset = len(data)
    entries = [(name, replaced.pop(name, (offset, size, stored)))
               for name, offset, size, stored in records]
    entries += list(replaced.items())
    for name, (offset, size, stored) in entries:
        record = name.ljust(260, b"\0") + struct.pack("<III", offset, size, stored)
        data += struct.pack("<II", 272 ^ key1, 272 ^ key2) + record
    data += struct.pack("<III", 0xFDFDFEEE, 0x00020002, index_offset ^ key1)
    data += description.ljust(256, b"\0")
    data += struct.pack("<III", 0xF00DBEEF, len(entries), 0x00020002)
    struct.pack_into("<I", data, 4, len(data))
    return bytes(data)


def read_pck(archive, keys):
    """[(raw name, stored bytes)] in index order; raw and zlib records."""
    return [(name, archive[offset:offset + stored])
            for name, offset, _, stored in index_records(archive, keys)]
