"""Reading a trace file: its records, and what is wrong with it, in words."""
import json

FORMAT = 1  # the newest trace format this reader knows


class BadTrace(Exception):
    """The file cannot be read as a trace at all; the message says why."""


class Trace:
    def __init__(self, path, start, calls, end, torn_line, bad_lines):
        self.path = path
        self.start = start          # the first record (op "start")
        self.calls = calls          # every call record, in order
        self.end = end              # the last record (op "end"), or None
        self.torn_line = torn_line  # line number of a cut-off last line, or None
        self.bad_lines = bad_lines  # [(line number, why)] of lines that are no record

    @property
    def maker(self):
        return self.start.get("maker") or {}

    def how_it_ends(self):
        """Where the file stops, in words, when it did not end in order."""
        if self.end is not None:
            return None
        why = "the program was killed, crashed or lost power"
        if self.torn_line:
            return "the trace ends in the middle of line %d (%s)" % (self.torn_line, why)
        return "the trace has no end record (%s)" % why


def load(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise BadTrace("cannot read %s: %s" % (path, e.strerror or e))
    if not data.strip():
        raise BadTrace("%s is empty: no trace was recorded" % path)
    lines = data.split(b"\n")
    torn = None
    if lines[-1].strip():  # a last line without its line end was cut short
        torn = len(lines)
    lines = lines[:-1]
    records, bad = [], []
    for number, raw in enumerate(lines, 1):
        if not raw.strip():
            continue
        try:
            record = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            bad.append((number, "not a JSON record"))
            continue
        if not isinstance(record, dict) or not isinstance(record.get("op"), str):
            bad.append((number, "a JSON value that is no trace record"))
            continue
        records.append(record)
    if not records or records[0].get("op") != "start":
        if torn and not records and not bad:
            raise BadTrace("%s holds only a cut-off first line: the trace ends before its first record" % path)
        raise BadTrace("%s is not a trace: its first line is not the start record of a SiUSBXp trace" % path)
    start = records[0]
    version = start.get("format")
    if not isinstance(version, int):
        raise BadTrace("%s has no format version in its start record" % path)
    if version > FORMAT:
        raise BadTrace("%s is of trace format %d; this reader knows format %d at most: use a newer read_trace.py"
                       % (path, version, FORMAT))
    end = records[-1] if len(records) > 1 and records[-1].get("op") == "end" else None
    calls = records[1:-1] if end is not None else records[1:]
    return Trace(path, start, calls, end, torn, bad)
