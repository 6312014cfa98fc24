"""End-to-end harness: fixture clients, feeds, nginx, a report receiver and the launcher.

Everything runs on 127.0.0.1. The launcher is the real Windows program under Wine, run
headless through its local-test mode; the feed is published by the operators' feed tool
into a plain folder that nginx serves as a real static server would (strong ETags,
Last-Modified, HEAD).
"""

import gzip
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "support"))
import pck_images  # noqa: E402
FEED_TOOL = REPO / "tools" / "feed" / "vornell-feed"
MARKER = ".vornell-local-fixture"


def windows_path(path):
    """The Windows form of a Linux path under Wine (the Linux root is drive Z:)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


class Nginx:
    """nginx serving one folder on a free loopback port, logging method, path and status."""

    def __init__(self, root, workdir):
        self.root = Path(root)
        self.dir = Path(workdir) / "nginx"
        self.port = None
        self.process = None

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            (self.dir / sub).mkdir(exist_ok=True)
        self.port = free_port()
        conf = self.dir / "nginx.conf"
        conf.write_text(f"""
daemon off;
master_process off;
worker_processes 1;
pid {self.dir}/nginx.pid;
error_log {self.dir}/error.log warn;
events {{ worker_connections 64; }}
http {{
  types {{ application/json json; }}
  default_type application/octet-stream;
  log_format brief '$request_method $uri $status';
  access_log {self.dir}/access.log brief;
  client_body_temp_path {self.dir}/body;
  proxy_temp_path {self.dir}/proxy;
  fastcgi_temp_path {self.dir}/fastcgi;
  uwsgi_temp_path {self.dir}/uwsgi;
  scgi_temp_path {self.dir}/scgi;
  server {{
    listen 127.0.0.1:{self.port};
    root {self.root};
  }}
}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-p", str(self.dir), "-c", str(conf)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port)
        return self

    def url(self, path=""):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def requests(self):
        """["HEAD /manifest.json 200", ...] in the order served."""
        log = self.dir / "access.log"
        return log.read_text().splitlines() if log.exists() else []

    def clear_log(self):
        (self.dir / "access.log").write_text("")
        # nginx keeps its file open; truncating in place keeps the same file.

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(10)
            self.process = None


class ReportReceiver:
    """The report endpoint: 202 with the report's identifier, or a refusal."""

    def __init__(self):
        self.reports = []
        self.accepting = True
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                if not receiver.accepting:
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                report = json.loads(body)
                receiver.reports.append(report)
                answer = json.dumps({"report_id": report["report_id"]}).encode()
                self.send_response(202)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def url(self, path="report"):
        return "http://127.0.0.1:%d/%s" % (self.server.server_address[1], path)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Stalling:
    """A server that holds every request for a while: keeps a launcher busy."""

    def __init__(self, seconds):
        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_HEAD(self):
                time.sleep(seconds)
                self.send_response(503)
                self.send_header("Content-Length", "0")
                self.end_headers()

            do_GET = do_HEAD

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self):
        return "http://127.0.0.1:%d/" % self.server.server_address[1]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Feed:
    """A feed folder as operators make it: published by the feed tool (tools/feed) from a
    client folder, served with upd/manifest.json, its .gz companion and upd/xx/ blobs."""

    def __init__(self, root):
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.source = self.root.with_name(self.root.name + "-client")

    @property
    def manifest_path(self):
        return self.root / "upd" / "manifest.json"

    def blob(self, digest):
        return self.root / "upd" / digest[:2] / (digest + ".dat")

    def publish(self, files, version="1", *options):
        """files: {client path: bytes}. Writes them as a client folder and publishes it;
        returns the published manifest document."""
        shutil.rmtree(self.source, ignore_errors=True)
        for path, data in files.items():
            target = self.source / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        return self.publish_folder(self.source, version, *options)

    def publish_folder(self, client, version, *options):
        feed_tool("publish", client, self.root, "--version", version, "--quiet", *options)
        return json.loads(self.manifest_path.read_bytes())

    def write_manifest(self, body, compressed_copy=True):
        """Puts any bytes live as the manifest, as a broken server would serve them."""
        plain = self.manifest_path
        packed = plain.with_name("manifest.json.gz")
        if compressed_copy:
            packed.write_bytes(gzip.compress(body, mtime=0))
        elif packed.exists():
            packed.unlink()
        plain.write_bytes(body)
        if compressed_copy:
            # The copy is proven fresh by the plain document's Last-Modified.
            stamp = plain.stat().st_mtime
            os.utime(packed, (stamp, stamp))


