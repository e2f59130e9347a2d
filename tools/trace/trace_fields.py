"""The keys a trace record may carry and the type of each, checked once as a
record is read: past this point every known key holds what the trace
library writes, and keys this reader does not know are left out."""
import re

LIMIT = 2 ** 63  # times, counts and sizes are 64-bit at most
HEX = re.compile(r"(?:[0-9A-Fa-f]{2})*\Z")
HANDLE = re.compile(r"0x[0-9A-Fa-f]{1,16}\Z")
CUT_BYTES = 4096  # a write or read records at most this many bytes


def whole(v):
    return type(v) is int and 0 <= v < LIMIT


def signed(v):
    return type(v) is int and -LIMIT <= v < LIMIT


def positive(v):
    return whole(v) and v >= 1


def hexbytes(v):
    return isinstance(v, str) and len(v) <= 2 * CUT_BYTES and HEX.match(v) is not None


def handle(v):
    return isinstance(v, str) and HANDLE.match(v) is not None


def text(v):
    return isinstance(v, str)


def flag(v):
    return type(v) is bool


def or_null(test):
    def test_or_null(v):
        return v is None or test(v)
    test_or_null.inner = test
    return test_or_null


def two_flags(v):
    return isinstance(v, list) and len(v) == 2 and all(signed(x) for x in v)


WORDS = {whole: "a whole number", signed: "a whole number", positive: "a whole number of at least 1",
         hexbytes: "a byte string in hex of at most 4096 bytes", handle: "a handle", text: "a text",
         flag: "true or false", two_flags: "a pair of flags"}

CALL = {"t": whole, "dur": whole, "th": whole, "st": signed, "dropped": positive}
OPS = {
    "count": {"count": or_null(whole)},
    "string": {"index": whole, "kind": whole, "str": hexbytes, "term": flag},
    "open": {"index": whole, "handle": or_null(handle)},
    "close": {"handle": or_null(handle)},
    "read": {"handle": or_null(handle), "ask": whole, "got": or_null(whole), "hex": hexbytes,
             "ovl": or_null(handle), "cut": flag},
    "write": {"handle": or_null(handle), "len": whole, "hex": hexbytes, "out": or_null(whole),
              "ovl": or_null(handle), "cut": flag},
    "flush": {"handle": or_null(handle), "flags": two_flags},
    "check": {"handle": or_null(handle), "waiting": or_null(whole), "qstat": or_null(whole), "n": positive,
              "last": whole},
}
REQUIRED = ("t", "st")  # what every call record needs to be placed and judged
END = {"t": whole, "calls": whole, "dropped": positive}
START = {"format": positive, "utc": text, "windows": text, "bits": whole, "qpc_hz": whole}
FILE = {"path": text, "size": whole, "sha256": text, "error": text}  # "program" and "maker"


def words(test):
    return WORDS.get(test, "null or " + WORDS.get(getattr(test, "inner", None), "of its kind"))


def keyed(fields):
    """{key: (the key, its test)}: a record keeps the table's key, one copy of each name for all records."""
    return {key: (key, test) for key, test in fields.items()}


CALLS = {op: keyed(dict(CALL, **fields)) for op, fields in OPS.items()}  # every key of each call record
NAMES = {op: op for op in OPS}


def checked(record, fields, required=()):
    """(the record's known keys, None) when each holds its type, else
    (None, the first fault in words). `fields` as keyed() makes it."""
    out = {}
    for key in required:
        if key not in record:
            return None, "it lacks `%s`" % key
    for key, value in record.items():
        known = fields.get(key)
        if known is None:
            continue
        if not known[1](value):
            return None, "`%s` is not %s" % (key, words(known[1]))
        out[known[0]] = value
    return out, None


def call(record):
    """(the call record with its known keys, None) or (None, why it is no call record)."""
    fields = CALLS.get(record["op"])
    if fields is None:
        return None, "an operation this reader does not know"
    out, why = checked(record, fields, REQUIRED)
    if out is not None:
        out["op"] = NAMES[record["op"]]
    return out, why


def end(record):
    out, why = checked(record, keyed(END), ("t",))
    if out is not None:
        out["op"] = "end"
    return out, why


def start(record):
    """(the start record with its known keys, None) or (None, why not)."""
    out, why = checked(record, keyed(START), ("format",))
    if out is None:
        return None, why
    out["op"] = "start"
    for part in ("program", "maker"):
        if part not in record:
            continue
        if not isinstance(record[part], dict):
            return None, "`%s` is not an object" % part
        out[part], why = checked(record[part], keyed(FILE))
        if why:
            return None, "in `%s`, %s" % (part, why)
    return out, None
