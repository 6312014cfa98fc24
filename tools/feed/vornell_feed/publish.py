"""publish: a client folder becomes the feed's blobs, delta package and manifest.

Publication order is what keeps every reader safe: blobs and payloads first, then the
delta manifest, then manifest.json.gz, then (with a key) manifest.json.sig, then
manifest.json, each renamed into place once complete. A launcher reading the feed at any
moment, or a publish killed at any moment, leaves the live manifest naming only files that
are there.
"""

import fnmatch
import gzip
import hashlib
import os
import threading
import time
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from pathlib import Path

from . import blobs, delta, manifest, rules, signing
from .errors import FeedError, Refused
from .fsutil import (COMPRESSED_MANIFEST, DELTA_FOLDER, MANIFEST, MANIFEST_SIGNATURE,
                     STATE_FOLDER, UPDATE_FOLDER, FeedLock, blob_path, clear_work_folder,
                     delta_location, fsync_folder, move_into_place, write_atomic)
from .progress import size_text

DEFAULT_DELTA_MIN_SIZE = 64 << 20
# Blobs are fetched only to repair or add single files, so publishing fast matters more
# than the last percent; payloads go to every player who updates, so they get the best.
DEFAULT_LEVEL = 1
DEFAULT_DELTA_LEVEL = 9
HISTORY = STATE_FOLDER + "/history"
RECENT_HISTORY = 3  # earlier manifests whose blobs a re-publish recognises by size


@dataclass
class ClientFile:
    path: str  # "element/..." as listed
    source: Path
    size: int


@dataclass
class Outcome:
    """What one publish did, for the summary and for callers of the library."""
    version: str = ""
    files: int = 0
    bytes: int = 0
    new_blobs: int = 0
    new_blob_bytes: int = 0
    reused_blobs: int = 0
    delta_entries: dict = field(default_factory=dict)  # path -> "append" | "full"
    delta_location: str = ""
    key: str = ""
    changed: bool = True
    signature: object = None  # the live manifest's signing.Signature, when signed
    signed: bool = False  # a signature was written (not found valid)


# Reading the client folder.

def _name(entry_path, relative):
    try:
        relative.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused("%s: the name is not UTF-8; rename it" % entry_path) from None
    return relative


def scan_client(client, excludes, progress):
    """Every file under CLIENT/element that the manifest lists, in path order."""
    element = Path(client) / "element"
    if not element.is_dir() or element.is_symlink():
        raise Refused("%s has no element folder" % client)
    found = []
    stack = [(element, "element")]
    while stack:
        folder, relative = stack.pop()
        with os.scandir(folder) as entries:
            for entry in sorted(entries, key=lambda e: e.name):
                path = _name(entry.path, relative + "/" + entry.name)
                if any(fnmatch.fnmatchcase(path, pattern) for pattern in excludes):
                    continue
                if entry.is_symlink():
                    raise Refused("%s is a link: the launcher never follows links, so copy "
                                  "the file or folder into the client" % path)
                if entry.is_dir(follow_symlinks=False):
                    if rules.normalize_path(path) == rules.LAUNCHER_WORK_FOLDER:
                        progress.note("skipped %s: the launcher's own work folder" % path)
                        continue
                    stack.append((Path(entry.path), path))
                    continue
                if not entry.is_file(follow_symlinks=False):
                    raise Refused("%s is not a regular file" % path)
                normal = rules.normalize_path(path)
                if normal in rules.GUILD_ICON_LISTS:
                    progress.note("skipped %s: the launcher keeps guild icons itself" % path)
                    continue
                if normal == rules.UPDATER_PATH:
                    progress.note("skipped %s: the updater ships with the launcher (release)"
                                  % path)
                    continue
                found.append(ClientFile(path, Path(entry.path),
                                        entry.stat(follow_symlinks=False).st_size))
    found.sort(key=lambda f: f.path.encode("utf-8"))
    return found


