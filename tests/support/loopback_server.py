#!/usr/bin/env python3
"""Scripted loopback HTTP server shared by the network tests.

    loopback_server.py --root DIR --port-file FILE [--port 0]

Listens on 127.0.0.1 only (port 0 picks a free one). Once listening it writes the
port, in decimal followed by a newline, to FILE (atomically) and removes FILE on
SIGTERM. HTTP/1.1 with keep-alive; every normal answer carries Content-Length.

Static serving (when no script rule answers): files under DIR, GET and HEAD only
(other methods: 405). Headers: Content-Length, ETag "<hex size>-<hex mtime_ns>",
Last-Modified, Content-Type application/json for *.json and
application/octet-stream otherwise. Missing files, directories and paths leaving
DIR (".." segments, symlinks pointing out) give 404. The query is ignored for the
lookup; the path is percent-decoded.

Control channel: never recorded, JSON answers, always "Connection: close".
  GET  /__control/ping              -> 200 {"ok": true, "port": N}
  POST /__control/script            body {"rules": [RULE, ...], "replace_prefix": P}
        appends the rules; with replace_prefix (optional) first drops every rule
        whose path starts with P     -> 200 {"ok": true}
  GET  /__control/requests?prefix=P -> 200 [RECORD, ...] whose path starts with P
                                        (all without P), in seq order
  POST /__control/reset?prefix=P    drops rules and records under P (all without P)
                                     -> 200 {"ok": true}
  Bad JSON or a malformed rule      -> 400 {"ok": false, "error": "..."}
  Any other /__control/ request     -> 404 {"ok": false, "error": "..."}

RULE {"path": "/exact/path", "method": "GET"|"HEAD"|"POST"|...|"*", "answers": [...]}
  "path" is compared exactly with the request path without its query (no
  percent-decoding); "method" defaults to "*". A request takes the next answer of
  the first matching rule with answers left; when all matching rules are used up
  it falls back to static serving.

ANSWER (all fields optional; unknown fields are refused)
  repeat           times this answer is used before the next one (default 1)
  status, reason   default 200 and the standard reason phrase
  headers          {name: value} sent as given (do not put Content-Length here)
  body_text | body_b64 | body_file | body_size
                   at most one: UTF-8 text, base64, a file relative to DIR sent raw,
                   or n bytes of the pattern byte[i] = i % 251; none = empty body
  body_offset      with body_size: the pattern from this offset on (a range of it)
  content_length   int or string sent verbatim as Content-Length; null or false
                   omits the header (the body is then delimited by closing)
  truncate_after   announce the full length but send only the first n body bytes
  extra_bytes      after the body send n more pattern bytes (continuing the
                   pattern at offset len(body))
  delay_ms         sleep before the status line
  body_delay_ms    sleep before every body write but the first
  chunk_size       bytes per body write (default 65536)
  no_body_for_head default true: HEAD gets the headers (Content-Length of the
                   would-be body) and no body; false sends the body as well
  204 and 304 never carry a body and get no Content-Length unless content_length
  is given. An answer whose framing is off (content_length different from the
  real length or omitted, truncate_after, extra_bytes, a delay, a body to HEAD)
  closes the connection afterwards. A missing body_file answers 500.

RECORD {"seq": N, "method": "GET", "path": "/p?q", "headers": {lower-case name:
  value} (last wins), "body_b64": "...", "time": unix seconds}
  Stored before the answer is sent; seq increases and is never reused. Request
  bodies are read by Content-Length (chunked request bodies are refused: 501).
"""

import argparse
import base64
import binascii
import email.utils
import http
import json
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

CONTROL = "/__control/"
DEFAULT_CHUNK = 65536
REAL_LENGTH = object()  # _write default: announce the actual body length
_PERIOD = bytes(range(251))

_INT_FIELDS = ("repeat", "status", "body_size", "body_offset", "truncate_after", "extra_bytes",
               "chunk_size")
_NUMBER_FIELDS = ("delay_ms", "body_delay_ms")
_BODY_FIELDS = ("body_text", "body_b64", "body_file", "body_size")
_ANSWER_FIELDS = set(_INT_FIELDS + _NUMBER_FIELDS + _BODY_FIELDS) | {
    "reason", "headers", "content_length", "no_body_for_head"}


