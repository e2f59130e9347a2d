"""What the trace tells of time: round trips by frame kind, erase time per
sector, the pauses, the whole update against the protocol's floor, and the
cost of each library operation."""

PAUSE_US = 500 * 1000  # a gap between two frames at least this long is a pause


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    k = (len(ordered) - 1) * p / 100.0
    low = int(k)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (k - low)


def spread(values):
    return {"n": len(values), "median": percentile(values, 50), "p95": percentile(values, 95),
            "p99": percentile(values, 99), "max": max(values) if values else None}


def round_trips(frames):
    by_kind = {}
    for f in frames:
        rt = f.round_trip_us
        if rt is not None:
            by_kind.setdefault(f.kind, []).append(rt)
    return {kind: spread(v) for kind, v in sorted(by_kind.items())}


def erase_times(road):
    """[(image name, sector, µs from the erase frame to the status read that found the flash idle)]"""
    out = []
    for image in road.images:
        for sector, erase, idle in image.sectors:
            if idle is not None and idle.replied_at is not None:
                out.append((image.name, sector, idle.replied_at - erase.t))
    return out


def frame_end(f):
    """When the program was done with a frame: its read, else its last check."""
    if f.read:
        return f.read.get("t", f.t) + f.read.get("dur", 0)
    if f.checks:
        return f.checks[-1].get("last", f.checks[-1].get("t", f.t))
    return f.t


def pauses(frames):
    """[(µs, the frame after the pause)]: gaps between frames outside the erase polls."""
    out = []
    for before, after in zip(frames, frames[1:]):
        gap = after.t - frame_end(before)
        if gap >= PAUSE_US and before.kind != "status":
            out.append((gap, after))
    return out


def floor_us(road, frames):
    """The least time the update's frames allow (bench/README.md): every frame's
    round trip at the median measured, every sector's erase at the median
    measured, the 3 ms before each erase run, 1 ms after each idle status read,
    and the 1000 ms pauses the procedure mandates."""
    trips = [f.round_trip_us for f in frames if f.round_trip_us is not None]
    if not trips:
        return None
    r = percentile(trips, 50)
    erases = [us for _, _, us in erase_times(road)]
    e = percentile(erases, 50) if erases else r
    total = 0.0
    for f in frames:
        if f.kind == "status" or (f.kind == "ready" and not f.accepted):
            continue
        total += max(r, e) if f.kind == "erase" else r
    sectors = sum(len(i.sectors) for i in road.images)
    total += sectors * (r + 1000) + len(road.images) * 3000
    not_ready = sum(1 for f in frames if f.kind == "ready" and not f.accepted)
    total += not_ready * (r + 10000)
    total += sum(1 for gap, _ in pauses(frames) if gap >= 900 * 1000) * 1000 * 1000
    return total


def operation_costs(calls):
    """The library's own time per operation: (calls, mean µs, max µs)."""
    by_op = {}
    for c in calls:
        n = c.get("n", 1)
        entry = by_op.setdefault(c.get("op"), [0, 0, 0])
        entry[0] += n
        entry[1] += c.get("dur", 0)
        entry[2] = max(entry[2], c.get("dur", 0) / max(n, 1))
    return {op: (n, total / n if n else 0, peak) for op, (n, total, peak) in sorted(by_op.items())}


def whole_us(frames):
    if not frames:
        return 0
    return frame_end(frames[-1]) - frames[0].t