def check_client(files, executable, has_base, progress):
    """The launcher's limits on the listed files, before any work is done."""
    if not files:
        raise Refused("the element folder holds no file to publish")
    if len(files) > rules.MOST_MANIFEST_FILES:
        raise Refused("%d files: a manifest lists at most %d" % (len(files),
                                                                  rules.MOST_MANIFEST_FILES))
    identities = {}
    for file in files:
        problem = rules.client_path_problem(file.path)
        if problem:
            raise Refused("%s %s" % (file.path, problem))
        other = identities.setdefault(rules.path_identity(file.path), file.path)
        if other != file.path:
            raise Refused("%s and %s differ only in letter case: on the player's disk they "
                          "are one file" % (other, file.path))
        if file.size > rules.LARGEST_DELTA_FILE:
            raise Refused("%s holds %d bytes; the launcher takes files up to %d bytes" % (
                file.path, file.size, rules.LARGEST_DELTA_FILE))
        if file.size > rules.LARGEST_BLOB_FILE and rules.is_guild_icon_archive(file.path):
            raise Refused("%s holds %d bytes; it can reach players only whole (launchers "
                          "patch guild icons into it, so no player's copy can be the base of "
                          "an append), and a whole file holds at most 512 MiB" % (
                              file.path, file.size))
        if file.size > rules.LARGEST_BLOB_FILE and not has_base:
            raise Refused("%s is over 512 MiB: such files reach players only through a delta "
                          "package; publish with --base OLD_CLIENT" % file.path)
        if rules.utf16_length(file.path) > rules.ROOMY_RELATIVE_PATH:
            progress.note("%s is %d characters long: the launcher refuses local paths of %d "
                          "characters or more, the player's folder included" % (
                              file.path, rules.utf16_length(file.path),
                              rules.LONGEST_LOCAL_PATH + 1))
    if rules.normalize_path(executable) not in {rules.normalize_path(f.path) for f in files}:
        raise Refused("the client has no %s: the launcher starts the game from it" % executable)


# What the feed already holds.

class BlobStore:
    """The feed's blobs: which are present and in what form. Blobs that recent manifests
    name are recognised by their size; any other present blob is read back once before it
    is trusted, and a damaged one is written again."""

    def __init__(self, feed, known):
        self.feed = Path(feed)
        self.known = known  # digest -> compressedSize (0: stored raw)
        self.lock = threading.Lock()

    def ready(self, digest, size):
        """compressedSize for the manifest when the blob is present and right, else None."""
        path = self.feed / blob_path(digest)
        try:
            present = path.stat().st_size
        except FileNotFoundError:
            return None
        with self.lock:
            compressed = self.known.get(digest)
        if compressed is not None and present == (compressed or size):
            return compressed
        try:
            with open(path, "rb") as stream:
                stored, was_compressed = blobs.check_blob(stream, digest, size, 0)
        except blobs.BlobProblem:
            return None
        return self.remember(digest, stored if was_compressed else 0)

    def remember(self, digest, compressed):
        with self.lock:
            self.known[digest] = compressed
        return compressed


def read_published(feed):
    """The live manifest (or None) and the earlier ones that the history keeps."""
    current = None
    path = Path(feed) / MANIFEST
    if path.exists():
        try:
            current = manifest.parse(path.read_bytes())
        except manifest.ManifestProblem:
            current = None  # a damaged live manifest only loses its blobs' sizes here
    earlier = []
    for entry in history_entries(feed)[-RECENT_HISTORY:]:
        try:
            earlier.append(manifest.parse(entry.read_bytes()))
        except (manifest.ManifestProblem, OSError):
            continue  # history is a help for speed and prune, not a source of truth
    return current, earlier


def history_entries(feed):
    folder = Path(feed) / HISTORY
    if not folder.is_dir():
        return []
    return sorted((p for p in folder.iterdir() if p.name.endswith(".json") and
                   p.name[:-5].isdigit()), key=lambda p: int(p.name[:-5]))


