#!/usr/bin/env python3
"""Runs the fuzz driver's fault probe of each kind and checks that the fault was counted
and its input written, named by reader, seed and index, with the reason on stderr.

Usage: check_fault_recorders.py WINE_RUN FUZZ_READERS_EXE FAULT_FOLDER
"""

import shutil
import subprocess
import sys
from pathlib import Path

# A program that dies of an unhandled exception under Wine exits with 0 or 5 at random; what
# Wine prints then tells that it died.
WINE_CRASH = ("wine: Unhandled ", "Unhandled exception: ")
REASONS = {"crash": "reason=crash 0xc0000005", "abort": "reason=abort",
           "hang": "reason=running for more than 1 s", "throw": "reason=std::exception"}


def main():
    wine_run, driver, folder = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    failures = []
    for kind, reason in REASONS.items():
        shutil.rmtree(folder, ignore_errors=True)
        run = subprocess.run([wine_run, driver, "--probe", kind, "--inputs", "1", "--seed", "5",
                              "--faults", str(folder)], capture_output=True, text=True,
                             timeout=120)
        saved = folder / ("fault-fault_probe_%s-seed5-input0.bin" % kind)
        problems = []
        died = any(text in run.stdout + run.stderr for text in WINE_CRASH)
        if run.returncode == 0 and not died:
            problems.append("the run passed")
        if not saved.is_file() or saved.stat().st_size == 0:
            problems.append("no input written at %s" % saved.name)
        if reason not in run.stderr:
            problems.append("stderr lacks %r: %s" % (reason, run.stderr.strip()[-300:]))
        print("%-6s exit %d, %s" % (kind, run.returncode, "; ".join(problems) or "recorded"))
        failures += ["%s: %s" % (kind, p) for p in problems]
    shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
