"""release: the descriptor that tells launchers about a new launcher build.

Schema 1 names the launcher executable; schema 2 adds the updater component. Everything a
launcher would refuse (build text, sizes, the program image, the addresses) is refused
here first, so a descriptor that is written is one that launchers take. With a key, OUT.sig
signs it.
"""

import hashlib
import json
from pathlib import Path

from . import rules, signing
from .errors import Refused
from .fsutil import write_atomic


def entry_for(path, build, url, largest, download_path, what):
    problem = rules.build_problem(build)
    if problem:
        raise Refused("the %s build %r %s" % (what, build, problem))
    problem = rules.release_url_problem(url, download_path)
    if problem:
        raise Refused("the %s address %s %s" % (what, url, problem))
    data = Path(path).read_bytes()
    if not rules.SMALLEST_EXECUTABLE <= len(data) <= largest:
        raise Refused("%s holds %d bytes; a %s must hold %d to %d" % (
            path, len(data), what, rules.SMALLEST_EXECUTABLE, largest))
    problem = rules.windows_executable_problem(data)
    if problem:
        raise Refused("%s %s" % (path, problem))
    return {"build": build, "sha256": hashlib.sha256(data).hexdigest(), "size": len(data),
            "url": url}


def updater_url_beside(url):
    """The updater's address by default: the launcher's, with the updater's file name."""
    return url.rsplit("/", 1)[0] + "/" + rules.UPDATER_DOWNLOAD_PATH.rsplit("/", 1)[1]


def descriptor(launcher, build, url, updater=None, updater_url=None, updater_build=None):
    document = {"schema": 1}
    document.update(entry_for(launcher, build, url, rules.LARGEST_LAUNCHER,
                              rules.LAUNCHER_DOWNLOAD_PATH, "launcher"))
    if updater is not None:
        document["schema"] = 2
        document["updater"] = entry_for(updater, updater_build or build,
                                        updater_url or updater_url_beside(url),
                                        rules.LARGEST_UPDATER, rules.UPDATER_DOWNLOAD_PATH,
                                        "updater")
    elif updater_url is not None or updater_build is not None:
        raise Refused("--updater-url and --updater-build need --updater")
    text = (json.dumps(document, indent=2) + "\n").encode("ascii")
    if len(text) > rules.LARGEST_DESCRIPTOR:
        raise Refused("the descriptor would hold %d bytes; launchers read at most %d" % (
            len(text), rules.LARGEST_DESCRIPTOR))
    return text


def write_release(out, text, key=None, expires_days=signing.DEFAULT_EXPIRES_DAYS):
    """Writes OUT, and OUT.sig before it when a key is given (as for the manifest: whoever
    has the new descriptor finds its signature there). Returns the Signature or None."""
    signature = None
    if key is not None:
        signature = signing.sign_bytes(key, "release", text, signing.signature_path(out),
                                       expires_days)
    write_atomic(out, text)
    return signature
