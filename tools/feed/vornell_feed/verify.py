"""verify: reads a feed as the launcher would and lists what is wrong.

The feed is a folder (read as a static server would serve it: Last-Modified and a strong
ETag from each file's time and size) or the address of the served site, read over HTTP
exactly as launchers will see it, headers included.
"""

import email.utils
import gzip
import hashlib
import posixpath
import threading
import time
import urllib.error
import urllib.request
import zlib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from . import blobs, delta, manifest, rules, signing
from .fsutil import BLOCK, COMPRESSED_MANIFEST, MANIFEST, UPDATE_FOLDER, blob_path


class Missing(Exception):
    pass


class FolderSource:
    """The feed folder, with the validators nginx derives from a file."""

    def __init__(self, root):
        self.root = Path(root)

    def name(self, relative):
        return str(self.root / relative)

    def head(self, relative):
        try:
            info = (self.root / relative).stat()
        except FileNotFoundError:
            raise Missing(relative) from None
        stamp = int(info.st_mtime)
        return {"etag": '"%x-%x"' % (stamp, info.st_size),
                "last-modified": email.utils.formatdate(stamp, usegmt=True),
                "content-length": str(info.st_size)}

    def open(self, relative):
        try:
            return open(self.root / relative, "rb")
        except FileNotFoundError:
            raise Missing(relative) from None


class HttpSource:
    """The served site: HEAD and GET as the launcher sends them (no compression asked)."""

    def __init__(self, url):
        self.url = url if url.endswith("/") else url + "/"

    def name(self, relative):
        return self.url + relative

    def _request(self, relative, method):
        request = urllib.request.Request(self.url + relative, method=method,
                                         headers={"Accept-Encoding": "identity"})
        try:
            return urllib.request.urlopen(request, timeout=60)
        except urllib.error.HTTPError as error:
            if error.code == 404:
                raise Missing(relative) from None
            raise OSError("%s %s answered %d" % (method, self.url + relative,
                                                 error.code)) from None

    def head(self, relative):
        with self._request(relative, "HEAD") as answer:
            if answer.status != 200:
                raise OSError("HEAD %s answered %d" % (self.url + relative, answer.status))
            return {key.lower(): value for key, value in answer.headers.items()}

    def open(self, relative):
        answer = self._request(relative, "GET")
        if answer.status != 200:
            answer.close()
            raise OSError("GET %s answered %d" % (self.url + relative, answer.status))
        return answer


def source_of(place):
    if place.startswith(("http://", "https://")):
        return HttpSource(place)
    if not Path(place).is_dir():
        raise FileNotFoundError("%s is not a folder" % place)
    return FolderSource(place)


def read_limited(source, relative, limit):
    with source.open(relative) as stream:
        data = stream.read(limit + 1)
    if len(data) > limit:
        raise ValueError("%s is over %d bytes" % (relative, limit))
    return data


def is_strong_etag(text):
    return 2 <= len(text) <= 126 and text[0] == '"' and text[-1] == '"' and \
        all(33 <= ord(c) <= 126 and c != '"' for c in text[1:-1])


class Report:
    def __init__(self, progress):
        self.problems = []
        self.progress = progress
        self.lock = threading.Lock()

    def problem(self, text):
        with self.lock:
            self.problems.append(text)

    def note(self, text):
        self.progress.note(text)


def check_metadata(head, body, report):
    """What the launcher demands of the plain manifest's HEAD for its compressed copy."""
    etag = head.get("etag", "")
    modified = head.get("last-modified", "")
    encoding = head.get("content-encoding", "")
    if not is_strong_etag(etag):
        report.problem("manifest.json has no strong ETag (%r): launchers cannot use the "
                       "compressed copy" % etag)
    if not 1 <= len(modified) <= 128:
        report.problem("manifest.json has no Last-Modified: launchers cannot use the "
                       "compressed copy")
    if encoding not in ("", "identity"):
        report.problem("manifest.json is served with Content-Encoding %r: turn off on-the-fly "
                       "compression for the update folder" % encoding)
    if head.get("content-length") != str(len(body)):
        report.problem("manifest.json: Content-Length %r is not its %d bytes" % (
            head.get("content-length"), len(body)))


