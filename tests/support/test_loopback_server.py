#!/usr/bin/env python3
"""Tests of the loopback test server: served in-process, probed over real sockets."""

import base64
import email.utils
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loopback_server  # noqa: E402

DATA = loopback_server.pattern(0, 3000)


class LoopbackServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = os.path.join(cls.tmp.name, "root")
        os.makedirs(os.path.join(root, "sub"))
        with open(os.path.join(root, "data.bin"), "wb") as f:
            f.write(DATA)
        with open(os.path.join(root, "meta.json"), "w") as f:
            f.write('{"a": 1}')
        with open(os.path.join(cls.tmp.name, "secret.txt"), "w") as f:
            f.write("secret")
        os.symlink("../secret.txt", os.path.join(root, "escape"))
        cls.server = loopback_server.LoopbackServer(root)
        cls.port = cls.server.server_address[1]
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        cls.tmp.cleanup()

    def setUp(self):
        self.assertEqual(self.control("POST", "reset")[0], 200)

    def connect(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        self.addCleanup(conn.close)
        return conn

    def request(self, method, path, conn=None, **kw):
        conn = conn or self.connect()
        conn.request(method, path, **kw)
        resp = conn.getresponse()
        return resp, resp.read()

    def control(self, method, name, doc=None):
        body = None if doc is None else json.dumps(doc).encode()
        resp, data = self.request(method, "/__control/" + name, body=body)
        return resp.status, json.loads(data)

    def script(self, path, *answers, method="*"):
        rule = {"path": path, "method": method, "answers": list(answers)}
        self.assertEqual(self.control("POST", "script", {"rules": [rule]}), (200, {"ok": True}))

    def raw(self, path, method="GET", close=True):
        """Reads until the server closes; a server that keeps the connection open
        fails the test with a timeout."""
        req = "%s %s HTTP/1.1\r\nHost: t\r\n%s\r\n" % (
            method, path, "Connection: close\r\n" if close else "")
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(req.encode())
            data = b"".join(iter(lambda: s.recv(65536), b""))
        head, _, body = data.partition(b"\r\n\r\n")
        return head.decode().split("\r\n"), body

    def test_static_get_and_head(self):
        st = os.stat(os.path.join(self.server.root, "data.bin"))
        conn = self.connect()
        for method in ("HEAD", "GET"):
            resp, body = self.request(method, "/data.bin?ignored=1", conn)
            self.assertEqual(resp.status, 200)
            self.assertEqual(resp.getheader("Content-Length"), str(len(DATA)))
            self.assertEqual(resp.getheader("ETag"), '"%x-%x"' % (st.st_size, st.st_mtime_ns))
            self.assertEqual(resp.getheader("Last-Modified"),
                             email.utils.formatdate(st.st_mtime, usegmt=True))
            self.assertEqual(resp.getheader("Content-Type"), "application/octet-stream")
        self.assertEqual(body, DATA)
        # http.client's buffering would hide body bytes sent to HEAD.
        head, body = self.raw("/data.bin", "HEAD")
        self.assertIn("Content-Length: %d" % len(DATA), head)
        self.assertEqual(body, b"")
        resp, body = self.request("GET", "/meta.json", conn)
        self.assertEqual((resp.getheader("Content-Type"), body), ("application/json", b'{"a": 1}'))

    def test_static_refuses_missing_dirs_and_escapes(self):
        for path in ("/nope", "/sub", "/../secret.txt", "/sub/../../secret.txt",
                     "/%2e%2e/secret.txt", "/..%5csecret.txt", "/escape"):
            head, body = self.raw(path)
            self.assertEqual(head[0], "HTTP/1.1 404 Not Found", path)
            self.assertNotIn(b"secret", body)
        self.assertEqual(self.request("POST", "/data.bin", body=b"x")[0].status, 405)

    def test_answers_consumed_in_order_then_static(self):
        self.script("/data.bin", {"status": 503}, {"status": 503},
                    {"body_text": "scripted", "headers": {"ETag": '"v2"'}})
        self.script("/data.bin", {"status": 500})  # shadowed until the first rule is used up
        conn = self.connect()
        seen = [self.request("GET", "/data.bin?try=%d" % i, conn) for i in range(5)]
        self.assertEqual([r.status for r, _ in seen], [503, 503, 200, 500, 200])
        self.assertEqual((seen[2][0].getheader("ETag"), seen[2][1]), ('"v2"', b"scripted"))
        self.assertEqual(seen[4][1], DATA)

    def test_repeat_and_method_specific_rules(self):
        self.script("/data.bin", {"status": 405, "repeat": 2}, method="HEAD")
        self.script("/x", {"status": 429, "repeat": 2}, {"status": 204})
        conn = self.connect()
        got = [self.request(m, p, conn)[0].status for m, p in [
            ("HEAD", "/data.bin"), ("GET", "/data.bin"), ("HEAD", "/data.bin"),
            ("HEAD", "/data.bin"), ("GET", "/x"), ("POST", "/x"), ("GET", "/x"), ("GET", "/x")]]
        self.assertEqual(got, [405, 200, 405, 200, 429, 429, 204, 404])

    def test_status_codes_keep_framing(self):
        codes = [200, 204, 302, 304, 404, 405, 408, 429, 500, 501, 503]
        self.script("/s", *[{"status": c, "body_text": "b%d" % c,
                             "headers": {"Location": "/elsewhere"}} for c in codes])
        conn = self.connect()
        for code in codes:
            resp, body = self.request("GET", "/s", conn)
            self.assertEqual(resp.status, code)
            self.assertEqual(body, b"" if code in (204, 304) else b"b%d" % code)
            self.assertEqual(resp.getheader("Location"), "/elsewhere")
            self.assertEqual(resp.getheader("Content-Length") is None, code in (204, 304))

    def test_broken_framing(self):
        self.script("/f", {"body_size": 1000, "truncate_after": 100},
                    {"body_text": "abc", "extra_bytes": 5},
                    {"body_text": "hello", "content_length": "12a"},
                    {"body_text": "hello", "content_length": "123456789012345678901"},
                    {"body_text": "hello", "content_length": None})
        head, body = self.raw("/f", close=False)
        self.assertIn("Content-Length: 1000", head)
        self.assertEqual(body, DATA[:100])
        head, body = self.raw("/f", close=False)
        self.assertIn("Content-Length: 3", head)
        self.assertEqual(body, b"abc" + loopback_server.pattern(3, 5))
        for value in ("12a", "123456789012345678901"):
            head, body = self.raw("/f", close=False)
            self.assertIn("Content-Length: " + value, head)
            self.assertEqual(body, b"hello")
        head, body = self.raw("/f", close=False)
        self.assertFalse([h for h in head if h.lower().startswith("content-length")])
        self.assertEqual(body, b"hello")

    def test_delays(self):
        self.script("/d", {"delay_ms": 300, "body_text": "late"},
                    {"body_size": 4, "chunk_size": 1, "body_delay_ms": 100})
        for expected in (b"late", DATA[:4]):
            start = time.monotonic()
            self.assertEqual(self.raw("/d", close=False)[1], expected)
            self.assertGreaterEqual(time.monotonic() - start, 0.29)

    def test_client_leaving_mid_answer_does_not_hurt(self):
        self.script("/big", {"body_size": 50_000_000, "chunk_size": 1024})
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"GET /big HTTP/1.1\r\nHost: t\r\n\r\n")
            self.assertTrue(s.recv(1024).startswith(b"HTTP/1.1 200"))
        self.assertEqual(self.control("GET", "ping"), (200, {"ok": True, "port": self.port}))

    def test_requests_are_recorded_and_filtered(self):
        self.script("/t/a/up", {"status": 201})
        self.request("POST", "/t/a/up?v=1", body=b"\x00payload", headers={"X-Tag": "one"})
        self.request("GET", "/t/b/other")
        self.control("GET", "ping")
        status, records = self.control("GET", "requests?prefix=/t/a/")
        self.assertEqual(status, 200)
        self.assertEqual(len(records), 1)
        rec = records[0]
        self.assertEqual((rec["method"], rec["path"], rec["headers"]["x-tag"]),
                         ("POST", "/t/a/up?v=1", "one"))
        self.assertEqual(base64.b64decode(rec["body_b64"]), b"\x00payload")
        self.assertAlmostEqual(rec["time"], time.time(), delta=5)
        everything = self.control("GET", "requests")[1]
        self.assertEqual([r["path"] for r in everything], ["/t/a/up?v=1", "/t/b/other"])
        self.assertLess(everything[0]["seq"], everything[1]["seq"])

    def test_reset_and_replace_by_prefix(self):
        self.script("/t/a/x", {"status": 500, "repeat": 9})
        self.script("/t/b/x", {"status": 501, "repeat": 9})
        self.request("GET", "/t/a/x")
        self.request("GET", "/t/b/x")
        self.assertEqual(self.control("POST", "reset?prefix=/t/a/"), (200, {"ok": True}))
        self.assertEqual([r["path"] for r in self.control("GET", "requests")[1]], ["/t/b/x"])
        self.assertEqual(self.request("GET", "/t/a/x")[0].status, 404)
        self.assertEqual(self.request("GET", "/t/b/x")[0].status, 501)
        doc = {"rules": [{"path": "/t/b/x", "answers": [{"status": 503}]}],
               "replace_prefix": "/t/b/"}
        self.assertEqual(self.control("POST", "script", doc)[0], 200)
        self.assertEqual([self.request("GET", "/t/b/x")[0].status for _ in "12"], [503, 404])

    def test_bad_control_requests(self):
        for body in (b"{not json", b'{"rules": {}}', b'{"rules": [{"path": "/x"}]}',
                     b'{"rules": [{"path": "/x", "answers": [{"stauts": 200}]}]}',
                     b'{"rules": [{"path": "/x", "answers": [{"body_text": "a", "body_size": 1}]}]}'):
            resp, data = self.request("POST", "/__control/script", body=body)
            self.assertEqual(resp.status, 400, body)
            self.assertFalse(json.loads(data)["ok"])
        self.assertEqual(self.control("GET", "nothing")[0], 404)
        self.assertEqual(self.control("GET", "requests")[1], [])


