"""The launcher's strict JSON reading, and the compact form its digests are taken over."""

import json

DEEPEST = 64
MOST_EVENTS = 4_000_000


class JsonProblem(ValueError):
    pass


def _no_duplicates(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise JsonProblem("the key %r occurs twice in one object" % key)
        result[key] = value
    return result


def _refuse_constant(name):
    raise JsonProblem("%s is not JSON" % name)


def _shape(value, depth=1):
    """(deepest nesting, number of parse events) as the launcher's parser counts them."""
    if isinstance(value, dict):
        deepest, events = depth, 2
        for item in value.values():
            d, e = _shape(item, depth + 1)
            deepest, events = max(deepest, d), events + e + 1
        return deepest, events
    if isinstance(value, list):
        deepest, events = depth, 2
        for item in value:
            d, e = _shape(item, depth + 1)
            deepest, events = max(deepest, d), events + e
        return deepest, events
    return depth - 1, 1


def loads(data):
    """Parses bytes as the launcher does: UTF-8, no zero byte, no duplicate key, no NaN,
    at most 64 levels and 4,000,000 parse events. Raises JsonProblem."""
    if b"\0" in data:
        raise JsonProblem("the document holds a zero byte")
    try:
        text = data.decode("utf-8")
        value = json.loads(text, object_pairs_hook=_no_duplicates,
                           parse_constant=_refuse_constant)
    except UnicodeDecodeError:
        raise JsonProblem("the document is not UTF-8") from None
    except json.JSONDecodeError as error:
        raise JsonProblem("not JSON: %s" % error) from None
    deepest, events = _shape(value)
    if deepest > DEEPEST or events > MOST_EVENTS:
        raise JsonProblem("the document nests deeper than %d or is too large" % DEEPEST)
    return value


def compact(value):
    """Keys in ascending byte order, no whitespace, UTF-8 unescaped: the form the launcher
    hashes for the manifest key (code-point order is byte order in UTF-8)."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode("utf-8")


def is_integer(value):
    return isinstance(value, int) and not isinstance(value, bool)