# The work.

def _run_parallel(jobs, tasks):
    """Runs callables on jobs threads; the first failure stops the rest and is raised."""
    results = [None] * len(tasks)
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {pool.submit(task): index for index, task in enumerate(tasks)}
        done, pending = wait(futures, return_when=FIRST_EXCEPTION)
        for future in pending:
            future.cancel()
        for future in done:
            if future.exception() is not None:
                pool.shutdown(wait=True, cancel_futures=True)
                raise future.exception()
        for future, index in futures.items():
            results[index] = future.result()
    return results


class Publisher:
    def __init__(self, feed, workdir, store, previous, compression, level, progress):
        self.feed = Path(feed)
        self.workdir = workdir
        self.store = store
        self.previous = previous  # path -> ManifestFile of the live manifest
        self.compression = compression
        self.level = level
        self.progress = progress
        self.outcome_lock = threading.Lock()
        self.new_blobs = []

    def file_task(self, file):
        return lambda: self.publish_file(file)

    def publish_file(self, file):
        """Hashes one file and makes sure its blob is in the feed; returns its entry."""
        progress = self.progress
        if file.size > rules.LARGEST_BLOB_FILE:
            # Never fetched whole: the launcher takes it only from the delta package.
            stored = blobs.hash_file(file.source, progress)
            progress.add(files=1)
            return manifest.ManifestFile(file.path, stored.sha256, stored.size)
        earlier = self.previous.get(file.path)
        if earlier and earlier.size == file.size and \
                self.store.ready(earlier.sha256, earlier.size) is not None:
            # Most likely unchanged: hash only, and encode only if it did change.
            stored = blobs.hash_file(file.source, progress)
            compressed = self.store.ready(stored.sha256, stored.size)
            if compressed is not None:
                progress.add(files=1)
                return manifest.ManifestFile(file.path, stored.sha256, stored.size, compressed)
        stored = blobs.hash_file(file.source, progress, self.compression, self.workdir,
                                 self.level)
        compressed = self.store.ready(stored.sha256, stored.size)
        if compressed is not None:
            os.unlink(stored.temp)
        else:
            move_into_place(stored.temp, self.feed / blob_path(stored.sha256))
            compressed = self.store.remember(stored.sha256,
                                             stored.stored_size if stored.compressed else 0)
            with self.outcome_lock:
                self.new_blobs.append((stored.sha256, stored.stored_size))
        progress.add(files=1)
        return manifest.ManifestFile(file.path, stored.sha256, stored.size, compressed)


# The delta package.

def _delta_task(file, target, base_root, workdir, level, progress):
    """The entry for one large file (or None), with its payload as a temporary file."""
    def run():
        base = Path(base_root) / file.path
        change = None
        if base.is_file() and not base.is_symlink():
            change, prefix = delta.compare(base, file.source, progress)
        if change is not None and change.kind == "same":
            if file.size <= rules.LARGEST_BLOB_FILE:
                progress.add(files=1)
                return None
            start = file.size  # unchanged, but it must be covered: an empty tail
        elif change is not None and change.kind == "append" and \
                not rules.is_guild_icon_archive(file.path):
            start = change.base_size
        else:
            if file.size > rules.LARGEST_BLOB_FILE:
                raise Refused("%s is over 512 MiB and is not the base's copy with bytes "
                              "appended: the launcher can deliver it only as an append" %
                              file.path)
            # A grown guild icon archive comes here too: launchers refuse an append to
            # their copy, which holds the guild icons and so is never the base.
            change, start, prefix = None, 0, None
        if file.size - start > rules.LARGEST_PAYLOAD:
            raise Refused("%s grew by %d bytes since the base; a delta payload holds at most "
                          "512 MiB" % (file.path, file.size - start))
        temp, packed_sha, packed_size, raw_sha, raw_size = blobs.compress_range(
            file.source, start, workdir, level, progress, prefix)
        whole = prefix.hexdigest() if prefix is not None else raw_sha
        if whole != target.sha256:
            os.unlink(temp)
            raise blobs.FileChanged("%s changed while it was being published" % file.path)
        if packed_size > rules.LARGEST_PAYLOAD:
            os.unlink(temp)
            raise Refused("%s: its compressed delta payload holds %d bytes; a payload holds "
                          "at most 512 MiB" % (file.path, packed_size))
        payload = delta.payload_object(packed_sha, packed_size, raw_sha, raw_size)
        if change is None:
            entry = delta.full_entry(file.path, target.sha256, target.size, payload)
        else:
            entry = delta.append_entry(file.path, change, target.sha256, target.size, payload)
        progress.add(files=1)
        return entry, temp
    return run


