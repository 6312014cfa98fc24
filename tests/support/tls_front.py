#!/usr/bin/env python3
"""TLS listeners in front of the scripted loopback HTTP server.

    tls_front.py --certs DIR --backend-port-file FILE --ports-file FILE --log FILE

Every listener (127.0.0.1, a free port each) completes a TLS handshake with its own
certificate and protocol range, then relays the decrypted bytes to the loopback server
whose port is in FILE (read per connection) and its answers back. The tests script the
answers and read the received requests through the loopback server's control channel,
so an HTTPS request behaves exactly like the plain one apart from the TLS layer.

Listeners (certificate files in DIR, made by tls_front_ctl.sh):
  self_signed  self-signed.pem / self-signed.key   TLS 1.2 and later
  tls11_only   server.pem / server.key (issued by the test CA)   exactly TLS 1.1
  trusted      server.pem / server.key (issued by the test CA)   TLS 1.2 and later

Once all listen, --ports-file gets {"self_signed": N, "tls11_only": N, "trusted": N}
(atomically); it is removed on SIGTERM. Each handshake appends one JSON line to --log:
{"listener": NAME, "version": "TLSv1.2" or null, "error": text or null}.
"""

import argparse
import json
import os
import select
import signal
import socket
import socketserver
import ssl
import sys
import threading

HANDSHAKE_TIMEOUT_S = 10
CLOSE_NOTIFY_TIMEOUT_S = 1
RELAY_BLOCK = 65536


def server_context(cert, key, minimum, maximum=None, ciphers=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = minimum
    if maximum is not None:
        ctx.maximum_version = maximum
    if ciphers is not None:
        ctx.set_ciphers(ciphers)
    ctx.load_cert_chain(cert, key)
    return ctx


def listener_contexts(certs):
    def path(name):
        return os.path.join(certs, name)

    tls12 = ssl.TLSVersion.TLSv1_2
    tls11 = ssl.TLSVersion.TLSv1_1
    return {
        "self_signed": server_context(path("self-signed.pem"), path("self-signed.key"), tls12),
        # OpenSSL 3 refuses TLS 1.1 at its default security level.
        "tls11_only": server_context(path("server.pem"), path("server.key"), tls11, tls11,
                                     "DEFAULT:@SECLEVEL=0"),
        "trusted": server_context(path("server.pem"), path("server.key"), tls12),
    }


class HandshakeLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def add(self, listener, version, error):
        line = json.dumps({"listener": listener, "version": version, "error": error})
        with self.lock, open(self.path, "a") as f:
            f.write(line + "\n")


def read_port(path):
    with open(path) as f:
        return int(f.read().strip())


def relay(tls, backend):
    """Copies bytes both ways until either side closes."""
    sockets = [tls, backend]
    while True:
        # Bytes already decrypted inside the TLS layer are invisible to select.
        readable = [tls] if tls.pending() else select.select(sockets, [], [])[0]
        for source in readable:
            target = backend if source is tls else tls
            data = source.recv(RELAY_BLOCK)
            if not data:
                return
            target.sendall(data)


def close_politely(tls):
    """Sends close_notify first, so a body delimited by the close ends cleanly."""
    try:
        tls.settimeout(CLOSE_NOTIFY_TIMEOUT_S)
        tls.unwrap()
    except (OSError, ValueError):
        pass  # the client is gone already
    tls.close()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        front = self.server
        raw = self.request
        raw.settimeout(HANDSHAKE_TIMEOUT_S)
        try:
            tls = front.context.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError) as e:
            front.log.add(front.name, None, str(e) or type(e).__name__)
            return
        front.log.add(front.name, tls.version(), None)
        tls.settimeout(None)
        try:
            with socket.create_connection(("127.0.0.1", read_port(front.backend_port_file))) as b:
                relay(tls, b)
        except OSError:
            pass  # either peer went away mid-exchange; the client sees its own error
        finally:
            close_politely(tls)


class TlsFront(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, name, context, backend_port_file, log):
        self.name = name
        self.context = context
        self.backend_port_file = backend_port_file
        self.log = log
        super().__init__(("127.0.0.1", 0), Handler)

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def write_ports_file(path, ports):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        json.dump(ports, f)
        f.write("\n")
    os.replace(tmp, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="TLS listeners for the loopback server.")
    parser.add_argument("--certs", required=True, help="folder of the certificate files")
    parser.add_argument("--backend-port-file", required=True, help="the loopback server's port")
    parser.add_argument("--ports-file", required=True, help="receives the listeners' ports")
    parser.add_argument("--log", required=True, help="one JSON line per handshake")
    args = parser.parse_args(argv)
    log = HandshakeLog(args.log)
    fronts = [TlsFront(name, ctx, args.backend_port_file, log)
              for name, ctx in listener_contexts(args.certs).items()]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        for front in fronts:
            threading.Thread(target=front.serve_forever, daemon=True).start()
        write_ports_file(args.ports_file, {f.name: f.server_address[1] for f in fronts})
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        for front in fronts:
            front.server_close()
        try:
            os.remove(args.ports_file)
        except OSError:
            pass


if __name__ == "__main__":
    main()
