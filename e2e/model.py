"""What the program must show and send, worked out independently of it.

`Expect` walks the update procedure as the user-visible contract states
it, against a unit that misbehaves exactly where a case's faults say, and
records what a correct program does: every drawn text with its line, every
message box, the command sequence that reaches the unit, the flash at every
write mode and at the end, and the exit code. The driver compares the real
program's traces with this record.
"""
import struct

MAIN = "SORVIK-FPGA-1.45-1013.bin"
PARTS = ["SORVIK.0.1.OSD.0%d.bin" % i for i in range(1, 5)]

# Drawn texts, exactly as stored, trailing blanks included.
INTRO = [(10, "SORVIK FPGA UPDATE"), (30, "Version: 1.45-1013"),
         (80, "Connect USB cable to Sorvik"), (100, "Close other software (e.g. GUI)")]
UPDATING = "Updating Firmware" + " " * 22
POWER_WARNING = "Do NOT turn power OFF" + " " * 18
MODE_TEXT = {0xD6: "FPGA normal" + " " * 29, 0xD8: "FPGA reset active" + " " * 16,
             0xD9: "Write active, please wait..." + " " * 6,
             0xDB: "Update process, please wait" + " " * 7, 0xDC: "Update ok..." + " " * 22}
MODE_RETRANSMIT = "Reset FPGA error:  retransmit..." + " " * 15
SPEED = "Spi speed = 12 MHz" + " " * 16
SPEED_RETRANSMIT = "Select Speed error:  retransmit..." + " " * 4
WRITE_STARTED = "Flash write started..." + " " * 23
WRITE_RETRANSMIT = "Flash Write ERROR: retransmit..." + " " * 10
WRITING_PART = ["Writing part %d ..." % n + " " * 14 for n in (2, 3, 4)] + ["Writing part 5 ..." + " " * 13]
CLOSING = [(10, "FLASH update ok" + " " * 27), (30, " " * 42), (60, "Power cycle SORVIK" + " " * 12),
           (80, "After power up, wait around 15 seconds" + " " * 4),
           (100, "SORVIK will reconfigure and start" + " " * 3)]
FATAL_TEXT = {1: "SPI Speed error" + " " * 21, 5: "Write error" + " " * 25,
              6: "Chip Erase error" + " " * 20, 7: "Chip Write error" + " " * 20}

# Message boxes: (text, caption, flags); MB_OK with the warning or information icon.
WARNING, INFORMATION = 0x30, 0x40
CRITICAL = "Critical Error!!! "
BOX_OK = ("FLASH update ok ", " ", INFORMATION)
BOX_NOT_CONNECTED = ("Usb device not connected!", " ", WARNING)
BOX_MODE = ("ERROR Resetting FPGA!", CRITICAL, WARNING)
BOX_SPEED = ("ERROR Selecting Speed!", CRITICAL, WARNING)
BOX_WRITE_ENABLE = ("ERROR Write Enable!", CRITICAL, WARNING)
BOX_ERASE = ("Sector erase error!", CRITICAL, WARNING)
BOX_WRITE = ("Flash Write ERROR!", CRITICAL, WARNING)
BOX_FATAL = (" ", CRITICAL, WARNING)


def box_missing(name):
    return ("Input file %s not found" % name, "File missing", WARNING)


# ImageId -> (base address, first sector, sector count)
REGIONS = {b"1A60": (0x000000, 0, 10), b"1A65": (0x0A0000, 10, 6), b"1A70": (0x100000, 16, 14)}
FLASH_SIZE = 0x200000
SECTOR = 0x10000
PAUSE = "pause"  # a gap of about a second or more between two frames


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def progress_text(remaining, total):
    # Single precision at every step, as the display computes it.
    p = f32(100.0 - f32(f32(f32(float(remaining)) / f32(float(total))) * 100.0))
    return "Flash write:  %03.1f %%" % p + " " * 33


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


class FatalStop(Exception):
    pass