def feed_tool(*args):
    """Runs tools/feed/vornell-feed; its error output explains a failure."""
    result = subprocess.run([sys.executable, str(FEED_TOOL)] + [str(a) for a in args],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("vornell-feed %s failed (%d): %s" % (
            args[0], result.returncode, result.stderr.strip()))
    return result.stdout


class Client:
    """A fixture client folder with its marker and a real game stand-in."""

    def __init__(self, root, game_exe):
        self.root = Path(root)
        (self.root / "element").mkdir(parents=True, exist_ok=True)
        (self.root / MARKER).write_text("")
        shutil.copyfile(game_exe, self.root / "element" / "elementclient.exe")

    def write(self, files):
        for path, data in files.items():
            target = self.root / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)

    def game_files(self):
        return {"element/elementclient.exe":
                (self.root / "element" / "elementclient.exe").read_bytes()}


SURFACES = "element/surfaces.pck"
GUILD_LIST = b"1\n2\n3\n4\nclan_1.dds\nclan_2.dds\n"
FOREIGN_SURFACES = [(b"surfaces\\ui\\frame.dds", b"frame" * 300),
                    (b"surfaces\\iconset\\iconlist_guild.dds", b"old atlas"),
                    (b"surfaces\\ui\\button.dds", b"button"),
                    (b"surfaces\\iconset\\iconlist_guild.txt", b"old list")]


def guild_pixels(seed):
    """An 8 x 4 atlas whose colours depend on the seed."""
    return [((x * 30 + seed) % 256, (y * 60) % 256, (seed * 7) % 256, 255 - x)
            for y in range(4) for x in range(8)]


def publish_guild(feed_root, work_dir, version, seed=0):
    """Publishes an 8 x 4 icon set with the feed tool; returns the DDS launchers make of it."""
    pixels = guild_pixels(seed)
    (Path(work_dir) / "atlas.png").write_bytes(pck_images.png_rgba(8, 4, pixels))
    (Path(work_dir) / "iconlist.txt").write_bytes(GUILD_LIST)
    feed_tool("guild", feed_root, "--version", version, "--list",
              Path(work_dir) / "iconlist.txt", "--png", Path(work_dir) / "atlas.png", "--quiet")
    return pck_images.dds_of(8, 4, pixels)


