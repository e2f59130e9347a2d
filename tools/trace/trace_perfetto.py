"""The trace as Chrome trace-event JSON, for Perfetto or chrome://tracing:
writes, reads and the waits for replies each on a track of their own."""
import json
import os

TRACKS = {"write": 1, "check": 2, "read": 3, "other": 4}
NAMES = {1: "writes", 2: "waits for a reply (receive-queue checks)", 3: "reads", 4: "other library calls"}


def events(trace, frames):
    yield {"ph": "M", "pid": 1, "name": "process_name", "args": {"name": "SorvikFpgaUpdate (bridge library calls)"}}
    for tid, name in NAMES.items():
        yield {"ph": "M", "pid": 1, "tid": tid, "name": "thread_name", "args": {"name": name}}
    names = {id(f.write): f.name for f in frames}
    for c in trace.calls:
        op = c.get("op")
        tid = TRACKS.get(op, TRACKS["other"])
        start = c.get("t", 0)
        length = max(c.get("last", start) - start + 1 if op == "check" else c.get("dur", 0), 1)
        args = {k: v for k, v in c.items() if k not in ("op", "t", "dur")}
        name = names.get(id(c), op)
        yield {"ph": "X", "pid": 1, "tid": tid, "ts": start, "dur": length, "name": name, "args": args}


def write(path, trace, frames):
    """Written whole or not at all: event by event into a file beside it,
    which then takes the name."""
    part = path + ".part"
    try:
        with open(part, "w", encoding="utf-8") as f:
            f.write('{"displayTimeUnit": "ms", "traceEvents": [')
            for n, event in enumerate(events(trace, frames)):
                f.write((",\n" if n else "\n") + json.dumps(event, allow_nan=False))
            f.write("\n]}\n")
        os.replace(part, path)
    finally:
        if os.path.exists(part):
            os.remove(part)
