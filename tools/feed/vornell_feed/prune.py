"""prune: removes blobs, delta manifests and payloads that no recent manifest names.

The live manifest and the last N published ones (from the history the publisher keeps)
are read; whatever they name, directly or through their delta manifests, stays. Anything
that cannot be read safely stops the prune rather than guessing.
"""

import posixpath
import re
from pathlib import Path

from . import delta, manifest
from .errors import FeedError
from .fsutil import (MANIFEST, PAYLOAD_FOLDER, UPDATE_FOLDER, FeedLock, blob_path,
                     clear_work_folder)
from .publish import history_entries

BLOB_NAME = re.compile(r"([0-9a-f]{2})/\1[0-9a-f]{62}\.dat")
DELTA_NAME = re.compile(r"delta/[0-9a-f]{64}\.json")
PAYLOAD_NAME = re.compile(r"delta/%s/[0-9a-f]{64}\.zlib" % PAYLOAD_FOLDER)


def named_by(feed, document):
    """The feed paths (relative to the update folder) one manifest needs."""
    needed = {blob_path(f.sha256)[len(UPDATE_FOLDER) + 1:] for f in document.files}
    if document.delta is None:
        return needed
    location = document.delta.url
    if location.startswith(("http://", "https://")):
        return needed  # served elsewhere: nothing of this feed to keep for it
    needed.add(location)
    path = Path(feed) / UPDATE_FOLDER / location
    try:
        entries = delta.parse(path.read_bytes(), document.delta.sha256)
    except (OSError, delta.DeltaProblem) as error:
        raise FeedError("cannot read the delta manifest %s (%s): nothing was pruned" % (
            path, error)) from None
    folder = posixpath.dirname(location)
    needed.update(posixpath.join(folder, e["payload"]["path"]) for e in entries)
    return needed


def prune(feed, keep, dry_run=False, progress=None):
    """Returns (removed paths, bytes freed, history entries dropped)."""
    if keep < 1:
        raise FeedError("--keep must be at least 1")
    feed = Path(feed)
    live = feed / MANIFEST
    if not live.exists():
        raise FeedError("%s has no published manifest: nothing to prune against" % feed)
    with FeedLock(feed):
        if not dry_run:
            clear_work_folder(feed)
        try:
            documents = [manifest.parse(live.read_bytes())]
        except manifest.ManifestProblem as problem:
            raise FeedError("the live manifest is unreadable (%s): nothing was pruned" %
                            problem) from None
        history = history_entries(feed)
        kept, dropped = history[-keep:], history[:-keep]
        for entry in kept:
            try:
                documents.append(manifest.parse(entry.read_bytes()))
            except manifest.ManifestProblem as problem:
                raise FeedError("the history entry %s is unreadable (%s): nothing was pruned"
                                % (entry, problem)) from None
        needed = set()
        for document in documents:
            needed |= named_by(feed, document)

        update = feed / UPDATE_FOLDER
        removed, freed = [], 0
        for path in sorted(update.rglob("*")):
            relative = path.relative_to(update).as_posix()
            if not path.is_file() or relative in needed:
                continue
            if BLOB_NAME.fullmatch(relative) or DELTA_NAME.fullmatch(relative) or \
                    PAYLOAD_NAME.fullmatch(relative):
                freed += path.stat().st_size
                removed.append(UPDATE_FOLDER + "/" + relative)
                if not dry_run:
                    path.unlink()
        if not dry_run:
            for entry in dropped:
                entry.unlink()
    return removed, freed, len(dropped)
