"""The command line: publish, release, guild, verify, prune, keygen, resign."""

import argparse
import sys
from pathlib import Path

from . import errors, guild, prune, publish, release, signing, verify
from .errors import FeedError
from .fsutil import MANIFEST
from .progress import Progress, size_text

DESCRIPTION = """Makes and checks the static feed that the Vornell launcher reads: the update
manifest (upd/manifest.json and its .gz companion), content-addressed blobs, the delta
package for large archives, the guild icon set, and the launcher's release descriptor. Serve
FEED as the document root of the update host. With --key, the manifest and the release
descriptor get a signature beside them (DOCUMENT.sig) that launchers built with the public
key check; keygen makes the key, resign renews the signatures before they expire. Signing
needs python3-cryptography; everything else runs on the Python standard library."""

EPILOG = """exit codes: 0 done; 1 verify found problems; 2 bad command line; 3 input the
launcher would refuse, or a key file that exists (nothing was written); 4 the work failed
(I/O, a busy feed, files changing while read)."""


def size_argument(text):
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    try:
        if text[-1:].lower() in units:
            return int(text[:-1]) * units[text[-1].lower()]
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a size (bytes, or with K, M or G)" %
                                         text) from None


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def expires_days(text):
    value = int(text)
    if not 1 <= value <= signing.MOST_EXPIRES_DAYS:
        raise argparse.ArgumentTypeError("must be 1 to %d" % signing.MOST_EXPIRES_DAYS)
    return value


