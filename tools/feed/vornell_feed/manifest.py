"""The update manifest: the document the tool writes, and its reading as the launcher
reads it (same order of checks, same stage names in the messages)."""

import hashlib
import json
from dataclasses import dataclass, field

from . import rules, strictjson


class ManifestProblem(ValueError):
    def __init__(self, stage, message):
        super().__init__("%s: %s" % (stage, message))
        self.stage = stage


@dataclass
class ManifestFile:
    path: str
    sha256: str
    size: int
    compressed_size: int = 0


@dataclass
class DeltaDescriptor:
    url: str
    sha256: str
    size: int


@dataclass
class Manifest:
    version: str
    executable: str
    files: list = field(default_factory=list)  # without the guild icon lists
    delta: DeltaDescriptor = None
    key: str = ""


def entry_of(file):
    entry = {"path": file.path, "sha256": file.sha256, "size": file.size}
    if file.compressed_size:
        entry["compressedSize"] = file.compressed_size
    return entry


def document_bytes(version, executable, files, delta=None):
    """The published text: compact, one file per line, files in the given order."""
    head = {"version": version, "executable": executable}
    if delta is not None:
        head["delta"] = {"url": delta.url, "sha256": delta.sha256, "size": delta.size}
    opening = json.dumps(head, ensure_ascii=False, separators=(",", ":"))[:-1]
    lines = [json.dumps(entry_of(f), ensure_ascii=False, separators=(",", ":")) for f in files]
    return ('%s,"files":[\n%s\n]}\n' % (opening, ",\n".join(lines))).encode("utf-8")


def canonical_key(manifest):
    """The digest the launcher writes into its receipt for this manifest's content."""
    canonical = {
        "version": manifest.version,
        "executable": rules.normalize_path(manifest.executable),
        "files": [{"path": rules.normalize_path(f.path), "sha256": f.sha256, "size": f.size}
                  for f in manifest.files],
    }
    if manifest.delta:
        canonical["delta"] = {"url": manifest.delta.url, "sha256": manifest.delta.sha256,
                              "size": manifest.delta.size}
    return hashlib.sha256(strictjson.compact(canonical)).hexdigest()


def _size(entry, key, limit, optional):
    if key not in entry:
        if optional:
            return 0
        raise ManifestProblem("manifest_parse", "a file has no %r" % key)
    value = entry[key]
    if not strictjson.is_integer(value) or value < 0:
        raise ManifestProblem("manifest_parse", "%r is not a non-negative integer" % key)
    if value > limit:
        raise ManifestProblem("manifest_limit", "%r %d is over the limit %d" %
                              (key, value, limit))
    return value


def _text(value, what):
    if not isinstance(value, str):
        raise ManifestProblem("manifest_parse", "%s is not text" % what)
    return value


def parse(data):
    """Reads manifest bytes as the launcher does. Raises ManifestProblem."""
    if len(data) > rules.LARGEST_PLAIN_MANIFEST:
        raise ManifestProblem("manifest_http", "the document is over %d bytes" %
                              rules.LARGEST_PLAIN_MANIFEST)
    try:
        document = strictjson.loads(data)
    except strictjson.JsonProblem as problem:
        raise ManifestProblem("manifest_parse", str(problem)) from None
    files = document.get("files") if isinstance(document, dict) else None
    if not isinstance(files, list) or not 1 <= len(files) <= rules.MOST_MANIFEST_FILES:
        raise ManifestProblem("manifest_limit", "\"files\" must list 1 to %d files" %
                              rules.MOST_MANIFEST_FILES)

    if "version" not in document:
        raise ManifestProblem("manifest_parse", "there is no \"version\"")
    version = document["version"]
    if strictjson.is_integer(version):
        version = str(version)
    problem = rules.version_problem(version)
    if problem:
        raise ManifestProblem("manifest_parse", "the version %s" % problem)

    executable = _text(document.get("executable", rules.DEFAULT_EXECUTABLE), "\"executable\"")
    problem = rules.executable_problem(executable)
    if problem:
        raise ManifestProblem("manifest_executable", "the executable %s" % problem)

    delta = None
    if "delta" in document:
        value = document["delta"]
        if not isinstance(value, dict) or set(value) != {"url", "sha256", "size"}:
            raise ManifestProblem("delta_descriptor",
                                  "\"delta\" must have exactly url, sha256 and size")
        url = _text(value["url"], "the delta url")
        digest = _text(value["sha256"], "the delta sha256")
        size = _size(value, "size", rules.LARGEST_DELTA_MANIFEST, False)
        if not rules.is_digest(digest) or size == 0:
            raise ManifestProblem("delta_descriptor",
                                  "the delta digest is not lower-case hex or its size is 0")
        problem = rules.delta_location_problem(url)
        if problem:
            raise ManifestProblem("delta_url", "the delta address %s" % problem)
        delta = DeltaDescriptor(url, digest, size)

    limit = rules.LARGEST_DELTA_FILE if delta else rules.LARGEST_BLOB_FILE
    seen = set()
    manifest = Manifest(version, executable, delta=delta)
    for entry in files:
        if not isinstance(entry, dict):
            raise ManifestProblem("manifest_parse", "a file entry is not an object")
        path = _text(entry.get("path"), "a \"path\"")
        problem = rules.relative_path_problem(path)
        if problem:
            raise ManifestProblem("unsafe_path", "%s %s" % (path, problem))
        normal = rules.normalize_path(path)
        identity = rules.path_identity(path)
        if len(normal) < 8 or not normal.startswith("element/") or identity in seen:
            raise ManifestProblem("manifest_path", "%s is outside element/ or listed twice" %
                                  path)
        seen.add(identity)
        digest = _text(entry.get("sha256"), "a \"sha256\"").lower()
        if not rules.is_digest(digest):
            raise ManifestProblem("manifest_sha", "%s has no valid sha256" % path)
        size = _size(entry, "size", limit, False)
        compressed = _size(entry, "compressedSize", rules.LARGEST_BLOB_FILE, True)
        if normal in rules.GUILD_ICON_LISTS:
            continue
        manifest.files.append(ManifestFile(path, digest, size, compressed))
    manifest.key = canonical_key(manifest)
    return manifest