def check_compressed_copy(source, head, body, report):
    try:
        packed_head = source.head(COMPRESSED_MANIFEST)
    except Missing:
        report.note("no manifest.json.gz: launchers fetch the plain manifest")
        return
    try:
        packed = read_limited(source, COMPRESSED_MANIFEST, rules.LARGEST_COMPRESSED_MANIFEST)
        unpacked = gzip.decompress(packed)
    except (ValueError, OSError, EOFError, zlib.error) as error:
        report.problem("manifest.json.gz is unusable: %s" % error)
        return
    same_time = packed_head.get("last-modified") == head.get("last-modified")
    if unpacked != body and same_time:
        report.problem("manifest.json.gz holds another document under the same "
                       "Last-Modified: launchers may take it for the current manifest; "
                       "publish again")
    elif unpacked != body:
        report.problem("manifest.json.gz is stale (launchers ignore it and fetch the plain "
                       "manifest): publish again")
    elif not same_time:
        report.problem("manifest.json.gz has the right content but another Last-Modified: "
                       "launchers ignore it; publish again")


def check_blob(source, file, report, progress):
    relative = blob_path(file.sha256)
    try:
        with source.open(relative) as stream:
            counted = _Counted(stream, progress)
            blobs.check_blob(counted, file.sha256, file.size, file.compressed_size)
    except Missing:
        report.problem("%s: its blob %s is missing" % (file.path, relative))
    except blobs.BlobProblem as problem:
        report.problem("%s: its blob %s %s" % (file.path, relative, problem))
    progress.add(files=1)


class _Counted:
    def __init__(self, stream, progress):
        self.stream, self.progress = stream, progress

    def read(self, size):
        block = self.stream.read(size)
        self.progress.add(read=len(block))
        return block


def check_payload(source, relative, payload, report, progress):
    packed_digest, raw_digest = hashlib.sha256(), hashlib.sha256()
    decoder = zlib.decompressobj(15)
    packed = raw = 0
    expected_raw = payload["raw"]["bytes"]
    try:
        with source.open(relative) as stream:
            while True:
                block = stream.read(BLOCK)
                if not block:
                    break
                progress.add(read=len(block))
                packed += len(block)
                packed_digest.update(block)
                if decoder.eof:
                    raise ValueError("data follows the zlib stream")
                while block:
                    out = decoder.decompress(block, BLOCK)
                    raw += len(out)
                    raw_digest.update(out)
                    if raw > expected_raw:
                        raise ValueError("inflates to more than %d bytes" % expected_raw)
                    block = decoder.unconsumed_tail
                if decoder.unused_data:
                    raise ValueError("data follows the zlib stream")
    except Missing:
        report.problem("delta payload %s is missing" % relative)
        return
    except (ValueError, zlib.error) as error:
        report.problem("delta payload %s: %s" % (relative, error))
        return
    if (packed, packed_digest.hexdigest()) != (payload["compressed"]["bytes"],
                                               payload["compressed"]["sha256"]):
        report.problem("delta payload %s does not match its compressed digest" % relative)
    elif not decoder.eof or (raw, raw_digest.hexdigest()) != (expected_raw,
                                                              payload["raw"]["sha256"]):
        report.problem("delta payload %s does not inflate to its raw digest" % relative)
    progress.add(files=1)


