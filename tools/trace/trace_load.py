"""Reading a trace file: its records, and what is wrong with it, in words.
The file is read a line at a time, within stated limits, so that a file
from anywhere is read in bounded time and memory."""
import json
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

import trace_fields

FORMAT = 1                   # the newest trace format this reader knows
MAX_LINES = 1000 * 1000      # a full update of the largest image and its parts writes about 200,000
MAX_LINE_BYTES = 1024 * 1024  # the longest record, a start record with two long paths, is far shorter
SHOWN_BAD_LINES = 20         # bad lines named one by one; the rest are counted


class BadTrace(Exception):
    """The file cannot be read as a trace at all; the message says why."""


@dataclass
class Trace:
    path: str
    start: dict                         # the first record (op "start")
    calls: list                         # every call record, in order
    end: Optional[dict] = None          # the last record (op "end"), or None
    torn_line: Optional[int] = None     # line number of a cut-off last line, or None
    bad_lines: List[Tuple[int, str]] = field(default_factory=list)  # the first of them: (line number, why)
    bad_count: int = 0                  # lines that are no record, all of them
    gaps: List[Tuple[int, int]] = field(default_factory=list)  # (line number, records lost before it)

    @property
    def maker(self):
        return self.start.get("maker") or {}

    def bad(self, number, why):
        self.bad_count += 1
        if len(self.bad_lines) < SHOWN_BAD_LINES:
            self.bad_lines.append((number, why))

    def how_it_ends(self):
        """Where the file stops, in words, when it did not end in order."""
        if self.end is not None:
            return None
        why = "the program was killed or crashed, the machine lost power, or the disk was full"
        if self.torn_line:
            return "the trace ends in the middle of line %d (%s)" % (self.torn_line, why)
        return "the trace has no end record (%s)" % why


def no_constant(name):
    raise ValueError("%s is no number" % name)


def bounded_int(digits):
    """A number of more digits than any 64-bit value is no whole number of a
    trace (a float, which no key takes); reading it whole would cost time
    that grows with the square of its length."""
    return int(digits) if len(digits) <= 21 else float("inf")


def parse(decoder, raw):
    """The JSON value of a line, or None when the line is no JSON."""
    try:
        return decoder.decode(raw.decode("utf-8"))
    except (ValueError, RecursionError):
        return None


def lines(f, path):
    """(line number, the line without its end or None when it is too long,
    whether it had its line end)."""
    number = 0
    while True:
        raw = f.readline(MAX_LINE_BYTES + 1)
        if not raw:
            return
        number += 1
        if number > MAX_LINES:
            raise BadTrace("%s has more than %d lines, more than any trace of an update holds: not read"
                           % (path, MAX_LINES))
        if len(raw) > MAX_LINE_BYTES:
            while raw and not raw.endswith(b"\n"):
                raw = f.readline(MAX_LINE_BYTES)
            yield number, None, True
            continue
        whole_line = raw.endswith(b"\n")
        yield number, raw.rstrip(b"\n") if whole_line else raw, whole_line


def first_record(record, path):
    """The start record, checked; BadTrace when the file is no trace this reader can read."""
    if record.get("op") != "start":
        raise BadTrace("%s is not a trace: its first line is not the start record of a SiUSBXp trace" % path)
    version = record.get("format")
    if type(version) is not int:
        raise BadTrace("%s has no format version in its start record" % path)
    if version > FORMAT:
        raise BadTrace("%s is of trace format %d; this reader knows format %d at most: use a newer read_trace.py"
                       % (path, version, FORMAT))
    start, why = trace_fields.start(record)
    if start is None:
        raise BadTrace("%s has a start record the trace library does not write: %s" % (path, why))
    return start


def take(trace, number, record, handles):
    """Adds one record after the start record to the trace; `handles` keeps
    one copy of each handle's text for all records."""
    op = record["op"]
    if trace.end is not None:
        trace.bad(trace.end["line"], "an end record before the last record")
        trace.end = None
    if op == "start":
        return trace.bad(number, "a second start record")
    checked, why = (trace_fields.end if op == "end" else trace_fields.call)(record)
    if checked is None:
        return trace.bad(number, why)
    if "dropped" in checked:
        trace.gaps.append((number, checked["dropped"]))
    if op == "end":
        checked["line"] = number
        trace.end = checked
    else:
        if checked.get("handle"):
            checked["handle"] = handles.setdefault(checked["handle"], checked["handle"])
        trace.calls.append(checked)


def read(f, path):
    trace, seen = None, False
    early = Trace(path, {}, [])  # bad lines before the start record
    decoder = json.JSONDecoder(parse_constant=no_constant, parse_int=bounded_int)  # NaN, Infinity: no numbers
    handles = {}
    for number, raw, whole_line in lines(f, path):
        if raw is None:
            (trace or early).bad(number, "longer than the %d bytes a trace line can have" % MAX_LINE_BYTES)
            continue
        if not raw.strip():
            continue
        seen = True
        if not whole_line:  # a last line without its line end was cut short
            if trace is None and early.bad_count:
                break
            if trace is None:
                raise BadTrace("%s holds only a cut-off first line: the trace ends before its first record" % path)
            trace.torn_line = number
            break
        record = parse(decoder, raw)
        if not isinstance(record, dict) or not isinstance(record.get("op"), str):
            (trace or early).bad(number, "a JSON value that is no trace record" if record is not None
                                 else "not a JSON record")
            continue
        if trace is None:
            trace = Trace(path, first_record(record, path), [], bad_lines=early.bad_lines,
                          bad_count=early.bad_count)
        else:
            take(trace, number, record, handles)
    if trace is None:
        if not seen:
            raise BadTrace("%s is empty: no trace was recorded" % path)
        raise BadTrace("%s is not a trace: its first line is not the start record of a SiUSBXp trace" % path)
    return trace


def load(path):
    try:
        with open(path, "rb") as f:
            return read(f, path)
    except OSError as e:
        raise BadTrace("cannot read %s: %s" % (path, e.strerror or e))