def trusted_key(text):
    try:
        return signing.parse_deployment(text)
    except (ValueError, FeedError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_signing(p, what, required=False):
    p.add_argument("--key", metavar="KEYFILE", required=required,
                   help="sign %s with this private key (made by keygen)" % what)
    p.add_argument("--expires-days", type=expires_days, metavar="N",
                   help="the signature expires N days from now: 1 to %d (default %d)" % (
                       signing.MOST_EXPIRES_DAYS, signing.DEFAULT_EXPIRES_DAYS))


def parser():
    top = argparse.ArgumentParser(prog="vornell-feed", description=DESCRIPTION, epilog=EPILOG)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser(
        "publish", help="publish a client folder as a new version of the feed",
        description="Hashes every file under CLIENT/element, stores each file's blob once "
        "under FEED/upd/xx/DIGEST.dat (compressed when smaller), optionally builds a delta "
        "package against the previous client, then puts the manifest live: blobs and "
        "payloads first, the manifest last.", epilog=EPILOG)
    p.add_argument("client", metavar="CLIENT", help="the client folder (holding element/)")
    p.add_argument("feed", metavar="FEED", help="the feed folder (the server's document root)")
    p.add_argument("--version", required=True,
                   help="client version shown to players: 1 to 31 visible ASCII characters")
    p.add_argument("--executable", help="the game's path as listed (default "
                   "element/elementclient.exe; only its letter case may differ)")
    p.add_argument("--base", metavar="OLD_CLIENT", help="the previous client folder: large "
                   "files that changed since it go into a delta package")
    p.add_argument("--delta-min-size", type=size_argument,
                   default=publish.DEFAULT_DELTA_MIN_SIZE, metavar="BYTES",
                   help="files of at least this size are covered by the delta package "
                   "(default 64M; files over 512 MiB are always covered)")
    p.add_argument("--jobs", type=positive, default=1, help="files worked on at once")
    p.add_argument("--compression", choices=("zlib", "gzip", "none"), default="zlib",
                   help="format of compressed blobs (default zlib); a blob is stored raw "
                   "when compressing does not make it smaller")
    p.add_argument("--level", type=int, choices=range(1, 10), default=publish.DEFAULT_LEVEL,
                   metavar="1-9", help="compression level of blobs (default %d: fast; blobs "
                   "are fetched only to repair or add files)" % publish.DEFAULT_LEVEL)
    p.add_argument("--delta-level", type=int, choices=range(1, 10),
                   default=publish.DEFAULT_DELTA_LEVEL, metavar="1-9",
                   help="compression level of delta payloads (default %d: every updating "
                   "player downloads them)" % publish.DEFAULT_DELTA_LEVEL)
    p.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                   help="leave out paths matching this pattern (e.g. 'element/logs/*'); "
                   "may be repeated")
    add_signing(p, "the manifest (upd/manifest.json.sig)")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")

    p = commands.add_parser(
        "release", help="write the launcher's release descriptor",
        description="Writes OUT, the release descriptor launchers fetch from "
        "/downloads/launcher-release-v1.json: schema 1, or schema 2 with --updater. Copy "
        "the executables to their addresses before the descriptor.", epilog=EPILOG)
    p.add_argument("launcher", metavar="LAUNCHER.exe")
    p.add_argument("out", metavar="OUT", help="the descriptor file to write")
    p.add_argument("--build", required=True, help="launcher build: four numbers, 2026.10.26.5")
    p.add_argument("--url", required=True, help="where the launcher executable is served: "
                   "https://HOST/downloads/VornellLauncher.exe")
    p.add_argument("--updater", metavar="UPDATER.exe", help="the updater component of this "
                   "build (makes a schema 2 descriptor)")
    p.add_argument("--updater-url", help="where the updater is served (default: beside the "
                   "launcher, VornellUpdater.exe)")
    p.add_argument("--updater-build", help="the updater's build (default: --build)")
    add_signing(p, "the descriptor (OUT.sig, written before OUT)")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")

    p = commands.add_parser(
        "guild", help="publish the guild icon set",
        description="Checks the atlas and its list as launchers will, then writes them under "
        "FEED/lk_server/klan/ with the version stamp last. Launchers install a set whose "
        "stamp differs from the one they installed.", epilog=EPILOG)
    p.add_argument("feed", metavar="FEED", help="the feed folder of the guild host")
    p.add_argument("--version", required=True,
                   help="the set's stamp: 1 to 63 visible ASCII characters")
    p.add_argument("--list", required=True, metavar="ICONLIST.txt",
                   help="the icon list: four numbers, then one icon file name per line")
    p.add_argument("--png", required=True, metavar="ATLAS.png",
                   help="the atlas, at most 4096 pixels in each direction")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")

    p = commands.add_parser(
        "verify", help="read a feed as the launcher would and list what is wrong",
        description="Reads FEED (a folder, or the served site's http(s) address) as launchers "
        "do: the manifest and its rules, the compressed copy's freshness, every blob decoded "
        "to its digest, the delta manifest, its coverage and its payloads. Exit code 1 when "
        "anything is wrong.", epilog=EPILOG)
    p.add_argument("feed", metavar="FEED", help="feed folder or site address")
    p.add_argument("--trust", type=trusted_key, action="append", default=[],
                   metavar="ID:HEX", help="a public key (as keygen prints it) the manifest "
                   "may be signed with; with any, the signature must be there and check; "
                   "may be repeated")
    p.add_argument("--release", action="append", default=[], metavar="FILE",
                   help="also check the signature (FILE.sig) of this release descriptor; "
                   "may be repeated")
    p.add_argument("--jobs", type=positive, default=1, help="blobs checked at once")
    p.add_argument("--quiet", action="store_true", help="print only the problems")

    p = commands.add_parser(
        "prune", help="remove blobs and payloads that recent manifests do not name",
        description="Keeps everything the live manifest and the last N published manifests "
        "name (blobs, delta manifests, payloads) and removes the rest; history entries "
        "older than those N are dropped.", epilog=EPILOG)
    p.add_argument("feed", metavar="FEED")
    p.add_argument("--keep", type=positive, required=True, metavar="N",
                   help="published manifests whose files stay (the live one always stays)")
    p.add_argument("--dry-run", action="store_true", help="list what would go, remove nothing")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")

    p = commands.add_parser(
        "keygen", help="make a signing key",
        description="Writes a new ECDSA P-256 private key to KEYFILE (PEM, readable by its "
        "owner only; an existing file is never overwritten) and prints the public key as "
        "ID:HEX, the value launcher builds are configured with (VORN_FEED_KEYS).",
        epilog=EPILOG)
    p.add_argument("keyfile", metavar="KEYFILE")

    p = commands.add_parser(
        "resign", help="renew the signatures of the live documents",
        description="Signs FEED/upd/manifest.json and each release descriptor again with a "
        "higher sequence and a new expiry; the documents themselves stay as they are. Run "
        "it on a schedule well inside the expiry.", epilog=EPILOG)
    add_signing(p, "the documents", required=True)
    p.add_argument("--feed", metavar="FEED", help="the feed folder whose manifest is signed")
    p.add_argument("--release", action="append", default=[], metavar="FILE",
                   help="a release descriptor to sign (FILE.sig); may be repeated")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return top