def build_delta(feed, files, entries_by_path, base_root, min_size, jobs, workdir, level,
                progress):
    """Payloads into place and the delta manifest written; returns (descriptor, entries)."""
    candidates = [f for f in files if f.size >= min_size or f.size > rules.LARGEST_BLOB_FILE]
    progress.begin("building the delta package", len(candidates))
    made = _run_parallel(jobs, [
        _delta_task(f, entries_by_path[f.path], base_root, workdir, level, progress)
        for f in candidates])
    progress.end()
    made = [m for m in made if m is not None]
    if not made:
        progress.note("no file of %s or more changed since the base: no delta package" %
                      size_text(min_size))
        return None, []
    required = {f.path for f in candidates if f.size > rules.LARGEST_BLOB_FILE}
    try:
        entries, left_out = delta.fit([entry for entry, _ in made], required)
    except ValueError as problem:
        for _, temp in made:
            os.unlink(temp)
        raise Refused("delta package: %s" % problem) from None
    for entry in left_out:
        progress.note("%s left out of the delta package (over its limits); players get it "
                      "as a blob" % entry["path"])
    kept = {id(entry) for entry in entries}
    folders = set()
    for entry, temp in made:
        if id(entry) not in kept:
            os.unlink(temp)
            continue
        target = Path(feed) / UPDATE_FOLDER / DELTA_FOLDER / entry["payload"]["path"]
        if target.exists() and target.stat().st_size == entry["payload"]["compressed"]["bytes"]:
            os.unlink(temp)  # named by its own digest: the same bytes are already there
        else:
            move_into_place(temp, target)
        folders.add(target.parent)
    for folder in folders:
        fsync_folder(folder)
    source_name = Path(base_root).resolve().name or "base"
    text = delta.document_bytes(entries, source_name)
    digest = hashlib.sha256(text).hexdigest()
    location = delta_location(digest)
    target = Path(feed) / UPDATE_FOLDER / location
    if not target.exists() or target.read_bytes() != text:
        write_atomic(target, text)
    return manifest.DeltaDescriptor(location, digest, len(text)), entries


# The manifest, last.

def publication_time(plain):
    """Whole seconds, as Last-Modified carries them, later than the live manifest's: two
    publishes in one second must not share a validator (nginx's ETag is time and size)."""
    now = int(time.time())
    try:
        return max(now, int(plain.stat().st_mtime) + 1)
    except FileNotFoundError:
        return now


class ManifestSigner:
    """manifest.json.sig by the operator's key; what it did stays here for the summary."""

    def __init__(self, feed, key, expires_days):
        self.path = Path(feed) / MANIFEST_SIGNATURE
        self.key, self.expires_days = key, expires_days
        self.signature, self.written = None, False

    def sign(self, body):
        self.signature = signing.sign_bytes(self.key, "manifest", body, self.path,
                                            self.expires_days)
        self.written = True

    def keep_valid(self, body):
        """An unchanged manifest is signed again only when its signature fails the check
        (another key, other bytes, expired, damaged or missing)."""
        self.signature, self.written = signing.ensure_signed(self.key, "manifest", body,
                                                             self.path, self.expires_days)


