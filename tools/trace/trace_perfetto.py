"""The trace as Chrome trace-event JSON, for Perfetto or chrome://tracing:
writes, reads and the waits for replies each on a track of their own."""
import json

TRACKS = {"write": 1, "check": 2, "read": 3, "other": 4}
NAMES = {1: "writes", 2: "waits for a reply (receive-queue checks)", 3: "reads", 4: "other library calls"}


def events(trace, frames):
    out = [{"ph": "M", "pid": 1, "name": "process_name", "args": {"name": "SorvikFpgaUpdate (bridge library calls)"}}]
    out += [{"ph": "M", "pid": 1, "tid": tid, "name": "thread_name", "args": {"name": name}}
            for tid, name in NAMES.items()]
    names = {id(f.write): f.name for f in frames}
    for c in trace.calls:
        op = c.get("op")
        tid = TRACKS.get(op, TRACKS["other"])
        start = c.get("t", 0)
        length = (c.get("last", start) - start + 1) if op == "check" else max(c.get("dur", 0), 1)
        args = {k: v for k, v in c.items() if k not in ("op", "t", "dur")}
        name = names.get(id(c), op)
        out.append({"ph": "X", "pid": 1, "tid": tid, "ts": start, "dur": length, "name": name, "args": args})
    return out


def write(path, trace, frames):
    with open(path, "w") as f:
        json.dump({"traceEvents": events(trace, frames), "displayTimeUnit": "ms"}, f)