def usage_problem(args):
    if getattr(args, "expires_days", None) is not None and not args.key:
        return "--expires-days needs --key"
    if args.command == "resign" and not args.feed and not args.release:
        return "resign needs --feed FEED, --release FILE, or both"
    return None


def signing_key(args):
    """(private key, expiry in days) of the command line; the key is None without --key."""
    key = signing.load_private_key(args.key) if args.key else None
    return key, args.expires_days or signing.DEFAULT_EXPIRES_DAYS


def signature_line(path, signature):
    return "signed %s: key %s, sequence %d, expires %s" % (
        signing.signature_path(path), signature.key, signature.sequence, signature.expires)


def run_publish(args, progress):
    key, days = signing_key(args)
    outcome = publish.publish(args.client, args.feed, args.version, args.executable,
                              args.base, args.jobs, args.delta_min_size, args.compression,
                              args.level, args.exclude, progress, args.delta_level, key, days)
    if not args.quiet:
        print(publish.summary(outcome))
    return errors.EXIT_OK


def run_release(args, progress):
    key, days = signing_key(args)
    text = release.descriptor(args.launcher, args.build, args.url, args.updater,
                              args.updater_url, args.updater_build)
    signature = release.write_release(args.out, text, key, days)
    if not args.quiet:
        print("wrote %s (schema %d, build %s)" % (args.out, 2 if args.updater else 1,
                                                  args.build))
        if signature is not None:
            print(signature_line(args.out, signature))
    return errors.EXIT_OK


def run_guild(args, progress):
    folder = guild.publish_guild(args.feed, args.version, args.list, args.png)
    if not args.quiet:
        print("published guild icons %s in %s" % (args.version, folder))
    return errors.EXIT_OK


def run_verify(args, progress):
    trusted = dict(args.trust) if args.trust else None
    problems, document = verify.verify(args.feed, progress, args.jobs, trusted)
    for path in args.release:
        problems += verify.verify_release(path, trusted, progress)
    for problem in problems:
        print("problem: %s" % problem)
    if problems:
        print("%d problem(s) in %s" % (len(problems), args.feed))
        return errors.EXIT_PROBLEMS
    if not args.quiet:
        print("feed OK: version %s, %d files, manifest key %s%s" % (
            document.version, len(document.files), document.key,
            ", with a delta package" if document.delta else ""))
    return errors.EXIT_OK


def run_prune(args, progress):
    removed, freed, dropped = prune.prune(args.feed, args.keep, args.dry_run, progress)
    if not args.quiet:
        for path in removed:
            print(("would remove %s" if args.dry_run else "removed %s") % path)
        print("%s %d files (%s); %d older history entries %s" % (
            "would remove" if args.dry_run else "removed", len(removed), size_text(freed),
            dropped, "would be dropped" if args.dry_run else "dropped"))
    return errors.EXIT_OK


def run_keygen(args, progress):
    # Only the public key goes to stdout, so that a script can capture it whole.
    print(signing.deployment_form(signing.keygen(args.keyfile)))
    return errors.EXIT_OK


def run_resign(args, progress):
    key, days = signing_key(args)
    signed = []
    if args.feed:
        signed.append((Path(args.feed) / MANIFEST, publish.resign(args.feed, key, days)))
    for path in args.release:
        signed.append((path, signing.sign_file(key, "release", path, days)))
    if not args.quiet:
        for path, signature in signed:
            print(signature_line(path, signature))
    return errors.EXIT_OK


def main(argv=None):
    top = parser()
    args = top.parse_args(argv)
    problem = usage_problem(args)
    if problem:
        top.error(problem)
    progress = Progress(quiet=getattr(args, "quiet", False))
    command = {"publish": run_publish, "release": run_release, "guild": run_guild,
               "verify": run_verify, "prune": run_prune, "keygen": run_keygen,
               "resign": run_resign}[args.command]
    try:
        return command(args, progress)
    except FeedError as error:
        progress.end()
        print("vornell-feed: error: %s" % error, file=sys.stderr)
        return error.exit_code
    except OSError as error:
        progress.end()
        print("vornell-feed: error: %s" % error, file=sys.stderr)
        return errors.EXIT_FAILED
    except KeyboardInterrupt:
        progress.end()
        print("vornell-feed: interrupted", file=sys.stderr)
        return errors.EXIT_FAILED
