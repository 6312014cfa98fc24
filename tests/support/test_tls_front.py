#!/usr/bin/env python3
"""Tests of the TLS listeners: started through tls_front_ctl.sh in front of a small
recording HTTP backend, probed with Python's own TLS client."""

import http.server
import json
import os
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
CTL = os.path.join(HERE, "tls_front_ctl.sh")


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.server.paths.append(self.path)
        body = ("seen " + self.path).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def alive(pid):
    """A zombie counts as gone: the detached front is reaped by whoever adopted it."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def client_context(cafile, minimum=None, maximum=None, seclevel0=False):
    ctx = ssl.create_default_context(cafile=cafile)
    if minimum is not None:
        ctx.minimum_version = minimum
    if maximum is not None:
        ctx.maximum_version = maximum
    if seclevel0:
        # OpenSSL 3 offers TLS 1.1 only at security level 0.
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    return ctx


class TlsFrontTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.backend = http.server.ThreadingHTTPServer(("127.0.0.1", 0), RecordingHandler)
        cls.backend.paths = []
        threading.Thread(target=cls.backend.serve_forever, daemon=True).start()
        backend_state = os.path.join(cls.tmp.name, "backend")
        os.makedirs(backend_state)
        with open(os.path.join(backend_state, "port"), "w") as f:
            f.write("%d\n" % cls.backend.server_address[1])
        cls.state = os.path.join(cls.tmp.name, "tls")
        subprocess.run([CTL, "start", cls.state, backend_state], check=True)
        with open(os.path.join(cls.state, "ports.json")) as f:
            cls.ports = json.load(f)
        cls.certs = os.path.join(cls.state, "certs")

    @classmethod
    def tearDownClass(cls):
        subprocess.run([CTL, "stop", cls.state], check=True)
        cls.backend.shutdown()
        cls.backend.server_close()
        cls.tmp.cleanup()

    def get(self, listener, path, ctx):
        with socket.create_connection(("127.0.0.1", self.ports[listener]), timeout=10) as raw:
            with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                version = tls.version()
                tls.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                             % path).encode())
                answer = b""
                while True:
                    data = tls.recv(65536)
                    if not data:
                        break
                    answer += data
                return version, answer

    def handshakes(self):
        with open(os.path.join(self.state, "handshakes.jsonl")) as f:
            return [json.loads(line) for line in f]

    def last_handshake(self, listener, count_before):
        # The listener writes its record on its own thread; give it a moment.
        for _ in range(40):
            records = self.handshakes()
            if len(records) > count_before:
                self.assertEqual(records[-1]["listener"], listener)
                return records[-1]
            time.sleep(0.05)
        self.fail("no handshake recorded for %s" % listener)

    def test_ports_are_distinct_and_the_ca_key_is_gone(self):
        self.assertEqual(sorted(self.ports), ["self_signed", "tls11_only", "trusted"])
        self.assertEqual(len(set(self.ports.values())), 3)
        self.assertFalse(os.path.exists(os.path.join(self.certs, "ca.key")))
        for name in ("ca.pem", "ca.der", "server.pem", "server.key", "self-signed.pem"):
            self.assertTrue(os.path.getsize(os.path.join(self.certs, name)) > 0, name)

    def test_trusted_listener_relays_both_ways_and_records_the_version(self):
        before = len(self.handshakes())
        ca = os.path.join(self.certs, "ca.pem")
        version, answer = self.get("trusted", "/relay/a?b=1", client_context(ca))
        self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer[:100])
        self.assertTrue(answer.endswith(b"seen /relay/a?b=1"), answer[-100:])
        self.assertIn("/relay/a?b=1", self.backend.paths)
        self.assertEqual(self.last_handshake("trusted", before),
                         {"listener": "trusted", "version": version, "error": None})

    def test_tls11_listener_speaks_only_tls11(self):
        ca = os.path.join(self.certs, "ca.pem")
        tls11 = ssl.TLSVersion.TLSv1_1
        version, answer = self.get("tls11_only", "/old",
                                   client_context(ca, tls11, tls11, seclevel0=True))
        self.assertEqual(version, "TLSv1.1")
        self.assertTrue(answer.endswith(b"seen /old"))

        before = len(self.handshakes())
        with self.assertRaises(ssl.SSLError):
            self.get("tls11_only", "/new", client_context(ca, ssl.TLSVersion.TLSv1_2))
        record = self.last_handshake("tls11_only", before)
        self.assertIsNone(record["version"])
        self.assertTrue(record["error"])
        self.assertNotIn("/new", self.backend.paths)

    def test_trusted_listener_refuses_tls11(self):
        ca = os.path.join(self.certs, "ca.pem")
        tls11 = ssl.TLSVersion.TLSv1_1
        with self.assertRaises(ssl.SSLError):
            self.get("trusted", "/never", client_context(ca, tls11, tls11, seclevel0=True))
        self.assertNotIn("/never", self.backend.paths)

    def test_self_signed_certificate_is_not_from_the_ca(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.get("self_signed", "/x", client_context(os.path.join(self.certs, "ca.pem")))
        own = os.path.join(self.certs, "self-signed.pem")
        version, answer = self.get("self_signed", "/y", client_context(own))
        self.assertTrue(answer.endswith(b"seen /y"))
        self.assertNotIn("/x", self.backend.paths)


class CtlTest(unittest.TestCase):
    def test_stop_ends_the_front_and_removes_its_ports(self):
        with tempfile.TemporaryDirectory() as tmp:
            backend = os.path.join(tmp, "backend")
            os.makedirs(backend)
            with open(os.path.join(backend, "port"), "w") as f:
                f.write("1\n")
            state = os.path.join(tmp, "tls")
            subprocess.run([CTL, "start", state, backend], check=True)
            with open(os.path.join(state, "pid")) as f:
                pid = int(f.read())
            subprocess.run([CTL, "stop", state], check=True)
            self.assertFalse(os.path.exists(os.path.join(state, "ports.json")))
            self.assertFalse(os.path.exists(os.path.join(state, "pid")))
            self.assertFalse(alive(pid))

    def test_start_without_a_backend_fails(self):
        with tempfile.TemporaryDirectory() as tmp:
            result = subprocess.run([CTL, "start", os.path.join(tmp, "tls"), tmp],
                                    capture_output=True, text=True)
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("no loopback server port", result.stderr)


if __name__ == "__main__":
    # TLS 1.1 is deprecated, and speaking it is the point here.
    warnings.filterwarnings("ignore", "ssl.TLSVersion.TLSv1_1", DeprecationWarning)
    unittest.main()
