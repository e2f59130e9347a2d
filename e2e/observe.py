"""Readers of what a run left behind: Wine's relay trace (the program's own
TextOutW and MessageBoxW calls and its window procedure's messages), the
simulated unit's frame trace, and the window listing of list_windows.exe."""
import collections
import os
import re

from model import Tokens

_STRING = r'L"((?:[^"\\]|\\.)*)"'
_TEXT_OUT = re.compile(r'^([0-9a-f]+):Call gdi32\.TextOutW\(([0-9a-f]+),([0-9a-f]+),([0-9a-f]+),[0-9a-f]+ '
                       + _STRING + r',([0-9a-f]+)\) ret=')
_MESSAGE_BOX = re.compile(r'^([0-9a-f]+):Call user32\.MessageBoxW\(([0-9a-f]+),[0-9a-f]+ ' + _STRING
                          + r',[0-9a-f]+ ' + _STRING + r',([0-9a-f]+)\) ret=')
# "Call window proc <proc> (hwnd=<h>,msg=<name>,wp=<w>,lp=<l>)", likewise "dialog proc"
_MESSAGE = re.compile(r'^([0-9a-f]+):Call (window|dialog) proc [0-9A-Fa-f]+ '
                      r'\(hwnd=([0-9A-Fa-f]+),msg=([A-Z_0-9a-fx]+),wp=([0-9a-fA-F]+),lp=([0-9a-fA-F]+)\)')


def unescape(s):
    """Undoes Wine's debugstr_w escaping: \\n \\r \\t \\" \\\\ and \\XXXX (four hex digits)."""
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    return re.sub(r'\\([nrt"\\]|[0-9a-f]{4})',
                  lambda m: simple.get(m.group(1)) or chr(int(m.group(1), 16)), s)


def _int32(hexdigits):
    """An int argument, from a register that may carry garbage above bit 31."""
    v = int(hexdigits, 16) & 0xFFFFFFFF
    return v - (1 << 32) if v & 0x80000000 else v


# One drawing of a text, one message box, one message to a window procedure.
Text = collections.namedtuple("Text", "kind y text x count thread")
Box = collections.namedtuple("Box", "kind text caption flags owner thread")
Message = collections.namedtuple("Message", "at window hwnd msg wp lp")
# One frame the simulated unit received: when (ms), its kind, the fault it
# was told to put on its reply, the bytes sent, and its reply.
Frame = collections.namedtuple("Frame", "ms kind fault sent reply")


class Relay:
    """The program's calls in the order they happened, from all its threads."""

    def __init__(self, path):
        self.events = []    # Text and Box, in order
        self.messages = []  # Message; its `at`: the index into events at that moment
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if ":Call " not in line:
                    continue
                m = _TEXT_OUT.match(line)
                if m:
                    self.events.append(Text("text", _int32(m.group(4)), unescape(m.group(5)), _int32(m.group(3)),
                                        _int32(m.group(6)), m.group(1)))
                    continue
                m = _MESSAGE_BOX.match(line)
                if m:
                    self.events.append(Box("box", unescape(m.group(3)), unescape(m.group(4)),
                                        int(m.group(5), 16) & 0xFFFFFFFF, int(m.group(2), 16), m.group(1)))
                    continue
                m = _MESSAGE.match(line)
                if m:
                    self.messages.append(Message(len(self.events), m.group(2), int(m.group(3), 16), m.group(4),
                                          int(m.group(5), 16) & 0xFFFFFFFF, int(m.group(6), 16)))

    def shown(self):
        """Texts and boxes as the user saw them: ("text", y, text) / ("box", text, caption, flags)."""
        return [(e.kind, e.y, e.text) if e.kind == "text" else (e.kind, e.text, e.caption, e.flags)
                for e in self.events]

    def commands(self, hwnd=None, kind="window"):
        """WM_COMMAND parameters that reached a window (or dialog) procedure, with their position."""
        return [(m.at, m.wp) for m in self.messages
                if m.window == kind and m.msg == "WM_COMMAND" and (hwnd is None or m.hwnd == hwnd)]

    def received(self, msg, hwnd):
        return [(m.at, m.wp, m.lp) for m in self.messages if m.window == "window" and m.msg == msg and m.hwnd == hwnd]

    def has_text(self, text):
        return any(e.kind == "text" and e.text == text for e in self.events)