def write_manifests(feed, body, progress, signer=None):
    """manifest.json.gz, then manifest.json, both with the same Last-Modified, so that the
    launcher's freshness proof of the compressed copy holds; with a signer, the signature
    of the live bytes. Returns False when the live manifest already has this content (its
    validators are then left alone)."""
    plain = Path(feed) / MANIFEST
    packed_path = Path(feed) / COMPRESSED_MANIFEST
    packed = gzip.compress(body, compresslevel=9, mtime=0)
    if plain.exists() and plain.read_bytes() == body:
        stamp = int(plain.stat().st_mtime)
        fresh = packed_path.exists() and int(packed_path.stat().st_mtime) == stamp and \
            gzip.decompress(packed_path.read_bytes()) == body
        if not fresh and len(packed) <= rules.LARGEST_COMPRESSED_MANIFEST:
            write_atomic(packed_path, packed, stamp)
        if signer is not None:
            signer.keep_valid(body)
        return False
    stamp = publication_time(plain)
    if len(packed) <= rules.LARGEST_COMPRESSED_MANIFEST:
        write_atomic(packed_path, packed, stamp)
    else:
        progress.note("the compressed manifest would hold %d bytes, over the launcher's %d: "
                      "launchers will fetch the plain one" % (
                          len(packed), rules.LARGEST_COMPRESSED_MANIFEST))
        packed_path.unlink(missing_ok=True)
    if signer is not None:
        # The signature goes live first, just before the manifest it covers: a launcher
        # that has the new manifest finds its signature already there. The reverse
        # mismatch (old manifest, new .sig) lasts one rename, or until a publish killed
        # in between is run again, and reads as a failed check that a retry passes.
        signer.sign(body)
    write_atomic(plain, body, stamp)
    return True


def record_history(feed, body):
    entries = history_entries(feed)
    number = int(entries[-1].name[:-5]) + 1 if entries else 1
    write_atomic(Path(feed) / HISTORY / ("%06d.json" % number), body)


