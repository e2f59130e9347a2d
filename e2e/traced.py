"""Runs with the field trace library between the program and the simulated
unit, as a user would set it up: the simulated library renamed as the
maker's, the trace library in its place. What the trace reader decodes from
the trace is held against the simulated unit's own record of the frames."""
import glob
import json
import os
import shutil
import sys

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "trace")
sys.path.insert(0, TOOLS)

import trace_frames  # noqa: E402
import trace_load  # noqa: E402
import trace_road  # noqa: E402

MAKER = "SiUSBXp-maker.dll"
READER = os.path.join(TOOLS, "read_trace.py")


class Missing(Exception):
    pass


def place(folder, win_dir, itself_as_maker=False):
    """The run folder as a user sets it up for a trace; itself_as_maker: as
    a user who copied the trace library twice, over the maker's too."""
    library = os.path.join(win_dir, "trace", "SiUSBXp.dll")
    if not os.path.exists(library):
        raise Missing("%s is missing: build the Windows preset first" % library)
    os.replace(os.path.join(folder, "SiUSBXp.dll"), os.path.join(folder, MAKER))
    shutil.copy(library, os.path.join(folder, "SiUSBXp.dll"))
    if itself_as_maker:
        shutil.copy(library, os.path.join(folder, MAKER))


def itself_as_maker_faults(trace_path, table):
    """[] when the trace is that of the trace library found in the maker's
    place: the start record names the mistake, every call failed without a
    library, and the trace ends; else what is wrong."""
    with open(trace_path, encoding="utf-8") as f:
        records = [json.loads(line) for line in f]
    out = []
    start = records[0] if records else {}
    error = start.get("maker", {}).get("error") if start.get("op") == "start" else None
    if error != table.trace_itself_error:
        out.append("the start record's maker error is %r" % error)
    calls = records[1:-1]
    if not calls:
        out.append("no call recorded")
    status = table.trace_no_library_status
    out += ["line %d: %s" % (i + 2, json.dumps(r)) for i, r in enumerate(calls)
            if r.get("st") != status or r.get("nolib") is not True]
    if not records or records[-1].get("op") != "end":
        out.append("the trace has no end record")
    return out[:5]


def trace_files(folder):
    return sorted(glob.glob(os.path.join(folder, "SiUSBXp-trace-*.jsonl")))


def reply_sent(fault, reply):
    """What of the unit's reply reached the program, by the fault on it."""
    if fault in ("no_reply", "late_reply"):
        return None  # never, or after the program's window
    if fault == "short_read":
        return reply[:-1]
    return reply


def frame_differences(trace_path, unit_frames):
    """[] when the reader's frames are the unit's, frame for frame (bytes,
    and the reply as it reached the program); else the first differences."""
    frames = trace_frames.pair(trace_load.load(trace_path).calls)
    out = []
    if len(frames) != len(unit_frames):
        out.append("the trace holds %d frames, the unit received %d" % (len(frames), len(unit_frames)))
    for i, (f, unit) in enumerate(zip(frames, unit_frames)):
        want = reply_sent(unit.fault, unit.reply)
        if f.bytes != unit.sent:
            out.append("frame %d: the trace has %s, the unit received %s" % (i, f.bytes.hex(), unit.sent.hex()))
        elif f.reply != want and not (want is None and f.reply is None):
            out.append("frame %d (%s): reply %s in the trace, the unit's %s" % (
                i, f.name, f.reply.hex() if f.reply else None, want.hex() if want is not None else None))
        if len(out) >= 5:
            break
    return out


def unit_timing(path):
    """(round trip, erase time) in ms of the unit a trace was recorded on:
    the medians over its frames (erase and status reads aside) and over its
    erased sectors."""
    import trace_timing
    try:
        trace = trace_load.load(path)
    except trace_load.BadTrace as e:
        raise Missing(str(e))
    road = trace_road.Road(trace)
    trips = [f.round_trip_us for f in road.frames if f.round_trip_us is not None and f.kind not in ("erase", "status")]
    erases = [us for _, _, us in trace_timing.erase_times(road)]
    if not trips or not erases:
        raise Missing("the trace %s holds no %s to take the unit's timing from" % (
            path, "answered frame" if not trips else "erased sector"))
    return trace_timing.percentile(trips, 50) / 1000.0, trace_timing.percentile(erases, 50) / 1000.0


def verdict(trace_path):
    return trace_road.Road(trace_load.load(trace_path)).verdict
