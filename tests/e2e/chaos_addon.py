"""mitmdump script of the chaos campaign: answers one armed request wrongly.

    mitmdump --mode reverse:http://127.0.0.1:PORT -s chaos_addon.py

The campaign writes the fault as JSON to the file named by VORN_CHAOS_ARM:
{"kind": K, "path": P, "at": N, "other_port": Q}. The first answer to a request whose
path contains P takes it (the file is removed), and a line "K P" is appended to the file
named by VORN_CHAOS_LOG. Kinds: "500", "503", "429" (the answer replaced by that status),
"flip" (byte N % length of the body flipped), "length" (a Content-Length N bytes off the
body's own, N != 0), "redirect" (a 302 to the same path on another host, 127.0.0.2:Q). Every answer closes
its connection, so the fault relay in front of this proxy sees each request.
"""

import json
import re
import os

from mitmproxy import http

ARM = os.environ["VORN_CHAOS_ARM"]
LOG = os.environ["VORN_CHAOS_LOG"]


def take(path):
    try:
        with open(ARM) as armed:
            fault = json.load(armed)
    except (OSError, ValueError):
        return None
    if not re.search(fault["path"], path):
        return None
    os.unlink(ARM)
    with open(LOG, "a") as log:
        log.write("%s %s\n" % (fault["kind"], path))
    return fault


def response(flow):
    # One request per connection, so the fault relay in front sees every request line.
    flow.response.headers["connection"] = "close"
    fault = take(flow.request.path)
    if fault is None:
        return
    kind = fault["kind"]
    if kind in ("500", "503", "429"):
        headers = {"Content-Type": "text/plain"}
        if kind == "429":
            headers["Retry-After"] = "1"
        flow.response = http.Response.make(int(kind), b"busy\n", headers)
        flow.response.headers["connection"] = "close"
    elif kind == "flip":
        body = bytearray(flow.response.content or b"")
        if body:
            body[fault["at"] % len(body)] ^= 0x01
            flow.response.content = bytes(body)
    elif kind == "length":
        real = len(flow.response.content or b"")
        flow.response.headers["content-length"] = str(max(0, real + fault["at"]))
    elif kind == "redirect":
        location = "http://127.0.0.2:%d%s" % (fault["other_port"], flow.request.path)
        flow.response = http.Response.make(302, b"", {"Location": location,
                                                      "Connection": "close"})
