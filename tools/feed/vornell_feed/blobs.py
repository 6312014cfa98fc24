"""Blobs: one file's content under its digest, stored compressed when that is smaller.

The launcher decides how to read a blob by its first bytes (1f 8b: gzip; 78: zlib;
anything else: as it is), so a file that itself begins like a compressed stream is always
stored compressed: stored raw it would be taken for one.
"""

import hashlib
import os
import zlib
from dataclasses import dataclass

from .errors import FeedError
from .fsutil import BLOCK, temp_beside

COMPRESSIONS = ("zlib", "gzip", "none")
WINDOW_BITS = {"zlib": 15, "gzip": 31}  # 31: the gzip wrapper, header time 0
# A file whose first SAMPLE bytes do not shrink by at least 1 % is stored raw without
# compressing the rest: archives of already compressed data are the common case.
SAMPLE = 8 << 20
WORTH = 0.99


def looks_compressed(head):
    return len(head) >= 2 and (head[:2] == b"\x1f\x8b" or head[0] == 0x78)


@dataclass
class Stored:
    """What hashing (and possibly encoding) one file produced."""
    sha256: str
    size: int
    temp: str = None  # a finished blob under a temporary name, or None
    stored_size: int = 0
    compressed: bool = False


class FileChanged(FeedError):
    pass


def _changed(path):
    return FileChanged("%s changed while it was being published; publish again once the "
                       "client folder is at rest" % path)


def _copy_raw(source, out, length, progress):
    """Copies the first length bytes of an open file; returns their SHA-256."""
    digest = hashlib.sha256()
    source.seek(0)
    copied = 0
    while copied < length:
        block = source.read(min(BLOCK, length - copied))
        if not block:
            break
        digest.update(block)
        out.write(block)
        copied += len(block)
        progress.add(written=len(block))
    return digest.hexdigest(), copied


def hash_file(path, progress, encode=None, workdir=None, level=1):
    """Reads a file once: its SHA-256 and size, and when encode names a compression, its
    blob written to a flushed temporary file in workdir (compressed if that is smaller,
    raw otherwise). Raises FileChanged when the file changes meanwhile."""
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        before = os.fstat(source.fileno())
        out = None
        if encode:
            out = open(temp_beside(os.path.join(workdir, "blob")), "xb")
        try:
            stored = _read(source, out, digest, encode, level, progress)
            if out:
                out.flush()
                os.fsync(out.fileno())
        except BaseException:
            if out:
                out.close()
                os.unlink(out.name)
            raise
        if out:
            out.close()
            stored.temp = out.name
        after = os.fstat(source.fileno())
    if stored.size != before.st_size or (after.st_size, after.st_mtime_ns) != (
            before.st_size, before.st_mtime_ns):
        if stored.temp:
            os.unlink(stored.temp)
        raise _changed(path)
    return stored


def _read(source, out, digest, encode, level, progress):
    block = source.read(BLOCK)
    # A file that begins like a compressed stream would be taken for one: it is always
    # stored compressed, in zlib when the operator asked for no compression.
    forced = looks_compressed(block[:2])
    kind = encode if encode != "none" else ("zlib" if forced else None)
    compressor = None
    if out and kind:
        compressor = zlib.compressobj(level, zlib.DEFLATED, WINDOW_BITS[kind])
    read = written = 0
    while block:
        digest.update(block)
        read += len(block)
        progress.add(read=len(block))
        if out is not None and compressor is None:
            out.write(block)
            written += len(block)
            progress.add(written=len(block))
        elif out is not None:
            packed = compressor.compress(block)
            out.write(packed)
            written += len(packed)
            progress.add(written=len(packed))
            if not forced and read >= SAMPLE and written > read * WORTH:
                # Not worth it: start over raw with what was read, then go on raw.
                compressor = None
                out.seek(0)
                out.truncate()
                _, written = _copy_raw(source, out, read, progress)
        block = source.read(BLOCK)
    if out is None:
        return Stored(digest.hexdigest(), read)
    if compressor is None:
        return Stored(digest.hexdigest(), read, stored_size=written)
    packed = compressor.flush()
    out.write(packed)
    written += len(packed)
    progress.add(written=len(packed))
    if written < read or forced:
        return Stored(digest.hexdigest(), read, stored_size=written, compressed=True)
    # Compressed it is no smaller: the blob is the file as it is.
    out.seek(0)
    out.truncate()
    again, written = _copy_raw(source, out, read, progress)
    if again != digest.hexdigest():
        raise _changed(source.name)
    return Stored(digest.hexdigest(), read, stored_size=written)


