"""What the program must show and send, worked out independently of it.

The expectations are the host tests' own: `export_expected` (built with the
host tests, from tests/support) writes their table and, for a case's image
files, faults and serials, the ordered record of the update as it must be.
`Expect` folds that record into what the checks compare: every drawn text
with its line, every message box, the command sequence that reaches the
unit, the flash at every write mode and at the end, and the exit code.
"""
import dataclasses
import json
import os
import subprocess
import tempfile

TOOL_SECONDS = 120
PAUSE = "pause"  # a gap of about a second or more between two frames


def _box(b):
    return (b[0], b[1], b[2])


@dataclasses.dataclass(frozen=True)
class Window:
    """The program's main window and its About box."""
    title: str
    cls: str
    size: tuple   # outer width and height: frame, caption and menu included
    about: tuple  # the About box's texts, in order


@dataclasses.dataclass(frozen=True)
class Table:
    """The tests' table, as `export_expected table` writes it, under the
    names the e2e suite uses. Boxes are (text, caption, flags); a %s in a
    box's text stands for the file's name."""
    tool: str                 # the export_expected program it came from
    main: str
    parts: tuple
    intro: tuple              # (y, text) of each line
    updating: str
    progress_lead: str
    writing_part: tuple
    fatal_text: dict          # fatal code -> the text drawn
    box_ok: tuple
    box_fatal: tuple
    box_missing: tuple
    box_too_large: tuple
    box_wrong_id: tuple
    box_not_connected: tuple
    box_open_failed: tuple
    open_ordinal: int         # the open operation, for the unit's call_fault
    wrong_id: str             # the line on standard output, without its line feed
    fatal_image: int
    regions: dict             # image id (bytes) -> (base, first sector, sectors)
    osd_id: bytes
    sector: int               # bytes in a sector
    flash_size: int
    pause_ms: int             # the shortest pause the program makes
    write_mode: int           # the mode code of a write
    trace_itself_error: str
    trace_no_library_status: int
    window: Window


def load(tool):
    """The table of the export_expected program that every expectation comes from."""
    tool = os.path.abspath(tool)
    t = _export(tool, ["table"])
    return Table(
        tool=tool, main=t["main"], parts=tuple(t["parts"]), intro=tuple((y, text) for y, text in t["intro"]),
        updating=t["updating"], progress_lead=t["progress_lead"], writing_part=tuple(t["writing_part"]),
        fatal_text={int(code): text for code, text in t["fatal_texts"].items()},
        box_ok=_box(t["box_ok"]), box_fatal=_box(t["box_fatal"]), box_missing=_box(t["box_missing"]),
        box_too_large=_box(t["box_too_large"]), box_wrong_id=_box(t["box_wrong_id"]),
        box_not_connected=_box(t["box_not_connected"]), box_open_failed=_box(t["box_open_failed"]),
        open_ordinal=t["open_ordinal"], wrong_id=t["wrong_id"], fatal_image=t["fatal_image"],
        regions={ident.encode(): tuple(r) for ident, r in t["regions"].items()}, osd_id=t["osd_id"].encode(),
        sector=t["sector_bytes"], flash_size=t["flash_bytes"], pause_ms=t["pause_ms"], write_mode=t["write_mode"],
        trace_itself_error=t["trace_itself_error"], trace_no_library_status=t["trace_no_library_status"],
        window=Window(t["window"]["title"], t["window"]["class"], tuple(t["window"]["size"]),
                      tuple(t["window"]["about"])))


class Unavailable(Exception):
    """The export_expected program could not give what was asked; the message says why."""


def _export(tool, args):
    try:
        r = subprocess.run([tool] + args, capture_output=True, timeout=TOOL_SECONDS)
    except OSError as e:
        raise Unavailable("%s cannot be run: %s (build the host preset first)" % (tool, e.strerror))
    if r.returncode != 0:
        raise Unavailable("%s %s failed: %s" % (tool, " ".join(args), r.stderr.decode(errors="replace")))
    return json.loads(r.stdout)


def record(table, files, faults=(), devices=None, timing=None, opens=True):
    """The exported record of an update of `files` (name -> bytes), with the
    faults ("kind:occurrence:fault"), the serials attached, whether the
    bridge found opens, and the timing (round_trip_ms, erase_ms, program_ms)
    of its lower bound."""
    with tempfile.TemporaryDirectory(prefix="sorvik-expect-") as folder:
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        args = ["record", folder]
        for fault in faults:
            args += ["--fault", fault]
        if devices is not None:
            args += ["--devices", ",".join(devices)]
        if not opens:
            args += ["--open", "fails"]
        for key, value in (timing or {}).items():
            args += ["--" + key.replace("_", "-"), str(value)]
        return _export(table.tool, args)