def publish(client, feed, version, executable=None, base=None, jobs=1,
            delta_min_size=DEFAULT_DELTA_MIN_SIZE, compression="zlib", level=DEFAULT_LEVEL,
            excludes=(), progress=None, delta_level=DEFAULT_DELTA_LEVEL, key=None,
            expires_days=signing.DEFAULT_EXPIRES_DAYS):
    """Publishes CLIENT into FEED, signing the manifest with KEY (a private key of
    signing.load_private_key) when given. Raises Refused for input the launcher would
    refuse (nothing is written then) and FeedError when the work cannot be done."""
    problem = rules.version_problem(version)
    if problem:
        raise Refused("the version %r %s" % (version, problem))
    executable = executable or rules.DEFAULT_EXECUTABLE
    problem = rules.executable_problem(executable)
    if problem:
        raise Refused("--executable %s %s" % (executable, problem))
    if compression not in blobs.COMPRESSIONS or not 1 <= level <= 9 or \
            not 1 <= delta_level <= 9 or jobs < 1:
        raise FeedError("compression must be one of %s, level 1 to 9, jobs at least 1" %
                        ", ".join(blobs.COMPRESSIONS))
    if base is not None and not (Path(base) / "element").is_dir():
        raise Refused("the base %s has no element folder" % base)

    files = scan_client(client, list(excludes), progress)
    check_client(files, executable, base is not None, progress)
    feed = Path(feed)
    feed.mkdir(parents=True, exist_ok=True)
    outcome = Outcome(version=version, files=len(files), bytes=sum(f.size for f in files))
    with FeedLock(feed):
        workdir = clear_work_folder(feed)
        current, earlier = read_published(feed)
        known = {}
        for published in earlier + ([current] if current else []):
            for item in published.files:
                known[item.sha256] = item.compressed_size
        previous = {f.path: f for f in current.files} if current else {}
        publisher = Publisher(feed, workdir, BlobStore(feed, known), previous, compression,
                              level, progress)

        progress.begin("hashing and storing blobs", len(files))
        order = sorted(files, key=lambda f: -f.size)  # the largest first keeps jobs busy
        listed = _run_parallel(jobs, [publisher.file_task(f) for f in order])
        progress.end()
        entries_by_path = {entry.path: entry for entry in listed}
        entries = [entries_by_path[f.path] for f in files]
        for folder in {(feed / blob_path(d)).parent for d, _ in publisher.new_blobs}:
            fsync_folder(folder)
        outcome.new_blobs = len(publisher.new_blobs)
        outcome.new_blob_bytes = sum(size for _, size in publisher.new_blobs)
        outcome.reused_blobs = len({e.sha256 for e in entries
                                    if e.size <= rules.LARGEST_BLOB_FILE}) - outcome.new_blobs

        descriptor, delta_entries = None, []
        if base is not None:
            descriptor, delta_entries = build_delta(feed, files, entries_by_path, base,
                                                    delta_min_size, jobs, workdir, delta_level,
                                                    progress)
            outcome.delta_entries = {e["path"]: e["operation"] for e in delta_entries}
            outcome.delta_location = descriptor.url if descriptor else ""

        body = manifest.document_bytes(version, executable, entries, descriptor)
        if len(body) > rules.LARGEST_PLAIN_MANIFEST:
            raise Refused("the manifest would hold %d bytes; the launcher reads at most %d" % (
                len(body), rules.LARGEST_PLAIN_MANIFEST))
        # The document must read back as the launcher reads it before it goes live.
        written = manifest.parse(body)
        problem = delta.coverage_problem(written, delta_entries) if delta_entries else None
        if problem:
            raise FeedError("internal check failed: " + problem)
        outcome.key = written.key
        signer = ManifestSigner(feed, key, expires_days) if key is not None else None
        outcome.changed = write_manifests(feed, body, progress, signer)
        if signer is not None:
            outcome.signature, outcome.signed = signer.signature, signer.written
        elif outcome.changed and (feed / MANIFEST_SIGNATURE).exists():
            progress.note("%s now names other bytes than the manifest: publish with --key "
                          "or run resign" % MANIFEST_SIGNATURE)
        if outcome.changed:
            record_history(feed, body)
    return outcome


def resign(feed, key, expires_days=signing.DEFAULT_EXPIRES_DAYS):
    """A new sequence and expiry for the live manifest's signature; the manifest stays as
    it is. Takes the feed's lock so that it never signs a manifest being replaced."""
    plain = Path(feed) / MANIFEST
    if not plain.is_file():
        raise FeedError("there is no %s in %s: publish first" % (MANIFEST, feed))
    with FeedLock(feed):
        return signing.sign_file(key, "manifest", plain, expires_days)


def summary(outcome):
    lines = ["%s version %s: %d files, %s; %d new blobs (%s stored), %d already present" % (
        "published" if outcome.changed else "unchanged, already live:", outcome.version,
        outcome.files, size_text(outcome.bytes), outcome.new_blobs,
        size_text(outcome.new_blob_bytes), outcome.reused_blobs)]
    if outcome.delta_entries:
        kinds = list(outcome.delta_entries.values())
        lines.append("delta package upd/%s: %d append, %d full" % (
            outcome.delta_location, kinds.count("append"), kinds.count("full")))
    lines.append("manifest key %s" % outcome.key)
    signature = outcome.signature
    if signature is not None:
        lines.append("%s: key %s, sequence %d, expires %s%s" % (
            MANIFEST_SIGNATURE, signature.key, signature.sequence, signature.expires,
            "" if outcome.signed else " (valid, kept)"))
    return "\n".join(lines)
