"""The delta package: how a large file changed since the base client, the delta manifest
the tool writes, and its reading with the launcher's rules.

An archive that grows keeps its bytes and gains a tail; only its header field at offset 4
(the archive's total size) changes in place. Such a file becomes an "append" entry (the
base's digest, the 4 changed bytes, the tail as a zlib payload); any other change of a
large file becomes a "full" entry whose payload is the whole file.
"""

import hashlib
import json
from dataclasses import dataclass

from . import rules, strictjson
from .fsutil import BLOCK, payload_path

FULL_BASE_NULL_MEANS = ("the file may be absent or hold anything before the update; the "
                        "payload is its whole new content")


@dataclass
class Change:
    """How a file of the new client relates to the same path in the base client."""
    kind: str  # "same", "append" or "other"
    base_sha256: str = ""
    base_size: int = 0
    before: bytes = b""  # base bytes 4..7 when the header field changed
    after: bytes = b""


def compare(base_path, new_path, progress):
    """Reads the base file whole and the new one as far as the base goes. Returns the
    Change and the SHA-256 state of the new file's prefix, for the tail to continue."""
    digest, prefix = hashlib.sha256(), hashlib.sha256()
    differing = set()
    size = 0
    with open(base_path, "rb") as base, open(new_path, "rb") as new:
        while True:
            old_block = base.read(BLOCK)
            if not old_block:
                break
            digest.update(old_block)
            new_block = new.read(len(old_block))
            prefix.update(new_block)
            progress.add(read=len(old_block) + len(new_block))
            if new_block != old_block:
                differing.update(_differences(old_block, new_block, size))
            size += len(old_block)
        longer = bool(new.read(1))
    change = Change("other", digest.hexdigest(), size)
    if not differing:
        change.kind = "append" if longer else "same"
    elif differing <= {4, 5, 6, 7} and size >= rules.SMALLEST_PATCHED_BASE:
        change.kind = "append"
        with open(base_path, "rb") as base, open(new_path, "rb") as new:
            base.seek(4)
            new.seek(4)
            change.before, change.after = base.read(4), new.read(4)
    return change, prefix


def _differences(old_block, new_block, offset):
    """The offsets a header could explain ({4..7} at most), or {-1} for a difference no
    header explains (a changed byte elsewhere, or a new file shorter than the base)."""
    if len(new_block) == len(old_block) and offset == 0 and len(old_block) >= 8 and \
            old_block[:4] == new_block[:4] and old_block[8:] == new_block[8:]:
        return {i for i in range(4, 8) if old_block[i] != new_block[i]}
    return {-1}


def digest_object(sha256, size):
    return {"sha256": sha256, "bytes": size}


def payload_object(packed_sha, packed_size, raw_sha, raw_size):
    return {"path": payload_path(packed_sha), "compression": "zlib",
            "compressed": digest_object(packed_sha, packed_size),
            "raw": digest_object(raw_sha, raw_size)}


def append_entry(path, change, target_sha, target_size, payload):
    header = None
    if change.before != change.after:
        header = {"offset": rules.PATCH_HEADER_OFFSET, "before_hex": change.before.hex(),
                  "after_hex": change.after.hex()}
    return {"path": path, "operation": "append",
            "base": digest_object(change.base_sha256, change.base_size),
            "target": digest_object(target_sha, target_size),
            "patch_header": header, "payload": payload}


def full_entry(path, target_sha, target_size, payload):
    return {"path": path, "operation": "full", "base": None,
            "target": digest_object(target_sha, target_size),
            "patch_header": None, "payload": payload}