def compress_range(path, start, workdir, level, progress, whole=None):
    """zlib stream of the bytes of a file from start to its end, into a flushed temporary
    file: (temp path, compressed digest, compressed size, raw digest, raw size). whole, a
    SHA-256 state of the bytes before start, is continued over the rest."""
    compressor = zlib.compressobj(level, zlib.DEFLATED, 15)
    raw_digest, packed_digest = hashlib.sha256(), hashlib.sha256()
    raw_size = packed_size = 0
    temp = temp_beside(os.path.join(workdir, "payload"))
    with open(path, "rb") as source, open(temp, "xb") as out:
        try:
            source.seek(start)
            while True:
                block = source.read(BLOCK)
                if not block:
                    break
                raw_digest.update(block)
                if whole is not None:
                    whole.update(block)
                raw_size += len(block)
                progress.add(read=len(block))
                packed = compressor.compress(block)
                packed_digest.update(packed)
                out.write(packed)
                packed_size += len(packed)
                progress.add(written=len(packed))
            packed = compressor.flush()
            packed_digest.update(packed)
            out.write(packed)
            packed_size += len(packed)
            progress.add(written=len(packed))
            out.flush()
            os.fsync(out.fileno())
        except BaseException:
            out.close()
            os.unlink(temp)
            raise
    return (str(temp), packed_digest.hexdigest(), packed_size, raw_digest.hexdigest(),
            raw_size)


class BlobProblem(ValueError):
    pass


def check_blob(stream, sha256, size, compressed_size):
    """Reads a blob as the launcher does and raises BlobProblem unless it yields exactly
    the file (length and digest). Returns (stored length, whether it was compressed)."""
    head = stream.read(BLOCK)
    kind = None
    if len(head) >= 2 and head[:2] == b"\x1f\x8b":
        kind = "gzip"
    elif len(head) >= 2 and head[0] == 0x78:
        kind = "zlib"
    raw_digest, decoded_digest = hashlib.sha256(), hashlib.sha256()
    decoder = zlib.decompressobj(WINDOW_BITS[kind]) if kind else None
    stored = decoded = 0
    decode_error = None
    block = head
    while block:
        stored += len(block)
        raw_digest.update(block)
        if decoder is not None and decode_error is None:
            try:
                if decoder.eof:
                    raise BlobProblem("data follows the end of the compressed stream")
                out = decoder.decompress(block, min(BLOCK, size - decoded + 1))
                while True:
                    decoded += len(out)
                    decoded_digest.update(out)
                    if decoded > size:
                        raise BlobProblem("decodes to more than the file's %d bytes" % size)
                    if not decoder.unconsumed_tail:
                        break
                    out = decoder.decompress(decoder.unconsumed_tail,
                                             min(BLOCK, size - decoded + 1))
                if decoder.unused_data:
                    raise BlobProblem("data follows the end of the compressed stream")
            except (zlib.error, BlobProblem) as error:
                decode_error = error
        block = stream.read(BLOCK)
    if compressed_size and stored != compressed_size:
        raise BlobProblem("holds %d bytes where the manifest says compressedSize %d" %
                          (stored, compressed_size))
    if decoder is not None:
        if decode_error is None and not decoder.eof:
            decode_error = BlobProblem("the compressed stream is cut short")
        if decode_error is None and decoded == size and decoded_digest.hexdigest() == sha256:
            return stored, True
    # Stored as it is (the launcher's last word for a file that only looks compressed).
    if stored == size and raw_digest.hexdigest() == sha256:
        return stored, False
    if decode_error is not None:
        raise BlobProblem("does not decode (%s)" % decode_error)
    raise BlobProblem("does not yield the file (%d bytes, digest %s)" % (
        decoded if decoder else stored,
        (decoded_digest if decoder else raw_digest).hexdigest()[:12]))