class Tokens:
    """Folds frames into the command sequence that the checks compare: a
    token per controller frame (its code: "DB", "D5", "DA"...), one per run
    of erase frames ("erase 0-9", the sectors of its erase frames), one per
    run of page programs ("program 000000+2100/66": first address, bytes,
    frames), and "pause" where a second or more passed between two frames.
    The same folding serves the unit's trace and the expected record."""

    def __init__(self):
        self.tokens = []
        self._run = None  # [kind, ...] of the run being folded

    def frame(self, kind, code=None, sector=None, address=None, size=None):
        if kind in ("write_enable", "erase", "status"):
            if not self._run or self._run[0] != "erase":
                self._close()
                self._run = ["erase", []]
            if kind == "erase":
                self._run[1].append(sector)
        elif kind == "program":
            if not self._run or self._run[0] != "program":
                self._close()
                self._run = ["program", address, 0, 0]
            self._run[2] += size
            self._run[3] += 1
        else:
            self._close()
            self.tokens.append("%02X" % code if code is not None else kind)

    def pause(self):
        self._close()
        if self.tokens and self.tokens[-1] != PAUSE:
            self.tokens.append(PAUSE)

    def done(self):
        self._close()
        while self.tokens and self.tokens[-1] == PAUSE:  # nothing followed it
            self.tokens.pop()
        return self.tokens

    def _close(self):
        run, self._run = self._run, None
        if not run:
            return
        if run[0] == "program":
            self.tokens.append("program %06X+%d/%d" % (run[1], run[2], run[3]))
            return
        sectors = run[1]
        if sectors and sectors == list(range(sectors[0], sectors[0] + len(sectors))):
            self.tokens.append("erase %d-%d" % (sectors[0], sectors[-1]))
        else:
            self.tokens.append("erase " + (",".join(map(str, sectors)) or "-"))


class Expect:
    """The record of a correct run. `files` maps a file name to its bytes
    (absent: missing); `faults` lists "kind:occurrence:fault" as the
    simulated unit reads them (it still carries the command out); `opens`
    False: the bridge "2025" is found but does not open. Each run_update is
    one attempt, over the files as they lie then."""

    def __init__(self, table, files, faults=(), devices=("2025",), fill=0xFF, opens=True):
        self.table = table
        self.files = files
        self.faults = list(faults)
        self.devices = list(devices)
        self.opens = opens
        self.events = [("text", y, t) for y, t in table.intro]
        self.flash = bytearray([fill]) * table.flash_size
        self.dumps = []    # the flash at each write mode, in order
        self.images = []   # [file name, index of the dump at the next write mode] of each image written
        self.exit_code = None  # None: the program stays up after the attempt
        self.stdout = ""       # what the program writes to its standard output
        self._tokens = Tokens()
        # The record's entries, by their first item.
        self._steps = {"draw": self._draw, "box": self._box, "sleep": self._sleep, "frame": self._frame,
                       "output": self._output, "written": self._written, "close": _nothing,
                       "destroy": _nothing, "exit": _nothing}

    def texts(self):
        return [(e[1], e[2]) for e in self.events if e[0] == "text"]

    def boxes(self):
        return [e[1:] for e in self.events if e[0] == "box"]

    def tokens(self):
        return self._tokens.done()

    def run_update(self):
        exported = record(self.table, self.files, self.faults, self.devices, opens=self.opens)
        for step in exported["record"]:
            if step[0] not in self._steps:
                raise RuntimeError("model: the record holds a step of no known kind: %r" % (step,))
            self._steps[step[0]](*step[1:])
        self.exit_code = exported["exit_code"]
        return self

    # --- the record's entries, folded -------------------------------------------------
    def _draw(self, y, text):
        self.events.append(("text", y, text))

    def _box(self, box):
        self.events.append(("box",) + _box(box))

    def _sleep(self, ms):
        if ms >= self.table.pause_ms:
            self._tokens.pause()

    def _frame(self, kind, fault, info):
        size = len(info.get("data", "")) // 2
        self._tokens.frame(kind, code=info["code"] if kind in ("mode", "speed", "ready") else None,
                           sector=info.get("sector"), address=info.get("address"), size=size)
        if fault == "no_reply":
            self._tokens.pause()  # the exchange waits out its two-second window
        sector = self.table.sector
        if kind == "erase":
            s = info["sector"]
            self.flash[s * sector:(s + 1) * sector] = b"\xff" * sector
        elif kind == "program":
            base = info["address"]
            for i, b in enumerate(bytes.fromhex(info["data"])):  # a NOR flash only clears bits
                self.flash[base + i] &= b
        elif kind == "mode" and info["code"] == self.table.write_mode:
            self.dumps.append(bytes(self.flash))
            for image in self.images:
                if image[1] is None:
                    image[1] = len(self.dumps) - 1

    def _output(self, text):
        self.stdout += text

    def _written(self, name):
        self.images.append([name, None])


def _nothing(*entry):
    """An entry of the record that leaves no trace the checks compare."""