class CtlScriptTest(unittest.TestCase):
    def test_start_restart_stop(self):
        ctl = os.path.join(HERE, "loopback_server_ctl.sh")
        with tempfile.TemporaryDirectory() as tmp:
            state = os.path.join(tmp, "state")
            pids = []
            for _ in range(2):  # the second start replaces the first server
                subprocess.run([ctl, "start", state, tmp], check=True, timeout=30)
                with open(os.path.join(state, "port")) as f:
                    port = int(f.read())
                with open(os.path.join(state, "pid")) as f:
                    pids.append(int(f.read()))
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                conn.request("GET", "/__control/ping")
                self.assertEqual(json.loads(conn.getresponse().read()), {"ok": True, "port": port})
                conn.close()
            subprocess.run([ctl, "stop", state], check=True, timeout=30)
            subprocess.run([ctl, "stop", state], check=True, timeout=30)
            for pid in pids:
                self.assertFalse(alive(pid), pid)
            self.assertFalse(os.path.exists(os.path.join(state, "pid")))
            # A server that dies at once must fail the start, not hang it.
            result = subprocess.run([ctl, "start", state, tmp], capture_output=True, timeout=30,
                                    env=dict(os.environ, PYTHON="false"))
            self.assertNotEqual(result.returncode, 0)
            self.assertIn(b"did not come up", result.stderr)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


if __name__ == "__main__":
    unittest.main()