def document_bytes(entries, source_name):
    """The delta manifest text; source_package names the base it starts from."""
    profile = [{"path": e["path"], "sha256": e["base"]["sha256"], "bytes": e["base"]["bytes"]}
               for e in entries if e["operation"] == "append"]
    source = {"path": source_name,
              "sha256": hashlib.sha256(strictjson.compact(profile)).hexdigest()}
    document = {"schema": rules.DELTA_SCHEMA, "source_package": source,
                "full_base_null_means": FULL_BASE_NULL_MEANS, "files": entries,
                "required_base_profile": profile}
    return (json.dumps(document, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def limits_problem(entries):
    """The package-wide limits of the launcher, or None when the entries fit."""
    if len(entries) > rules.MOST_DELTA_ENTRIES:
        return "%d entries; a package holds at most %d" % (len(entries),
                                                           rules.MOST_DELTA_ENTRIES)
    payloads = {e["payload"]["path"]: e["payload"] for e in entries}
    for kind in ("compressed", "raw"):
        total = sum(p[kind]["bytes"] for p in payloads.values())
        if total > rules.LARGEST_PAYLOAD_TOTAL:
            return "the payloads hold %d %s bytes; a package holds at most %d" % (
                total, kind, rules.LARGEST_PAYLOAD_TOTAL)
    total = sum(e["target"]["bytes"] for e in entries)
    if total > rules.LARGEST_TARGET_TOTAL:
        return "the covered files hold %d bytes; a package covers at most %d" % (
            total, rules.LARGEST_TARGET_TOTAL)
    return None


def fit(entries, required):
    """The entries a package can hold: every required one (files only a delta can deliver)
    and as many others as the limits allow, appends and small payloads first; the others
    reach players as blobs. Returns (kept, left out), or raises ValueError."""
    kept = [e for e in entries if e["path"] in required]
    problem = limits_problem(kept)
    if problem:
        raise ValueError(problem)
    left_out = []
    optional = sorted((e for e in entries if e["path"] not in required),
                      key=lambda e: (e["operation"] == "full", e["payload"]["raw"]["bytes"]))
    for entry in optional:
        if limits_problem(kept + [entry]):
            left_out.append(entry)
        else:
            kept.append(entry)
    kept.sort(key=lambda e: e["path"].encode("utf-8"))
    return kept, left_out


class DeltaProblem(ValueError):
    def __init__(self, stage, message):
        super().__init__("%s: %s" % (stage, message))
        self.stage = stage


def _keys(value, keys, what):
    if not isinstance(value, dict) or set(value) != set(keys):
        raise DeltaProblem("delta_schema", "%s must have exactly the keys %s" % (
            what, ", ".join(keys)))


def _text(value, what, limit=rules.LONGEST_DELTA_TEXT):
    if not isinstance(value, str) or len(value.encode("utf-8")) > limit or "\0" in value:
        raise DeltaProblem("delta_schema", "%s must be text of at most %d bytes" % (what, limit))
    return value


def _size(value, limit, what):
    if not strictjson.is_integer(value) or not 0 <= value <= limit:
        raise DeltaProblem("delta_schema", "%s must be an integer 0 to %d" % (what, limit))
    return value


def _digest(value, what, limit=rules.LARGEST_DELTA_FILE):
    _keys(value, ("sha256", "bytes"), what)
    if not rules.is_digest(_text(value["sha256"], what, 64)):
        raise DeltaProblem("delta_schema", "%s has no lower-case sha256" % what)
    return value["sha256"], _size(value["bytes"], limit, what + " bytes")


def parse(data, expected_sha256):
    """Reads a delta manifest as the launcher does; returns its entries. Raises
    DeltaProblem."""
    if len(data) > rules.LARGEST_DELTA_MANIFEST or not rules.is_digest(expected_sha256) or \
            hashlib.sha256(data).hexdigest() != expected_sha256:
        raise DeltaProblem("delta_manifest_integrity", "size or digest does not match")
    try:
        root = strictjson.loads(data)
    except strictjson.JsonProblem as problem:
        raise DeltaProblem("delta_schema", str(problem)) from None
    _keys(root, ("schema", "source_package", "full_base_null_means", "files",
                 "required_base_profile"), "the document")
    if _text(root["schema"], "schema") != rules.DELTA_SCHEMA:
        raise DeltaProblem("delta_schema", "the schema is not %s" % rules.DELTA_SCHEMA)
    _keys(root["source_package"], ("path", "sha256"), "source_package")
    if not _text(root["source_package"]["path"], "source_package path") or \
            not rules.is_digest(_text(root["source_package"]["sha256"], "source sha256", 64)):
        raise DeltaProblem("delta_schema", "source_package needs a path and a digest")
    if not _text(root["full_base_null_means"], "full_base_null_means"):
        raise DeltaProblem("delta_schema", "full_base_null_means is empty")
    files = root["files"]
    if not isinstance(files, list) or not 1 <= len(files) <= rules.MOST_DELTA_ENTRIES:
        raise DeltaProblem("delta_schema", "\"files\" must hold 1 to %d entries" %
                           rules.MOST_DELTA_ENTRIES)

    seen, payloads, bases, target_total = set(), {}, {}, 0
    for entry in files:
        _keys(entry, ("path", "operation", "base", "target", "patch_header", "payload"),
              "an entry")
        path = _text(entry["path"], "an entry path")
        problem = rules.delta_path_problem(path)
        if problem:
            raise DeltaProblem("delta_path", "%s %s" % (path, problem))
        if path.lower() in seen:
            raise DeltaProblem("delta_collision", "%s is listed twice" % path)
        seen.add(path.lower())
        operation = _text(entry["operation"], "operation", 16)
        _, target_size = _digest(entry["target"], path + " target")
        target_total += target_size
        if target_total > rules.LARGEST_TARGET_TOTAL:
            raise DeltaProblem("delta_schema", "the targets hold more than 16 GiB")
        payload = entry["payload"]
        _keys(payload, ("path", "compression", "compressed", "raw"), path + " payload")
        if _text(payload["compression"], "compression") != "zlib":
            raise DeltaProblem("delta_schema", "%s payload is not zlib" % path)
        packed = _digest(payload["compressed"], path + " compressed", rules.LARGEST_PAYLOAD)
        raw = _digest(payload["raw"], path + " raw", rules.LARGEST_PAYLOAD)
        if _text(payload["path"], "payload path") != payload_path(packed[0]):
            raise DeltaProblem("delta_schema", "%s payload path is not named by its digest" %
                               path)
        if payloads.setdefault(payload["path"], (packed, raw)) != (packed, raw):
            raise DeltaProblem("delta_schema", "%s names a shared payload with other digests"
                               % path)
        header = entry["patch_header"]
        if operation == "append":
            base = _digest(entry["base"], path + " base")
            if target_size < base[1] or raw[1] != target_size - base[1]:
                raise DeltaProblem("delta_schema", "%s: the tail is not target minus base" %
                                   path)
            if header is not None:
                _keys(header, ("offset", "before_hex", "after_hex"), path + " patch_header")
                hexes = [_text(header[k], k, 8) for k in ("before_hex", "after_hex")]
                if header["offset"] != rules.PATCH_HEADER_OFFSET or \
                        not strictjson.is_integer(header["offset"]) or \
                        not all(len(h) == 8 and all(c in "0123456789abcdef" for c in h)
                                for h in hexes) or base[1] < rules.SMALLEST_PATCHED_BASE:
                    raise DeltaProblem("delta_schema", "%s has an invalid patch header" % path)
            bases[path] = base
        elif operation == "full":
            if entry["base"] is not None or header is not None or raw[1] != target_size:
                raise DeltaProblem("delta_schema", "%s: a full entry has no base or header "
                                   "and its payload is the whole file" % path)
        else:
            raise DeltaProblem("delta_schema", "%s has the operation %r" % (path, operation))

    for index, kind in ((0, "compressed"), (1, "raw")):
        if sum(p[index][1] for p in payloads.values()) > rules.LARGEST_PAYLOAD_TOTAL:
            raise DeltaProblem("delta_schema", "the %s payloads hold more than 1 GiB" % kind)
    profile = root["required_base_profile"]
    if not isinstance(profile, list) or len(profile) != len(bases):
        raise DeltaProblem("delta_schema", "required_base_profile must list each append base")
    listed = set()
    for element in profile:
        _keys(element, ("path", "sha256", "bytes"), "a profile element")
        path = _text(element["path"], "a profile path")
        digest = (_text(element["sha256"], "a profile sha256", 64),
                  _size(element["bytes"], rules.LARGEST_DELTA_FILE, "a profile size"))
        if path in listed or bases.get(path) != digest:
            raise DeltaProblem("delta_schema", "required_base_profile does not match the "
                               "append bases (%s)" % path)
        listed.add(path)
    return files


def coverage_problem(manifest, entries):
    """The launcher's coverage rule between the update manifest and the delta entries."""
    listed = {rules.path_identity(f.path): f for f in manifest.files}
    covered = set()
    for entry in entries:
        identity = rules.path_identity(entry["path"])
        file = listed.get(identity)
        target = entry["target"]
        if file is None or file.sha256 != target["sha256"] or file.size != target["bytes"] \
                or identity in covered:
            return "%s is not a manifest file with the entry's target" % entry["path"]
        covered.add(identity)
    for file in manifest.files:
        if file.size > rules.LARGEST_BLOB_FILE and rules.path_identity(file.path) not in covered:
            return "%s is over 512 MiB and not covered by the delta" % file.path
    return None
