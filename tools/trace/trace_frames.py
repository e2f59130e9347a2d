"""The frames the program sent and the replies it got, paired from the library
calls and told in the unit's own terms."""

REPLY_WINDOW_US = 2000 * 1000  # how long the program waits for a reply's first byte

MODES = {0xD6: "Normal", 0xD8: "Reset", 0xD9: "Write", 0xDB: "Update", 0xDC: "UpdateOk"}


def hexbytes(text):
    try:
        return bytes.fromhex(text or "")
    except ValueError:
        return b""


def checksum(data):
    return (-sum(data)) & 0xFF


class Frame:
    """One write of the program, the checks that waited for its reply and the
    read that took it."""

    __slots__ = ("write", "index", "bytes", "checks", "read", "reply", "late", "lost", "kind", "name", "expected")

    def __init__(self, write, index):
        self.write = write
        self.index = index            # position among the frames, from 0
        self.bytes = hexbytes(write.get("hex"))
        self.checks = []              # check records after the write
        self.read = None              # the read that took the reply
        self.reply = None             # the bytes that read delivered, when it succeeded
        self.late = None              # a read of bytes that came after the window
        self.lost = 0                 # records the trace lost while this frame waited for its reply
        self.kind, self.name, self.expected = describe(self.bytes, write.get("cut"), write.get("len"))

    def took(self, read):
        self.read = read
        self.reply = hexbytes(read.get("hex")) if read.get("st") == 0 else None

    @property
    def t(self):
        return self.write.get("t", 0)

    @property
    def library_failure(self):
        """(operation, record) of the first library call of this frame that failed."""
        if self.write.get("st"):
            return "write", self.write
        for c in self.checks:
            if c.get("st"):
                return "check", c
        if self.read and self.read.get("st"):
            return "read", self.read
        return None

    @property
    def replied_at(self):
        """t of the check that first saw a reply byte, or None."""
        for c in self.checks:
            if c.get("st") == 0 and (c.get("waiting") or 0) > 0:
                return c.get("last", c.get("t"))
        return None

    @property
    def window_over(self):
        """The program's wait for a reply ran its full window (the tick count
        it is timed by may step by 16 ms)."""
        if not self.checks:
            return False
        last = self.checks[-1]
        return last.get("last", last.get("t", 0)) - self.t >= REPLY_WINDOW_US - 100 * 1000

    @property
    def cut_short(self):
        """The trace ends while the program still waited for this reply."""
        return self.reply is None and not self.library_failure and not self.window_over and not self.lost

    @property
    def round_trip_us(self):
        at = self.replied_at
        return None if at is None else max(0, at - self.t)

    @property
    def accepted(self):
        """Whether the program takes the reply as the one it wanted."""
        reply = self.reply
        if not reply or self.library_failure or self.lost:
            return False
        if self.kind == "status":
            return True
        if self.kind == "ready":
            return reply[:2] == bytes([0xDA, 0x01])
        return self.expected is not None and reply[0] == self.expected

    @property
    def busy(self):
        reply = self.reply
        return bool(reply) and bool(reply[0] & 1)

    def outcome(self):
        """The reply in words."""
        failure = self.library_failure
        if failure:
            op, record = failure
            return "the %s call failed with status %s" % ({"check": "receive-queue check"}.get(op, op), record["st"])
        reply = self.reply
        if self.lost:
            return "unknown: the trace lost %d records while it waited for the reply" % self.lost
        if self.cut_short:
            return "the trace ends before its reply"
        if reply is None:
            return "no reply within 2000 ms"
        if not reply:
            return "a read that delivered no byte"
        shown = " ".join("%02X" % b for b in reply)
        if self.kind == "status":
            return "status %s (%s)" % (shown, "busy" if reply[0] & 1 else "idle")
        if self.kind == "ready":
            return "%s (%s)" % (shown, "ready" if self.accepted else "not ready")
        if self.accepted:
            return "%s, as expected" % shown
        if self.expected is None:
            return shown
        return "0x%02X where 0x%02X was expected" % (reply[0], self.expected)

    def text(self):
        return "%s: %s" % (self.name, self.outcome())


def describe(b, cut=False, length=None):
    """(kind, name in words, the reply byte that is accepted)."""
    if cut:
        return "unknown", "an unknown frame of %s bytes, the first %d of them recorded: %s ..." % (
            length, len(b), b[:16].hex(" ").upper()), None
    if len(b) == 3 and b[0] == 1 and b[1] == 1:
        if b[2] in MODES:
            return "mode", "mode %s (0x%02X)" % (MODES[b[2]], b[2]), b[2]
        if b[2] == 0xD5:
            return "speed", "SPI speed 12 MHz", 0xD5
        if b[2] == 0xDA:
            return "ready", "ready query", None
    if b == bytes([0x00, 0x04, 0xD0, 0x06]):
        return "write_enable", "write enable", checksum(b)
    if b == bytes([0x01, 0x01, 0xD0, 0x05]):
        return "status", "status read", None
    if len(b) == 7 and b[:4] == bytes([0x00, 0x07, 0xD0, 0xD8]):
        return "erase", "erase of sector %d" % b[4], checksum(b)
    if len(b) >= 9 and b[0] == 0 and b[2] == 0xD7 and b[3] == 0x02 and len(b) == b[1] + 8:
        n, address = b[1], (b[4] << 16) | (b[5] << 8) | b[6]
        right = checksum(b[7:7 + n]) == b[7 + n]
        return "program", "page program of %d bytes at 0x%06X%s" % (
            n, address, "" if right else " (with a wrong checksum)"), 0xD7
    if len(b) > 16:
        return "unknown", "an unknown frame of %d bytes: %s ..." % (len(b), b[:16].hex(" ").upper()), None
    return "unknown", "an unknown frame %s" % b.hex(" ").upper(), None


def program_piece(frame):
    """(address, data) of a page-program frame."""
    b = frame.bytes
    return (b[4] << 16) | (b[5] << 8) | b[6], b[7:7 + b[1]]


def pair(calls, lost_at_end=0):
    """The frames, in order. A check made once the reply window of a frame is
    over belongs to the program's look for stale bytes before its next frame;
    a read there takes a reply that came late. Where the trace lost records
    (a full buffer in the trace library), the frame waiting then is marked,
    and the checks and reads after the gap are of a frame that is not known."""
    frames, current, state = [], None, None
    for call in calls:
        op = call.get("op")
        if call.get("dropped") and current is not None:
            if state == "waiting":
                current.lost += call["dropped"]
            current = None
        if op == "write":
            current, state = Frame(call, len(frames)), "waiting"
            frames.append(current)
        elif current is None:
            continue
        elif op == "check":
            if state == "waiting" and call.get("t", 0) - current.t >= REPLY_WINDOW_US:
                state = "over"
            if state == "waiting":
                current.checks.append(call)
        elif op == "read":
            if state == "waiting":
                current.took(call)
                state = "replied"
            elif state == "over" and current.late is None:
                current.late = call
        elif op in ("close", "open", "count", "string", "flush"):
            current = None
    if lost_at_end and current is not None and state == "waiting":
        current.lost += lost_at_end
    return frames