class UnitTrace:
    """trace.txt of the simulated unit: '<ms> <kind> <fault> > <bytes> < <reply>'."""

    def __init__(self, path):
        self.frames = []
        with open(path) as f:
            for line in f:
                head, _, rest = line.partition(" > ")
                sent, _, reply = rest.partition(" <")
                ms, kind, fault = head.split()
                self.frames.append(Frame(int(ms), kind, fault, bytes.fromhex(sent), bytes.fromhex(reply)))

    # Frames of one erase or one page-program run follow each other with no
    # pause of the program's own: a gap inside a run after a frame that went
    # right is the machine stalling (others' work on its two cores), not a pause.
    RUN_OF = {"write_enable": "erase", "erase": "erase", "status": "erase", "program": "program"}

    def tokens(self, pause_ms=950):
        t = Tokens()
        previous = None
        for frame in self.frames:
            kind, b = frame.kind, frame.sent
            if previous is not None and frame.ms - previous.ms >= pause_ms:
                stall = (previous.fault == "none" and kind in self.RUN_OF
                         and self.RUN_OF[kind] == self.RUN_OF.get(previous.kind))
                if not stall:
                    t.pause()
            previous = frame
            if kind in ("mode", "speed", "ready"):
                t.frame(kind, code=b[2])
            elif kind == "erase":
                t.frame(kind, sector=b[4])
            elif kind == "program":
                t.frame(kind, address=int.from_bytes(b[4:7], "big"), size=b[1])
            elif kind in ("write_enable", "status"):
                t.frame(kind)
            else:
                t.frame("unknown " + b.hex())
        return t.done()

    def malformed_programs(self):
        """Page programs whose checksum or length is wrong: a correct program sends none."""
        bad = []
        for frame in self.frames:
            b = frame.sent
            if frame.kind == "program" and (len(b) != b[1] + 8 or sum(b[7:]) % 256 != 0):
                bad.append(b.hex())
        return bad


def read(path):
    with open(path, "rb") as f:
        return f.read()


# One image file held against the flash: its payload at its region's base,
# where the dump was taken, and the rest of its region after the payload.
Placed = collections.namedtuple("Placed", "same where rest")


def image_in_flash(folder, data, base, room, mode):
    """The image `data` (its four-byte id, then its payload) against the flash
    dump at write mode #mode+1, or at the end when there is no such dump (or
    mode is None); `room`: its region's size. None when the run left no
    dump to compare with."""
    path, where = os.path.join(folder, "flash-final.bin"), "the end"
    if mode is not None and os.path.exists(os.path.join(folder, "flash-%d.bin" % (mode + 1))):
        path, where = os.path.join(folder, "flash-%d.bin" % (mode + 1)), "write mode #%d" % (mode + 1)
    if not os.path.exists(path):
        return None
    flash = read(path)
    payload = data[4:]
    return Placed(flash[base:base + len(payload)] == payload, where, flash[base + len(payload):base + room])


class Window:
    def __init__(self, hwnd, pid, rect, client, cls, title):
        self.hwnd, self.pid, self.rect, self.cls, self.title = hwnd, pid, rect, cls, title
        self.client = client  # the client area's top-left corner on the screen
        self.children = []  # (id, rect relative to the window, class, text)

    @property
    def size(self):
        return self.rect[2] - self.rect[0], self.rect[3] - self.rect[1]

    def child(self, cls, ident=None):
        return [c for c in self.children if c[2] == cls and (ident is None or c[0] == ident)]

    def statics(self):
        """Texts of the static controls (an icon's resource reference left out)."""
        return [c[3] for c in self.children if c[2] == "Static" and not c[3].startswith("\uffff")]

    def __repr__(self):
        return "<%s %r %dx%d %r>" % (self.cls, self.title, self.size[0], self.size[1],
                                    [c[3] for c in self.children])


def _unescape_listing(s):
    return re.sub(r"\\x([0-9a-f]{2})|\\\\", lambda m: chr(int(m.group(1), 16)) if m.group(1) else "\\", s)


def parse_windows(listing):
    windows = []
    for line in listing.splitlines():
        head, sep, text = line.partition(" | ")
        if not sep:
            continue
        text = _unescape_listing(text)
        if head.startswith("W "):
            fields = head.split(" ", 9)
            windows.append(Window(int(fields[1], 16), int(fields[2]), tuple(map(int, fields[3:7])),
                                  tuple(map(int, fields[7:9])), fields[9], text))
        elif head.startswith("C ") and windows:
            fields = head.split(" ", 7)
            windows[-1].children.append((int(fields[2]), tuple(map(int, fields[3:7])), fields[7], text))
    return windows
