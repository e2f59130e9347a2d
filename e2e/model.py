"""What the program must show and send, worked out independently of it.

The expectations are the host tests' own: `export_expected` (built with the
host tests, from tests/support) writes their table and, for a case's image
files, faults and serials, the ordered record of the update as it must be.
`Expect` folds that record into what the checks compare: every drawn text
with its line, every message box, the command sequence that reaches the
unit, the flash at every write mode and at the end, and the exit code.
"""
import json
import os
import subprocess
import tempfile

TOOL_SECONDS = 120
PAUSE = "pause"  # a gap of about a second or more between two frames

_tool = os.environ.get("SORVIK_EXPORT_EXPECTED")
_table = None


def use(tool):
    """The export_expected program that every expectation comes from."""
    global _tool, _table
    _tool, _table = os.path.abspath(tool), None


def _export(args):
    if not _tool:
        raise RuntimeError("model: no export_expected program given (--expected, or SORVIK_EXPORT_EXPECTED)")
    r = subprocess.run([_tool] + args, capture_output=True, timeout=TOOL_SECONDS)
    if r.returncode != 0:
        raise RuntimeError("%s %s failed: %s" % (_tool, " ".join(args), r.stderr.decode(errors="replace")))
    return json.loads(r.stdout)


def table():
    global _table
    if _table is None:
        _table = _export(["table"])
    return _table


def _box(b):
    return (b[0], b[1], b[2])


# The table's entries under the names the e2e suite uses; read when first used.
_NAMES = {
    "MAIN": lambda t: t["main"],
    "PARTS": lambda t: list(t["parts"]),
    "INTRO": lambda t: [(y, text) for y, text in t["intro"]],
    "UPDATING": lambda t: t["updating"],
    "PROGRESS_LEAD": lambda t: t["progress_lead"],
    "WRITING_PART": lambda t: list(t["writing_part"]),
    "FATAL_TEXT": lambda t: {int(code): text for code, text in t["fatal_texts"].items()},
    "BOX_OK": lambda t: _box(t["box_ok"]),
    "BOX_FATAL": lambda t: _box(t["box_fatal"]),
    "BOX_MISSING": lambda t: _box(t["box_missing"]),      # %s: the file's name
    "BOX_TOO_LARGE": lambda t: _box(t["box_too_large"]),  # %s: the file's name
    "BOX_WRONG_ID": lambda t: _box(t["box_wrong_id"]),    # %s: the file's name
    "BOX_NOT_CONNECTED": lambda t: _box(t["box_not_connected"]),
    "BOX_OPEN_FAILED": lambda t: _box(t["box_open_failed"]),
    "OPEN_ORDINAL": lambda t: t["open_ordinal"],          # the open operation, for the unit's call_fault
    "WRONG_ID": lambda t: t["wrong_id"],                  # the line on standard output, without its line feed
    "FATAL_IMAGE": lambda t: t["fatal_image"],
    "REGIONS": lambda t: {ident.encode(): tuple(r) for ident, r in t["regions"].items()},
    "OSD_ID": lambda t: t["osd_id"].encode(),
    "SECTOR": lambda t: t["sector_bytes"],
    "FLASH_SIZE": lambda t: t["flash_bytes"],
    "TRACE_ITSELF_ERROR": lambda t: t["trace_itself_error"],
    "TRACE_NO_LIBRARY_STATUS": lambda t: t["trace_no_library_status"],
}


def __getattr__(name):
    if name in _NAMES:
        return _NAMES[name](table())
    raise AttributeError("module 'model' has no attribute %r" % name)


def record(files, faults=(), devices=None, timing=None, opens=True):
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
        return _export(args)


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

    def __init__(self, files, faults=(), devices=("2025",), fill=0xFF, opens=True):
        self.files = files
        self.faults = list(faults)
        self.devices = list(devices)
        self.opens = opens
        self.events = [("text", y, t) for y, t in table()["intro"]]
        self.flash = bytearray([fill]) * table()["flash_bytes"]
        self.dumps = []    # the flash at each write mode, in order
        self.images = []   # [file name, index of the dump at the next write mode] of each image written
        self.exit_code = None  # None: the program stays up after the attempt
        self.stdout = ""       # what the program writes to its standard output
        self._tokens = Tokens()

    def texts(self):
        return [(e[1], e[2]) for e in self.events if e[0] == "text"]

    def boxes(self):
        return [e[1:] for e in self.events if e[0] == "box"]

    def tokens(self):
        return self._tokens.done()

    def run_update(self):
        exported = record(self.files, self.faults, self.devices, opens=self.opens)
        for step in exported["record"]:
            getattr(self, "_" + step[0])(*step[1:])
        self.exit_code = exported["exit_code"]
        return self

    # --- the record's entries, folded -------------------------------------------------
    def _draw(self, y, text):
        self.events.append(("text", y, text))

    def _box(self, box):
        self.events.append(("box",) + _box(box))

    def _sleep(self, ms):
        if ms >= table()["pause_ms"]:
            self._tokens.pause()

    def _frame(self, kind, fault, info):
        size = len(info.get("data", "")) // 2
        self._tokens.frame(kind, code=info["code"] if kind in ("mode", "speed", "ready") else None,
                           sector=info.get("sector"), address=info.get("address"), size=size)
        if fault == "no_reply":
            self._tokens.pause()  # the exchange waits out its two-second window
        sector = table()["sector_bytes"]
        if kind == "erase":
            s = info["sector"]
            self.flash[s * sector:(s + 1) * sector] = b"\xff" * sector
        elif kind == "program":
            base = info["address"]
            for i, b in enumerate(bytes.fromhex(info["data"])):  # a NOR flash only clears bits
                self.flash[base + i] &= b
        elif kind == "mode" and info["code"] == table()["write_mode"]:
            self.dumps.append(bytes(self.flash))
            for image in self.images:
                if image[1] is None:
                    image[1] = len(self.dumps) - 1

    def _output(self, text):
        self.stdout += text

    def _written(self, name):
        self.images.append([name, None])

    def _close(self):
        pass

    def _destroy(self):
        pass

    def _exit(self, code):
        pass