class Expect:
    """The record of a correct run. `files` maps a file name to its bytes
    (absent: missing); `faults` maps (frame kind, occurrence) to the fault
    name that the simulated unit applies to that frame ("wrong_reply" or
    "no_reply"; the unit still carries the command out)."""

    def __init__(self, files, faults=None, devices=("2025",), fill=0xFF):
        self.files = files
        self.faults = dict(faults or {})
        self.devices = list(devices)
        self.events = [("text", y, t) for y, t in INTRO]
        self.flash = bytearray([fill]) * FLASH_SIZE
        self.dumps = []    # the flash at each write mode (0xD9), in order
        self.images = []   # [file name, index of the dump at the next write mode] of each image written
        self.exit_code = None  # None: the program stays up after the attempt
        self._tokens = Tokens()
        self._counts = {}

    # --- what the user sees ---------------------------------------------------
    def text(self, y, t):
        self.events.append(("text", y, t))

    def box(self, b):
        self.events.append(("box",) + b)

    def texts(self):
        return [(e[1], e[2]) for e in self.events if e[0] == "text"]

    def boxes(self):
        return [e[1:] for e in self.events if e[0] == "box"]

    def tokens(self):
        return self._tokens.done()

    # --- the unit ---------------------------------------------------------------
    def frame(self, kind, **info):
        """Sends one frame; True when its reply comes back right."""
        self._counts[kind] = self._counts.get(kind, 0) + 1
        fault = self.faults.get((kind, self._counts[kind]))
        self._tokens.frame(kind, **info)
        if fault == "no_reply":
            self._tokens.pause()  # the exchange waits out its two-second window
        return fault not in ("no_reply", "wrong_reply")

    # --- the procedure --------------------------------------------------------------
    def run_update(self):
        try:
            self._update()
        except FatalStop:
            pass
        return self

    def _fatal(self, code):
        self.text(10, FATAL_TEXT[code])
        self.box(BOX_FATAL)
        self.exit_code = 1
        raise FatalStop()

    def _command(self, kind, code, text, retransmit_text, box, fatal):
        self.text(10, text)
        ok = self.frame(kind, code=code)
        if not ok:
            ok = self.frame(kind, code=code)
            self.text(10, retransmit_text)
        if not ok:
            self.box(box)
            self._fatal(fatal)

    def _mode(self, code):
        self._command("mode", code, MODE_TEXT[code], MODE_RETRANSMIT, BOX_MODE, 5)
        if code == 0xD9:
            self.dumps.append(bytes(self.flash))
            for image in self.images:
                if image[1] is None:
                    image[1] = len(self.dumps) - 1

    def _erase(self, first, count):
        for s in range(first, first + count):
            if not self.frame("write_enable"):
                self.box(BOX_WRITE_ENABLE)
                return False
            ok = self.frame("erase", sector=s)
            self.flash[s * SECTOR:(s + 1) * SECTOR] = b"\xff" * SECTOR
            if not ok:
                self.box(BOX_ERASE)
                return False
            self.frame("status")
        return True

    def _write_image(self, name):
        data = self.files.get(name)
        if data is None:
            self.box(box_missing(name))
            return False
        ident, payload = data[:4], data[4:]
        if ident not in REGIONS:
            return False
        base, first, count = REGIONS[ident]
        if not self._erase(first, count):
            self._fatal(6)
        self.text(10, WRITE_STARTED)
        offset, failures, attempts = 0, 0, 0
        while offset < len(payload):
            n = min(32, len(payload) - offset)
            if attempts == 64:
                attempts = 0
                self.text(10, progress_text(len(payload) - offset, len(payload)))
            else:
                attempts += 1
            ok = self.frame("program", address=base + offset, size=n)
            for i, b in enumerate(payload[offset:offset + n]):  # a NOR flash only clears bits
                self.flash[base + offset + i] &= b
            if ok:
                offset, failures = offset + n, 0
                continue
            self.text(10, WRITE_RETRANSMIT)
            failures += 1
            if failures == 2:
                self.box(BOX_WRITE)
                return False
            self._tokens.pause()
        self.images.append([name, None])
        return True

    def _update(self):
        if MAIN not in self.files:
            self.box(box_missing(MAIN))
            return
        if "2025" not in self.devices:
            self.box(BOX_NOT_CONNECTED)
            return
        self.text(10, UPDATING)
        self.text(30, POWER_WARNING)
        self._mode(0xDB)
        self._mode(0xD6)
        self._tokens.pause()
        self._command("speed", 0xD5, SPEED, SPEED_RETRANSMIT, BOX_SPEED, 1)
        self._mode(0xD8)
        self._tokens.pause()
        if not self._write_image(MAIN):
            self._fatal(7)
        if self.files[MAIN][:4] == b"1A70":
            for part, name in enumerate(PARTS):
                self._mode(0xD6)
                self._mode(0xD9)
                self.frame("ready", code=0xDA)
                self.text(40, WRITING_PART[part])
                self._mode(0xD8)
                if part == 0:
                    self._tokens.pause()
                if not self._write_image(name):
                    self._fatal(7)
            self._mode(0xD6)
            self._mode(0xD6)
            self._mode(0xD9)
            self.frame("ready", code=0xDA)
        self._tokens.pause()
        self._mode(0xD6)
        self._mode(0xDC)
        for y, t in CLOSING:
            self.text(y, t)
        self.box(BOX_OK)
        self.exit_code = 0
