#!/usr/bin/env python3
"""Fails when a source file includes a layer it must not depend on.

The layers, lowest first:

    core <- core/system <- {net, model} <- {delta <- archive <- guild, selfupdate,
                                             diagnostics} <- engine <- app
                                             selfupdate <- updater
                           model <- ui <- app

A folder may include itself and the folders listed for it below. core/system holds the
process's contact with the system (command line, DLL search, own path, GDI+ session,
memory streams) above the foundation. The network (net) and the
records (model) stand side by side on core: what both share, such as the trust rule of an
address or the bound of one download, lives in core. Inside the subsystem tier the order is
delta, archive, guild (the archive rebase reads delta packages, the guild icons rebuild an
archive); self-update and diagnostics stand alone. The engine is itself five folders, lowest
first: client (the client's place, the services and the view every unit shares), manifest,
install, update (the update's steps) and actions (the front door). The window (ui) sees only
the records, never the engine; the shell (app) composes everything. The
updater program stands on the self-update library alone: it shares the hand-over's
contract, never the engine.
Each folder is also its own library: no CMakeLists adds sources to another folder's
target.

Usage: check_layers.py [SOURCE_ROOT]   (default: the src folder beside this script)
"""

import re
import sys
from pathlib import Path

FOUNDATION = ["core", "core/system"]
RECORDS = FOUNDATION + ["net", "model"]
SUBSYSTEMS = RECORDS + ["delta", "archive", "guild", "selfupdate", "diagnostics"]
ENGINE_BASE = ["engine/client", "engine/manifest", "engine/install"]
ENGINE = ENGINE_BASE + ["engine/update", "engine/actions"]

ALLOWED = {
    "core": ["core"],
    "core/system": FOUNDATION,
    "net": FOUNDATION + ["net"],
    "model": FOUNDATION + ["model"],
    "delta": RECORDS + ["delta"],
    "archive": RECORDS + ["delta", "archive"],
    "guild": RECORDS + ["delta", "archive", "guild"],
    "selfupdate": RECORDS + ["selfupdate"],
    "diagnostics": RECORDS + ["diagnostics"],
    "engine/client": SUBSYSTEMS + ["engine/client"],
    "engine/manifest": SUBSYSTEMS + ["engine/client", "engine/manifest"],
    "engine/install": SUBSYSTEMS + ["engine/client", "engine/install"],
    "engine/update": SUBSYSTEMS + ENGINE_BASE + ["engine/update"],
    "engine/actions": SUBSYSTEMS + ENGINE,
    "ui": FOUNDATION + ["model", "ui"],
    "updater": RECORDS + ["selfupdate", "updater"],
    "app": SUBSYSTEMS + ENGINE + ["ui", "app"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"((?:engine/|core/(?=system/))?[^"/]+)/[^"]+"')
# Folders whose sub-folders are layers of their own.
SPLIT = {"engine", "core"}


def layer_faults(src):
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        parts = path.relative_to(src).parts
        layer = "/".join(parts[:2]) if parts[0] in SPLIT and len(parts) > 2 else parts[0]
        allowed = ALLOWED.get(layer)
        if allowed is None:
            faults.append(f"{path}: folder '{layer}' has no place in the layer order")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if match and match.group(1) not in allowed:
                faults.append(f"{path}:{number}: {layer} must not include {match.group(1)}/ "
                              f"(allowed: {', '.join(allowed)})")
    return faults


def library_faults(src):
    faults = []
    for cmake in sorted(src.rglob("CMakeLists.txt")):
        for number, line in enumerate(cmake.read_text(encoding="utf-8").splitlines(), 1):
            if re.match(r"\s*target_sources\s*\(", line):
                faults.append(f"{cmake}:{number}: a folder lists its files in its own library, "
                              "not through target_sources")
    return faults


def main():
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    faults = layer_faults(src) + library_faults(src)
    for fault in faults:
        print(fault, file=sys.stderr)
    if faults:
        print(f"check_layers: {len(faults)} include(s) against the layer order", file=sys.stderr)
        return 1
    print("check_layers: every include follows the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