def check_delta(source, document, report, progress, jobs):
    descriptor = document.delta
    if descriptor is None:
        for file in document.files:
            if file.size > rules.LARGEST_BLOB_FILE:
                report.problem("%s is over 512 MiB but the manifest has no delta package" %
                               file.path)
        return
    location = descriptor.url
    if location.startswith(("http://", "https://")):
        report.note("the delta manifest has an absolute address (%s); it is checked only "
                    "when verify is given that site" % location)
        if not isinstance(source, HttpSource) or not location.startswith(source.url):
            return
        location = location[len(source.url):]
    else:
        location = UPDATE_FOLDER + "/" + location
    try:
        text = read_limited(source, location, descriptor.size)
    except Missing:
        report.problem("the delta manifest %s is missing" % location)
        return
    except ValueError:
        report.problem("the delta manifest %s is longer than its descriptor says" % location)
        return
    if len(text) != descriptor.size or hashlib.sha256(text).hexdigest() != descriptor.sha256:
        report.problem("delta_index_sha: the delta manifest %s does not match its descriptor"
                       % location)
        return
    try:
        entries = delta.parse(text, descriptor.sha256)
    except delta.DeltaProblem as problem:
        report.problem("delta manifest %s: %s" % (location, problem))
        return
    problem = delta.coverage_problem(document, entries)
    if problem:
        report.problem("delta_coverage: %s" % problem)
    folder = posixpath.dirname(location)
    payloads = {e["payload"]["path"]: e["payload"] for e in entries}
    progress.begin("checking delta payloads", len(payloads))
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for future in [pool.submit(check_payload, source, folder + "/" + path, payload,
                                   report, progress) for path, payload in payloads.items()]:
            future.result()
    progress.end()


def check_signature_file(source, relative, data, kind, trusted, report):
    """The document's .sig as launchers check it. trusted maps key ids to public keys;
    without it everything but the signature itself is checked."""
    relative += signing.SUFFIX
    name = source.name(relative)
    try:
        text = read_limited(source, relative, signing.LARGEST_SIGNATURE)
    except Missing:
        if trusted is not None:
            report.problem("there is no %s: the %s is not signed" % (name, kind))
        else:
            report.note("no %s: the %s is not signed" % (name, kind))
        return
    except ValueError:
        report.problem("%s is over %d bytes" % (name, signing.LARGEST_SIGNATURE))
        return
    except OSError as error:
        report.problem("%s: %s" % (name, error))
        return
    problems = signing.check_signature(text, data, kind, trusted, time.time())
    for problem in problems:
        report.problem("%s: %s" % (name, problem))
    if trusted is None:
        report.note("%s: the signature itself was not checked (no --trust given)" % name)
    elif not problems:
        signature = signing.read_signature(text)
        report.note("%s: signed by the key %s, sequence %d, expires %s" % (
            name, signature.key, signature.sequence, signature.expires))


def verify_release(path, trusted, progress):
    """The problems of a release descriptor's signature."""
    path = Path(path)
    source = FolderSource(path.parent)
    report = Report(progress)
    try:
        data = read_limited(source, path.name, rules.LARGEST_DESCRIPTOR)
    except Missing:
        return ["there is no %s" % path]
    except (ValueError, OSError) as error:
        return ["%s: %s" % (path, error)]
    check_signature_file(source, path.name, data, "release", trusted, report)
    return report.problems


def verify(place, progress, jobs=1, trusted=None):
    """Returns (problems, the manifest when it could be read). trusted: the key ids and
    public keys the manifest's signature must be made with (None: not checked)."""
    source = source_of(place)
    report = Report(progress)
    try:
        head = source.head(MANIFEST)
        body = read_limited(source, MANIFEST, rules.LARGEST_PLAIN_MANIFEST)
        document = manifest.parse(body)
    except Missing:
        return ["there is no %s in %s" % (MANIFEST, place)], None
    except (ValueError, OSError) as error:
        return ["%s: %s" % (source.name(MANIFEST), error)], None
    check_metadata(head, body, report)
    check_compressed_copy(source, head, body, report)
    check_signature_file(source, MANIFEST, body, "manifest", trusted, report)

    listed = [f for f in document.files if f.size <= rules.LARGEST_BLOB_FILE]
    progress.begin("checking blobs", len(listed))
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for future in [pool.submit(check_blob, source, f, report, progress) for f in listed]:
            future.result()
    progress.end()
    check_delta(source, document, report, progress, jobs)
    return report.problems, document
