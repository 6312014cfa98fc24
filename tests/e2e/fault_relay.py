"""A TCP relay between the launcher and its HTTP server that breaks one connection the way
a bad link does: a reset (RST) or a clean close at a chosen byte of the answer, a stall
that outlasts the client's receive time-out, or a 1 KiB/s trickle. These are faults of
the byte stream, which an HTTP proxy cannot make; everything else passes unchanged.

    relay = FaultRelay(upstream_port).start()
    relay.arm("reset", path="/upd/", at=300000)   # the next connection asking for /upd/...
    ...
    relay.stop()

Each connection's first request line picks the armed fault whose path pattern (a regular
expression) it matches, one connection per armed fault. Every connection is logged as
(path, body bytes sent, fault kind or None).
"""

import asyncio
import re
import socket
import struct
import threading

from harness import free_port, wait_for_port

TRICKLE_BYTES_PER_SECOND = 1024
RESET_PAUSE_SECONDS = 0.3


class FaultRelay:
    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.port = free_port()
        self.armed = []
        self.log = []  # (path, bytes sent to the client, fault or None), as connections end
        self.strikes = []  # (path, fault kind), as they strike
        self.lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        self.thread = None

    def start(self):
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        wait_for_port(self.port)
        return self

    def url(self, path=""):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def arm(self, kind, path="", at=0, seconds=0.0, fraction=None):
        """kind: "reset", "close", "stall" or "trickle"; `at`: the answer's byte where it
        strikes, or `fraction`: that share of the body its Content-Length announces;
        `seconds`: how long a stall or a trickle lasts."""
        with self.lock:
            self.armed.append({"kind": kind, "path": path, "at": at, "seconds": seconds,
                               "fraction": fraction})

    def disarm(self):
        with self.lock:
            self.armed.clear()

    def take_log(self):
        with self.lock:
            log, self.log = self.log, []
            return log

    def take_strikes(self):
        with self.lock:
            strikes, self.strikes = self.strikes, []
            return strikes

    def _struck(self, path, fault):
        with self.lock:
            self.strikes.append((path, fault["kind"]))

    def stop(self):
        def end():
            for task in asyncio.all_tasks(self.loop):
                task.cancel()
            self.loop.call_soon(self.loop.stop)
        self.loop.call_soon_threadsafe(end)
        self.thread.join(10)

    def _serve(self):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(
            asyncio.start_server(self._connection, "127.0.0.1", self.port))
        self.loop.run_forever()
        server.close()

    def _take_fault(self, path):
        with self.lock:
            for fault in self.armed:
                if re.search(fault["path"], path):
                    self.armed.remove(fault)
                    return fault
        return None

    async def _connection(self, client_reader, client_writer):
        try:
            head = await client_reader.read(65536)
            if not head:
                return
            request_line = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")
            path = request_line[1] if len(request_line) > 1 else ""
            fault = self._take_fault(path)
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
            up_writer.write(head)
            upward = asyncio.ensure_future(self._pump(client_reader, up_writer))
            sent = await self._answer(up_reader, client_writer, fault, path)
            upward.cancel()
            up_writer.close()
            with self.lock:
                self.log.append((path, sent, fault and fault["kind"]))
        except (ConnectionError, OSError):
            pass
        finally:
            if not client_writer.is_closing():
                client_writer.close()

    @staticmethod
    async def _pump(reader, writer):
        """The client's bytes upward; when the client goes, so does the server connection,
        which ends the answer (a kept-alive connection would wait for the next request)."""
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        writer.close()

    async def _answer(self, up_reader, client_writer, fault, path):
        """Forwards the server's bytes, striking with `fault`; returns the body bytes sent
        (the answer's head, which comes in the first read, not counted)."""
        sent, head = 0, None
        loop = asyncio.get_running_loop()
        trickle_until = 0
        if fault and fault["kind"] == "trickle":
            trickle_until = loop.time() + fault["seconds"]
            self._struck(path, fault)
        while data := await up_reader.read(65536):
            if head is None:
                end = data.find(b"\r\n\r\n")
                head = end + 4 if end >= 0 else 0
                length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", data[:head])
                if fault and fault["fraction"] is not None and length:
                    fault["at"] = head + int(int(length.group(1)) * fault["fraction"])
            if fault and fault["kind"] != "trickle" and sent + len(data) > fault["at"]:
                keep = fault["at"] - sent
                client_writer.write(data[:keep])
                await client_writer.drain()
                self._struck(path, fault)
                await self._strike(client_writer, fault)
                return max(sent + keep - head, 0)
            while data and loop.time() < trickle_until:
                piece, data = data[:TRICKLE_BYTES_PER_SECOND], data[TRICKLE_BYTES_PER_SECOND:]
                client_writer.write(piece)
                await client_writer.drain()
                sent += len(piece)
                await asyncio.sleep(1)
            client_writer.write(data)
            await client_writer.drain()
            sent += len(data)
        return max(sent - (head or 0), 0)

    @staticmethod
    async def _strike(client_writer, fault):
        if fault["kind"] == "stall":
            await asyncio.sleep(fault["seconds"])
        if fault["kind"] == "reset":
            # The link dies after delivering its bytes: without this pause the RST would
            # overtake the bytes still queued for the client, and they would be lost.
            await asyncio.sleep(RESET_PAUSE_SECONDS)
            sock = client_writer.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            client_writer.transport.abort()
            return
        client_writer.close()
