"""Signatures of the feed's documents: the manifest and the release descriptor.

A signed document D gets D.sig beside it: a small JSON document naming D's digest and
size, a sequence and an expiry, signed with ECDSA P-256 over SHA-256. Launchers built with
the operator's public keys check it before they trust D. The cryptography package is
imported only here and only when a key is used, so every other command keeps running on
the standard library alone.
"""

import calendar
import hashlib
import json
import os
import re
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from types import SimpleNamespace

from . import strictjson
from .errors import FeedError, Refused
from .fsutil import write_atomic

SCHEMA = "vornell.feed-signature.v1"
KINDS = ("manifest", "release")
SUFFIX = ".sig"
LARGEST_SIGNATURE = 4096
LARGEST_SIGNED = 16_777_216
LARGEST_SEQUENCE = 9_007_199_254_740_991  # 2^53 - 1: exact in any JSON reader
DEFAULT_EXPIRES_DAYS = 30
MOST_EXPIRES_DAYS = 366
DAY = 86400
EXPIRY_FORMAT = "%Y-%m-%dT%H:%M:%SZ"

EXPIRY = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")


def _hex(digits):
    pattern = re.compile("[0-9a-f]{%d}" % digits)
    return lambda value: isinstance(value, str) and pattern.fullmatch(value) is not None


def _counter(largest):
    return lambda value: strictjson.is_integer(value) and 1 <= value <= largest


class SignatureProblem(ValueError):
    pass


def crypto():
    """The parts of the cryptography package the tool uses, imported on first need."""
    try:
        from cryptography.exceptions import InvalidSignature
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
    except ImportError:
        raise FeedError("signing needs the cryptography package (Debian: "
                        "python3-cryptography)") from None
    return SimpleNamespace(ec=ec, hashes=hashes, serialization=serialization, utils=utils,
                           InvalidSignature=InvalidSignature)


# Keys.

def raw_public_key(key):
    """X||Y, 64 bytes, of a private or public key: the form ids and deployments use."""
    c = crypto()
    public = key.public_key() if isinstance(key, c.ec.EllipticCurvePrivateKey) else key
    return public.public_bytes(c.serialization.Encoding.X962,
                               c.serialization.PublicFormat.UncompressedPoint)[1:]


def key_id(raw):
    """The first 16 hex digits of SHA-256 over the 64 raw bytes of a public key."""
    return hashlib.sha256(raw).hexdigest()[:16]


def deployment_form(key):
    """ID:HEX, the value a launcher build is configured with."""
    raw = raw_public_key(key)
    return "%s:%s" % (key_id(raw), raw.hex())


def parse_deployment(text):
    """(key id, public key) of ID:HEX. Raises ValueError for anything a launcher refuses."""
    key, _, point = text.partition(":")
    if not _hex(16)(key) or not _hex(128)(point):
        raise ValueError("%r is not ID:HEX (16 and 128 lower-case hex digits)" % text)
    raw = bytes.fromhex(point)
    if key_id(raw) != key:
        raise ValueError("the id %s is not the fingerprint of its key (%s)" % (key,
                                                                              key_id(raw)))
    c = crypto()
    try:
        public = c.ec.EllipticCurvePublicKey.from_encoded_point(c.ec.SECP256R1(),
                                                                b"\x04" + raw)
    except ValueError:
        raise ValueError("the key %s is not a point on P-256" % key) from None
    return key, public


def keygen(path):
    """A new private key in PATH (PKCS8 PEM, owner only); an existing file is refused."""
    c = crypto()
    private = c.ec.generate_private_key(c.ec.SECP256R1())
    pem = private.private_bytes(c.serialization.Encoding.PEM,
                                c.serialization.PrivateFormat.PKCS8,
                                c.serialization.NoEncryption())
    try:
        descriptor = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600)
    except FileExistsError:
        raise Refused("%s exists: a key is never overwritten" % path) from None
    try:
        with os.fdopen(descriptor, "wb") as out:
            out.write(pem)
            out.flush()
            os.fsync(out.fileno())
    except BaseException:
        os.unlink(path)  # a cut key would block the next keygen and sign nothing
        raise
    return private


