"""Progress of long work: one refreshed line on a terminal, plain lines otherwise, nothing
with --quiet. Counters are updated from the worker threads."""

import sys
import threading
import time


def size_text(count):
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return ("%d %s" % (value, unit)) if unit == "B" else ("%.1f %s" % (value, unit))
        value /= 1024
    return "%d B" % count


class Progress:
    TICK = 0.5

    def __init__(self, quiet=False, stream=None):
        self.stream = stream or sys.stderr
        self.quiet = quiet
        self.live = not quiet and self.stream.isatty()
        self.lock = threading.Lock()
        self.title = ""
        self.files = self.total_files = 0
        self.read = self.written = 0
        self.started = time.monotonic()
        self.ticker = None
        self.stop = threading.Event()

    def add(self, files=0, read=0, written=0):
        with self.lock:
            self.files += files
            self.read += read
            self.written += written

    def begin(self, title, total_files=0):
        self.end()
        with self.lock:
            self.title, self.total_files = title, total_files
            self.files = self.read = self.written = 0
            self.started = time.monotonic()
        if self.live:
            self.stop.clear()
            self.ticker = threading.Thread(target=self._tick, daemon=True)
            self.ticker.start()
        elif not self.quiet:
            self.stream.write("%s...\n" % title)
            self.stream.flush()

    def line(self):
        with self.lock:
            seconds = max(time.monotonic() - self.started, 1e-6)
            files = "%d/%d files" % (self.files, self.total_files) if self.total_files else \
                "%d files" % self.files
            return "%s: %s, %s read, %s written, %s/s, %.1f s" % (
                self.title, files, size_text(self.read), size_text(self.written),
                size_text(self.read / seconds), seconds)

    def _tick(self):
        while not self.stop.wait(self.TICK):
            self.stream.write("\r\033[K" + self.line())
            self.stream.flush()

    def end(self):
        """Closes the current stage with its final figures."""
        if not self.title:
            return
        if self.ticker:
            self.stop.set()
            self.ticker.join()
            self.ticker = None
            self.stream.write("\r\033[K")
        if not self.quiet:
            self.stream.write(self.line() + "\n")
            self.stream.flush()
        self.title = ""

    def note(self, text):
        """A remark for the operator (skipped files, choices made)."""
        if self.quiet:
            return
        if self.ticker:
            self.stream.write("\r\033[K")
        self.stream.write("note: %s\n" % text)
        self.stream.flush()
