"""The command itself: help on every command, progress on a terminal, quiet otherwise."""

import os
import pty
import subprocess
import sys
import unittest

from feedtest import COMMAND, FeedCase, compressible, run_command


class CommandLine(FeedCase):
    def test_every_command_has_help(self):
        for command in ([], ["publish"], ["release"], ["verify"], ["prune"], ["keygen"],
                        ["resign"]):
            with self.subTest(command=command):
                result = run_command(*(command + ["--help"]))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("usage: vornell-feed", result.stdout)

    def terminal_run(self, *args):
        """stdout and the terminal's bytes of a run whose stderr is a terminal."""
        controller, terminal = pty.openpty()
        try:
            process = subprocess.Popen([sys.executable, str(COMMAND)] + [str(a) for a in args],
                                       stdout=subprocess.PIPE, stderr=terminal)
            os.close(terminal)
            seen = b""
            while True:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:
                    break  # the terminal closed with the process
                if not chunk:
                    break
                seen += chunk
            out = process.communicate(timeout=60)[0]
            self.assertEqual(process.returncode, 0, seen)
            return out.decode(), seen.decode()
        finally:
            os.close(controller)

    def test_progress_on_a_terminal_and_quiet(self):
        client = self.client("client", {"element/data/f%d.bin" % i: compressible(400000, i)
                                        for i in range(20)})
        out, seen = self.terminal_run("publish", client, self.feed, "--version", "1")
        self.assertIn("hashing and storing blobs: 21/21 files", seen)
        self.assertRegex(seen, r"read, [0-9.]+ [KM]iB written, [0-9.]+ [KMG]?i?B/s")
        self.assertIn("published version 1: 21 files", out)

        out, seen = self.terminal_run("verify", self.feed, "--quiet")
        self.assertEqual((out, seen), ("", ""))


if __name__ == "__main__":
    unittest.main()