def load_private_key(path):
    c = crypto()
    data = Path(path).read_bytes()
    try:
        key = c.serialization.load_pem_private_key(data, password=None)
    except (ValueError, TypeError):
        raise Refused("%s is not an unencrypted PEM private key" % path) from None
    if not isinstance(key, c.ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise Refused("%s is not a P-256 (ECDSA) key; make one with keygen" % path)
    return key


# The signature document.

def expiry_text(seconds):
    return time.strftime(EXPIRY_FORMAT, time.gmtime(int(seconds)))


def expiry_seconds(text):
    """Seconds of an expiry in the document's form, or None. Only the canonical text of a
    real UTC second passes: no 24:00, no leap second, no February 30."""
    if not isinstance(text, str) or not EXPIRY.fullmatch(text):
        return None
    try:
        seconds = calendar.timegm(time.strptime(text, EXPIRY_FORMAT))
    except (ValueError, OverflowError):
        return None
    return seconds if expiry_text(seconds) == text else None


@dataclass
class Signature:
    key: str
    kind: str
    sha256: str
    size: int
    sequence: int
    expires: str
    signature: str

    def message(self):
        """The signed bytes: seven lines, each ending in a line feed."""
        lines = (SCHEMA, self.key, self.kind, self.sha256, str(self.size),
                 str(self.sequence), self.expires)
        return "".join(line + "\n" for line in lines).encode("ascii")

    def document(self):
        return (json.dumps(dict(schema=SCHEMA, **asdict(self)), indent=2) + "\n").encode(
            "ascii")


def sign_message(private_key, message):
    """r||s of an ECDSA P-256 / SHA-256 signature, as 128 lower-case hex digits."""
    c = crypto()
    der = private_key.sign(message, c.ec.ECDSA(c.hashes.SHA256()))
    r, s = c.utils.decode_dss_signature(der)
    return (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex()


def signature_document(private_key, kind, data, sequence, expires):
    """The bytes of D.sig for DATA. expires: seconds since the epoch, or the UTC text."""
    if kind not in KINDS:
        raise ValueError("the kind %r is not one of %s" % (kind, ", ".join(KINDS)))
    if not 1 <= len(data) <= LARGEST_SIGNED:
        raise Refused("a signed document holds 1 to %d bytes, not %d" % (LARGEST_SIGNED,
                                                                         len(data)))
    if not 1 <= sequence <= LARGEST_SEQUENCE:
        raise Refused("the sequence %d is outside 1 to %d" % (sequence, LARGEST_SEQUENCE))
    text = expires if isinstance(expires, str) else expiry_text(expires)
    if expiry_seconds(text) is None:
        raise ValueError("the expiry %r is not YYYY-MM-DDTHH:MM:SSZ" % text)
    signature = Signature(key_id(raw_public_key(private_key)), kind,
                          hashlib.sha256(data).hexdigest(), len(data), sequence, text, "")
    signature.signature = sign_message(private_key, signature.message())
    return signature.document()


# The document's fields in their written order, each with the rule launchers hold it to.
FIELD_RULES = {
    "schema": (lambda value: value == SCHEMA, "is not " + SCHEMA),
    "key": (_hex(16), "is not 16 lower-case hex digits"),
    "kind": (lambda value: value in KINDS, "is not one of " + ", ".join(KINDS)),
    "sha256": (_hex(64), "is not 64 lower-case hex digits"),
    "size": (_counter(LARGEST_SIGNED), "is not an integer from 1 to %d" % LARGEST_SIGNED),
    "sequence": (_counter(LARGEST_SEQUENCE),
                 "is not an integer from 1 to %d" % LARGEST_SEQUENCE),
    "expires": (lambda value: expiry_seconds(value) is not None,
                "is not a UTC time YYYY-MM-DDTHH:MM:SSZ"),
    "signature": (_hex(128), "is not 128 lower-case hex digits"),
}
FIELDS = tuple(FIELD_RULES)


def read_signature(data):
    """The signature document as launchers read it. Raises SignatureProblem."""
    if len(data) > LARGEST_SIGNATURE:
        raise SignatureProblem("holds %d bytes; a signature holds at most %d" % (
            len(data), LARGEST_SIGNATURE))
    try:
        value = strictjson.loads(data)
    except strictjson.JsonProblem as problem:
        raise SignatureProblem(str(problem)) from None
    if not isinstance(value, dict) or set(value) != set(FIELDS):
        raise SignatureProblem("is not one object with exactly the keys %s" %
                               ", ".join(FIELDS))
    for name in FIELDS:
        passes, rule = FIELD_RULES[name]
        if not passes(value[name]):
            raise SignatureProblem("the %s %s" % (name, rule))
    value.pop("schema")
    return Signature(**value)


def signed_by(signature, public_key):
    c = crypto()
    raw = bytes.fromhex(signature.signature)
    der = c.utils.encode_dss_signature(int.from_bytes(raw[:32], "big"),
                                       int.from_bytes(raw[32:], "big"))
    try:
        public_key.verify(der, signature.message(), c.ec.ECDSA(c.hashes.SHA256()))
    except c.InvalidSignature:
        return False
    return True


def check_signature(sig_bytes, data, kind, trusted_keys, now):
    """What is wrong with SIG_BYTES as the signature of DATA: a list of sentences, empty
    when launchers take it. trusted_keys maps key ids to public keys; None leaves the
    signature itself unchecked (and the key unknown)."""
    try:
        signature = read_signature(sig_bytes)
    except SignatureProblem as problem:
        return [str(problem)]
    problems = []
    if trusted_keys is not None:
        public = trusted_keys.get(signature.key)
        if public is None:
            problems.append("signed by the key %s, which is not trusted" % signature.key)
        elif not signed_by(signature, public):
            problems.append("the signature does not verify with the key %s (altered, or "
                            "made with another key)" % signature.key)
    if (signature.sha256, signature.size) != (hashlib.sha256(data).hexdigest(), len(data)):
        problems.append("names other bytes (digest or size) than its document: sign it "
                        "again")
    if signature.kind != kind:
        problems.append("signs a %s, not a %s" % (signature.kind, kind))
    if expiry_seconds(signature.expires) <= now:
        problems.append("expired at %s (run resign)" % signature.expires)
    return problems


# Signing files.

def signature_path(path):
    return Path(str(path) + SUFFIX)


def own_keys(private_key):
    """The trusted-keys map of a signer that trusts only itself."""
    return {key_id(raw_public_key(private_key)): private_key.public_key()}


def previous_sequence(sig_path):
    """The sequence of the signature there now, 0 when there is none that reads."""
    try:
        return read_signature(Path(sig_path).read_bytes()).sequence
    except (OSError, SignatureProblem):
        return 0


def sign_bytes(private_key, kind, data, sig_path, expires_days, now=None):
    """Writes SIG_PATH for DATA, with a sequence above the one it replaces; returns the
    Signature written."""
    if not 1 <= expires_days <= MOST_EXPIRES_DAYS:
        raise Refused("a signature expires in 1 to %d days, not %d" % (MOST_EXPIRES_DAYS,
                                                                       expires_days))
    now = int(time.time() if now is None else now)
    sequence = max(previous_sequence(sig_path) + 1, now)
    document = signature_document(private_key, kind, data, sequence,
                                  now + expires_days * DAY)
    # The document must read back as launchers read it before it goes live.
    problems = check_signature(document, data, kind, own_keys(private_key), now)
    if problems:
        raise FeedError("internal check of the signature failed: " + "; ".join(problems))
    write_atomic(sig_path, document)
    return read_signature(document)


def sign_file(private_key, kind, path, expires_days, now=None):
    """PATH.sig for the file's bytes as they are."""
    return sign_bytes(private_key, kind, Path(path).read_bytes(), signature_path(path),
                      expires_days, now)


def ensure_signed(private_key, kind, data, sig_path, expires_days, now=None):
    """(Signature, written): the signature there when it checks against this key and DATA,
    else a new one."""
    now = time.time() if now is None else now
    try:
        present = Path(sig_path).read_bytes()
    except FileNotFoundError:
        present = None
    if present is not None and \
            not check_signature(present, data, kind, own_keys(private_key), now):
        return read_signature(present), False
    return sign_bytes(private_key, kind, data, sig_path, expires_days, now), True
