"""Files of the feed: the folder layout, atomic replacement and the publisher's lock."""

import errno
import fcntl
import os
import re
import secrets
from pathlib import Path

from .errors import FeedError

# What a static server publishes, relative to the feed folder (its document root).
UPDATE_FOLDER = "upd"
MANIFEST = UPDATE_FOLDER + "/manifest.json"
COMPRESSED_MANIFEST = MANIFEST + ".gz"
MANIFEST_SIGNATURE = MANIFEST + ".sig"  # covers manifest.json, and the .gz once inflated
DELTA_FOLDER = "delta"  # under the update folder, as the descriptor's relative location
PAYLOAD_FOLDER = "payload"  # beside the delta manifest, as the launcher resolves it

# The tool's own state; the sample server configuration refuses dot folders.
STATE_FOLDER = ".vornell-feed"
BLOCK = 1 << 20


def blob_path(digest):
    """The file behind the launcher's blob address: base + xx/ + digest + .dat."""
    return "%s/%s/%s.dat" % (UPDATE_FOLDER, digest[:2], digest)


def delta_location(digest):
    """The delta manifest's address relative to the update base."""
    return "%s/%s.json" % (DELTA_FOLDER, digest)


def payload_path(compressed_digest):
    """A payload's "path" value, relative to the delta manifest's folder."""
    return "%s/%s.zlib" % (PAYLOAD_FOLDER, compressed_digest)


def temp_beside(target):
    """The temporary name a file is written under before it is renamed into place."""
    target = Path(target)
    return target.with_name("%s.%s.tmp" % (target.name, secrets.token_hex(8)))


def fsync_folder(folder):
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_atomic(target, data, mtime=None):
    """Writes bytes under a temporary name, flushes them and renames over the target;
    a reader sees the old file or the new one, never a part. mtime (seconds) is set
    before the rename so that the file never appears with another time."""
    target = Path(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    temp = temp_beside(target)
    try:
        with open(temp, "xb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        if mtime is not None:
            os.utime(temp, (mtime, mtime))
        os.replace(temp, target)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise
    fsync_folder(target.parent)


def move_into_place(temp, target):
    """Renames a finished, flushed temporary file to its final name (same file system)."""
    Path(target).parent.mkdir(parents=True, exist_ok=True)
    os.replace(temp, target)


class FeedLock:
    """One writer per feed: publish and prune take it, verify does not need it. The kernel
    drops the lock when a killed publisher's process ends."""

    def __init__(self, feed):
        self.path = Path(feed) / STATE_FOLDER / "lock"
        self.handle = None

    def __enter__(self):
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.handle = open(self.path, "a+b")
        try:
            fcntl.flock(self.handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            self.handle.close()
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise FeedError("another publish or prune is working on %s" %
                                self.path.parents[1]) from None
            raise
        return self

    def __exit__(self, *exc):
        self.handle.close()
        return False


def work_folder(feed):
    """A private folder for temporary files, on the feed's file system so that renames
    into place are atomic. Leftovers of a killed run are removed when a writer starts."""
    folder = Path(feed) / STATE_FOLDER / "tmp"
    folder.mkdir(parents=True, exist_ok=True)
    return folder


TEMP_NAME = re.compile(r".+\.[0-9a-f]{16}\.tmp")


def clear_work_folder(feed):
    """Removes what a killed writer left: its work files, and the temporary names of the
    documents it was renaming into place. Called with the lock held."""
    folder = work_folder(feed)
    feed = Path(feed)
    for place in (folder, feed / UPDATE_FOLDER, feed / UPDATE_FOLDER / DELTA_FOLDER,
                  feed / STATE_FOLDER / "history"):
        if place.is_dir():
            for item in place.iterdir():
                if item.is_file() and TEMP_NAME.fullmatch(item.name):
                    item.unlink()
    return folder