def pattern(offset, n):
    """n bytes of the test pattern (byte i = i % 251) starting at offset."""
    start = offset % len(_PERIOD)
    return (_PERIOD * ((start + n) // len(_PERIOD) + 1))[start:start + n]


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Unknown"


def _check_answer(a):
    if not isinstance(a, dict):
        raise ValueError("answer must be an object")
    unknown = set(a) - _ANSWER_FIELDS
    if unknown:
        raise ValueError("unknown answer fields: %s" % ", ".join(sorted(unknown)))
    for key in _INT_FIELDS:
        if key in a and (not _is_int(a[key]) or a[key] < 0):
            raise ValueError("%s must be a non-negative integer" % key)
    for key in _NUMBER_FIELDS:
        if key in a and (isinstance(a[key], bool) or not isinstance(a[key], (int, float))
                         or a[key] < 0):
            raise ValueError("%s must be a non-negative number" % key)
    if a.get("repeat", 1) < 1 or a.get("chunk_size", 1) < 1:
        raise ValueError("repeat and chunk_size must be at least 1")
    if sum(key in a for key in _BODY_FIELDS) > 1:
        raise ValueError("at most one of %s" % ", ".join(_BODY_FIELDS))
    for key in ("reason", "body_text", "body_b64", "body_file"):
        if key in a and not isinstance(a[key], str):
            raise ValueError("%s must be a string" % key)
    if "body_b64" in a:
        try:
            base64.b64decode(a["body_b64"], validate=True)
        except binascii.Error as e:
            raise ValueError("body_b64: %s" % e) from None
    headers = a.get("headers", {})
    if not isinstance(headers, dict) or not all(
            isinstance(v, str) or _is_int(v) for v in headers.values()):
        raise ValueError("headers must map names to strings")
    cl = a.get("content_length", 0)
    if not (_is_int(cl) or isinstance(cl, str) or cl is None or cl is False):
        raise ValueError("content_length must be an int, a string, null or false")
    if "no_body_for_head" in a and not isinstance(a["no_body_for_head"], bool):
        raise ValueError("no_body_for_head must be a boolean")
    return a


def parse_script(doc):
    """Validates a /__control/script body; returns (rules, replace_prefix)."""
    if not isinstance(doc, dict) or not isinstance(doc.get("rules"), list):
        raise ValueError('body must be {"rules": [...]}')
    prefix = doc.get("replace_prefix")
    if prefix is not None and not isinstance(prefix, str):
        raise ValueError("replace_prefix must be a string")
    rules = []
    for rule in doc["rules"]:
        if not isinstance(rule, dict) or set(rule) - {"path", "method", "answers"}:
            raise ValueError("rule must be an object with path, method and answers")
        path, method = rule.get("path"), rule.get("method", "*")
        if not isinstance(path, str) or not path.startswith("/"):
            raise ValueError("rule path must start with /")
        if not isinstance(method, str) or not method:
            raise ValueError("rule method must be a non-empty string")
        answers = rule.get("answers")
        if not isinstance(answers, list):
            raise ValueError("rule answers must be a list")
        # Each entry is [answer, uses left]; consumed in place under the lock.
        entries = [[_check_answer(a), a.get("repeat", 1)] for a in answers]
        rules.append({"path": path, "method": method.upper(), "answers": entries})
    return rules, prefix


class State:
    """Script and request records, shared by all handler threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []
        self.records = []
        self.seq = 0

    def add_rules(self, rules, replace_prefix=None):
        with self.lock:
            if replace_prefix is not None:
                self.rules = [r for r in self.rules if not r["path"].startswith(replace_prefix)]
            self.rules.extend(rules)

    def take_answer(self, method, path):
        with self.lock:
            for rule in self.rules:
                if rule["path"] == path and rule["method"] in ("*", method) and rule["answers"]:
                    entry = rule["answers"][0]
                    entry[1] -= 1
                    if entry[1] == 0:
                        rule["answers"].pop(0)
                    return entry[0]
        return None

    def record(self, method, target, headers, body):
        with self.lock:
            self.seq += 1
            self.records.append({
                "seq": self.seq,
                "method": method,
                "path": target,
                "headers": {k.lower(): v for k, v in headers.items()},
                "body_b64": base64.b64encode(body).decode("ascii"),
                "time": time.time(),
            })

    def requests(self, prefix=""):
        with self.lock:
            return [r for r in self.records if r["path"].startswith(prefix)]

    def reset(self, prefix=""):
        with self.lock:
            self.rules = [r for r in self.rules if not r["path"].startswith(prefix)]
            self.records = [r for r in self.records if not r["path"].startswith(prefix)]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def log_error(self, fmt, *args):
        sys.stderr.write("loopback_server: %s\n" % (fmt % args))

    def handle_request(self):
        try:
            target = self.path
            if "://" in target.partition("?")[0]:  # absolute-form request target
                parts = urlsplit(target)
                target = (parts.path or "/") + ("?" + parts.query if parts.query else "")
            path, _, query = target.partition("?")
            body = self._read_body()
            if body is None:
                return
            if path.startswith(CONTROL):
                self._control(path[len(CONTROL):], query, body)
                return
            state = self.server.state
            state.record(self.command, target, self.headers, body)
            answer = state.take_answer(self.command, path)
            if answer is None:
                self._static(path)
            else:
                self._scripted(answer)
        except ConnectionError:
            # The client went away mid-answer; only this connection is lost.
            self.close_connection = True

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = handle_request

    def _read_body(self):
        if "Transfer-Encoding" in self.headers:
            self._text(501, "chunked request bodies are not supported\n", close=True)
            return None
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        if not length.strip().isdigit():
            self._text(400, "bad Content-Length\n", close=True)
            return None
        return self.rfile.read(int(length))

    def _write(self, status, headers, length, read, *, reason=None, send_body=True,
               content_length=REAL_LENGTH, truncate_after=None, extra_bytes=0,
               chunk_size=DEFAULT_CHUNK, body_delay=0.0, close=False):
        """Sends one answer; content_length None omits the header."""
        if content_length is REAL_LENGTH:
            content_length = str(length)
        lines = ["HTTP/1.1 %d %s" % (status, reason or _phrase(status))]
        lines += ["%s: %s" % (k, v) for k, v in headers]
        if content_length is not None:
            lines.append("Content-Length: " + content_length)
        close = close or self.close_connection  # also when the client asked for it
        if any(k.lower() == "connection" and "close" in str(v).lower() for k, v in headers):
            close = True
        elif close:
            lines.append("Connection: close")
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("utf-8"))
        if send_body:
            end = length if truncate_after is None else min(truncate_after, length)
            offset = 0
            while offset < end:
                if offset and body_delay:
                    time.sleep(body_delay)
                n = min(chunk_size, end - offset)
                self.wfile.write(read(offset, n))
                offset += n
            if extra_bytes:
                self.wfile.write(pattern(length, extra_bytes))
        self.wfile.flush()
        if close:
            self.close_connection = True

    def _text(self, status, text, close=False, content_type="text/plain"):
        data = text.encode("utf-8")
        self._write(status, [("Content-Type", content_type)], len(data),
                    lambda o, n: data[o:o + n], send_body=self.command != "HEAD", close=close)

    def _json(self, status, doc):
        self._text(status, json.dumps(doc), close=True, content_type="application/json")

    def _under_root(self, rel):
        """Absolute path of rel inside the root, or None when it would leave it."""
        if ".." in rel.replace("\\", "/").split("/") or "\0" in rel:
            return None
        root = self.server.root
        full = os.path.realpath(os.path.join(root, rel.lstrip("/")))
        return full if os.path.commonpath([root, full]) == root else None

    def _open(self, rel):
        full = self._under_root(rel)
        if full is None or not os.path.isfile(full):
            return None
        return os.open(full, os.O_RDONLY)

    def _static(self, path):
        if self.command not in ("GET", "HEAD"):
            self._write(405, [("Allow", "GET, HEAD")], 0, None)
            return
        fd = self._open(unquote(path))
        if fd is None:
            self._text(404, "not found\n")
            return
        try:
            st = os.fstat(fd)
            headers = [
                ("Content-Type", "application/json" if path.endswith(".json")
                 else "application/octet-stream"),
                ("ETag", '"%x-%x"' % (st.st_size, st.st_mtime_ns)),
                ("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True)),
            ]
            self._write(200, headers, st.st_size, lambda o, n: os.pread(fd, n, o),
                        send_body=self.command != "HEAD")
        finally:
            os.close(fd)

    def _scripted(self, a):
        status = a.get("status", 200)
        fd = None
        if "body_file" in a:
            fd = self._open(a["body_file"])
            if fd is None:
                self.log_error("body_file %r not found under root", a["body_file"])
                self._text(500, "body_file not found: %s\n" % a["body_file"])
                return
            length, read = os.fstat(fd).st_size, lambda o, n: os.pread(fd, n, o)
        elif "body_size" in a:
            first = a.get("body_offset", 0)
            length, read = a["body_size"], lambda o, n: pattern(first + o, n)
        else:
            data = (a["body_text"].encode("utf-8") if "body_text" in a
                    else base64.b64decode(a.get("body_b64", "")))
            length, read = len(data), lambda o, n: data[o:o + n]
        try:
            self._send_scripted(a, status, length, read)
        finally:
            if fd is not None:
                os.close(fd)

    def _send_scripted(self, a, status, length, read):
        no_body = status in (204, 304)
        if no_body:
            length = 0
        if "content_length" in a:
            cl = a["content_length"]
            cl = None if cl is None or cl is False else str(cl)
        else:
            cl = None if no_body else str(length)
        send_body = not no_body and (self.command != "HEAD" or not a.get("no_body_for_head", True))
        close = (("content_length" in a and cl != str(length))
                 or "truncate_after" in a or a.get("extra_bytes", 0) > 0
                 or a.get("delay_ms", 0) > 0 or a.get("body_delay_ms", 0) > 0
                 or (send_body and self.command == "HEAD"))
        if a.get("delay_ms", 0) > 0:
            time.sleep(a["delay_ms"] / 1000.0)
        self._write(status, [(k, str(v)) for k, v in a.get("headers", {}).items()],
                    length, read, reason=a.get("reason"), send_body=send_body,
                    content_length=cl, truncate_after=a.get("truncate_after"),
                    extra_bytes=a.get("extra_bytes", 0),
                    chunk_size=a.get("chunk_size", DEFAULT_CHUNK),
                    body_delay=a.get("body_delay_ms", 0) / 1000.0, close=close)

    def _control(self, name, query, body):
        prefix = parse_qs(query).get("prefix", [""])[0]
        state = self.server.state
        try:
            if (self.command, name) == ("GET", "ping"):
                self._json(200, {"ok": True, "port": self.server.server_address[1]})
            elif (self.command, name) == ("GET", "requests"):
                self._json(200, state.requests(prefix))
            elif (self.command, name) == ("POST", "reset"):
                state.reset(prefix)
                self._json(200, {"ok": True})
            elif (self.command, name) == ("POST", "script"):
                state.add_rules(*parse_script(json.loads(body.decode("utf-8"))))
                self._json(200, {"ok": True})
            else:
                self._json(404, {"ok": False, "error": "unknown control request %s %s%s"
                                 % (self.command, CONTROL, name)})
        except ValueError as e:  # also bad JSON and bad UTF-8
            self._json(400, {"ok": False, "error": str(e)})


class LoopbackServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, port=0):
        self.root = os.path.realpath(root)
        self.state = State()
        super().__init__(("127.0.0.1", port), Handler)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def write_port_file(path, port):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Scripted loopback HTTP server for tests.")
    parser.add_argument("--root", required=True, help="directory served statically")
    parser.add_argument("--port-file", required=True, help="receives the port once listening")
    parser.add_argument("--port", type=int, default=0, help="port to bind (0: any free one)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.root):
        parser.error("--root %s is not a directory" % args.root)
    server = LoopbackServer(args.root, args.port)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        write_port_file(args.port_file, server.server_address[1])
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        try:
            os.remove(args.port_file)
        except OSError:
            pass


if __name__ == "__main__":
    main()