def game_data(sizes, seed=1):
    """{path: bytes} of the given sizes, each file different."""
    files = {}
    for i, size in enumerate(sizes):
        block = hashlib.sha256(b"%d-%d" % (seed, i)).digest()
        files["element/data/file%03d.pck" % i] = (block * (size // 32 + 1))[:size]
    return files


class Launcher:
    """VornellLauncher.exe under Wine with the build's private prefix."""

    def __init__(self, build_dir, test_build=None):
        """test_build: the name of a test build of the same sources (tests/NAME.exe), such
        as the ones with feed keys built in; the product's launcher otherwise."""
        self.build = Path(build_dir).resolve()
        self.exe = (self.build / "tests" / (test_build + ".exe") if test_build
                    else self.build / "src" / "app" / "VornellLauncher.exe")
        self.game = self.build / "tests" / "fake_game.exe"

    def build_text(self):
        """The launcher build the build folder was configured with (its project version)."""
        cache = (self.build / "CMakeCache.txt").read_text(encoding="utf-8")
        for line in cache.splitlines():
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1]
        raise RuntimeError(f"no project version in {self.build / 'CMakeCache.txt'}")

    def pck_keys(self):
        """The archive key pair A the build was configured with."""
        cache = (self.build / "CMakeCache.txt").read_text(encoding="utf-8")
        values = dict(line.split(":", 1)[0:1] + [line.split("=", 1)[1]]
                      for line in cache.splitlines()
                      if line.startswith("VORN_PCK_KEY_A") and "=" in line)
        return int(values["VORN_PCK_KEY_A1"], 16), int(values["VORN_PCK_KEY_A2"], 16)

    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.build / "wineprefix"), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        return env

    @staticmethod
    def write_config(path, client_root, cache, base_url, report_url, fallback_url=None,
                     **overrides):
        config = {
            "schema": "vornell.local-test.v1",
            "root": windows_path(client_root),
            "cache": windows_path(cache),
            "manifestUrl": base_url + "upd/manifest.json",
            "updateBaseUrl": base_url + "upd/",
            "guildBaseUrl": base_url + "lk_server/klan/",
            "guildFallbackUrl": base_url + "lk_server/klan/",
            "releaseUrl": base_url + "downloads/launcher-release-v1.json",
            "releaseFallbackUrl": base_url + "downloads/launcher-release-v1.json",
            "reportUrl": report_url,
            "reportFallbackUrl": fallback_url or report_url,
        }
        config.update(overrides)
        Path(path).write_text(json.dumps(config, ensure_ascii=False))
        return path

    def start(self, config, action, result=None, extra=()):
        args = ["wine", str(self.exe), "--qa-config", windows_path(config)]
        if action:
            args += ["--qa-action", action]
        if result:
            args += ["--qa-result", windows_path(result)]
        return subprocess.Popen(list(args) + list(extra), env=self.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run_measured(self, config, action, result):
        """(exit code, result document, figures) with the launcher's own wall time and peak
        working set, measured from outside it by a small Windows program."""
        if Path(result).exists():
            Path(result).unlink()
        args = ["wine", str(self.build / "bench" / "run_measured.exe"), windows_path(self.exe),
                "--qa-config", windows_path(config), "--qa-action", action,
                "--qa-result", windows_path(result)]
        output = subprocess.run(args, env=self.env(), capture_output=True, text=True,
                                timeout=300, check=True).stdout
        figures = json.loads(output.strip().splitlines()[-1])
        return figures["exit_code"], json.loads(Path(result).read_text()), figures

    def run(self, config, action, result=None, timeout=120):
        """(exit code, result document or None, wall seconds)."""
        if result and Path(result).exists():
            Path(result).unlink()
        start = time.monotonic()
        process = self.start(config, action, result)
        code = process.wait(timeout)
        wall = time.monotonic() - start
        document = json.loads(Path(result).read_text()) if result and Path(result).exists() else None
        return code, document, wall


class Scene:
    """One client, its service folder, a feed served by nginx and a report receiver."""

    def __init__(self, launcher, sizes=(1024, 4096, 65536), surfaces_bulk=0):
        self.dir = Path(tempfile.mkdtemp(prefix="vorn-e2e-"))
        self.launcher = launcher
        self.client = Client(self.dir / "client", launcher.game)
        self.cache = self.dir / "cache"
        self.feed = Feed(self.dir / "feed")
        self.files = dict(game_data(sizes))
        self.files.update(self.client.game_files())
        # A large foreign entry makes the icon install long enough to be interrupted.
        self.foreign_surfaces = FOREIGN_SURFACES + (
            [(b"surfaces\\bulk.dds", game_data([surfaces_bulk], seed=9)["element/data/file000.pck"])]
            if surfaces_bulk else [])
        self.files[SURFACES] = pck_images.write_pck(self.foreign_surfaces, launcher.pck_keys())
        self.client.write(self.files)
        self.manifest = self.feed.publish(self.files)
        self.publish_guild("1")
        self.nginx = Nginx(self.feed.root, self.dir).start()
        self.receiver = ReportReceiver().start()
        self.config = self.dir / "qa.json"
        self.result = self.dir / "result.json"
        self.configure()

    def publish_guild(self, version, seed=0):
        """Publishes an icon set with the feed tool; returns the DDS launchers should make."""
        return publish_guild(self.feed.root, self.dir, version, seed)

    def surfaces_entries(self):
        """{raw name: stored bytes} of the client's surfaces archive."""
        data = (self.client.root / SURFACES).read_bytes()
        return dict(pck_images.read_pck(data, self.launcher.pck_keys()))

    def configure(self, **overrides):
        Launcher.write_config(self.config, self.client.root, self.cache, self.nginx.url(),
                              self.receiver.url(), **overrides)

    def run(self, action):
        return self.launcher.run(self.config, action, self.result)

    def queued(self):
        folder = self.cache / "diagnostics-pending-v2"
        return sorted(p.name for p in folder.glob("*.json")) if folder.exists() else []

    def close(self):
        self.nginx.stop()
        self.receiver.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
