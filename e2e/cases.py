"""The end-to-end cases: what the unit is like, which image files lie
beside the program, and what the user does. What must come out of each is
worked out by model.Expect, not written down here."""

FULL_1A70 = 896 * 1024
SHORT = 2100  # a little past one progress cycle of 65 pieces

# What the user does, step by step.
UPDATE = ("update",)            # Alt+U, P: "U&pdate Firmware"
OK = ("ok",)                    # click OK on the message box that comes up
EXIT = ("exit",)                # Alt+U, X: "E&xit"
ALT_F4 = ("alt_f4",)
CLICKS = ("clicks",)            # left and right clicks into the client area


RESTORE = "restore"


def restore(name):
    """Puts back a file the case held away from the program at its start."""
    return (RESTORE, name)


def about(opened_by, closed_by):
    return ("about", opened_by, closed_by)


def wait_text(name):
    """Waits for the text of the tests' table that model.Table names so."""
    return ("wait_text", name)


class Case:
    def __init__(self, name, steps, main=("1A60", SHORT), parts=SHORT, missing=(), settings=None,
                 faults=(), devices="2025", maker="unit", opens=True, why=""):
        self.name, self.steps, self.why = name, steps, why
        # "unit": the simulated library beside the program; "trace itself":
        # the trace library in its place and again as the maker's (a user's
        # mistake), so the simulated unit is never reached.
        self.maker = maker
        self.main, self.parts, self.missing = main, parts, missing
        self.devices = devices
        self.opens = opens  # False: the bridge "2025" is found, but its open fails
        self.faults = list(faults)  # "kind:occurrence:fault", as the simulated unit reads them
        # Fast unit; an erased flash shows up against the 0x00 that it starts with.
        self.settings = dict({"round_trip_ms": 0, "erase_ms": 5, "flash_fill": 0}, **(settings or {}))


CASES = [
    Case("update_1a60", [UPDATE, OK], why="a 1A60 main image alone: no OSD parts"),
    Case("update_1a70_full", [UPDATE, OK], main=("1A70", FULL_1A70),
         why="a full-size 1A70 main image and its four OSD parts"),
    Case("part_missing", [UPDATE, OK, restore("SORVIK.0.1.OSD.03.bin"), UPDATE, OK], main=("1A70", SHORT),
         missing=["SORVIK.0.1.OSD.03.bin"],
         why="1A70 with the third OSD part absent: its box and nothing sent; put back, the whole update"),
    Case("main_missing", [UPDATE, OK, ALT_F4], missing=["SORVIK-FPGA-1.45-1013.bin"],
         why="no main image: one box, nothing sent, the program stays"),
    Case("no_bridge", [UPDATE, OK, CLICKS, EXIT], devices="1999",
         why="no bridge with serial 2025: one box, the program stays"),
    Case("open_fails", [UPDATE, OK, EXIT], opens=False,
         why="the bridge 2025 found but its open fails: one box, nothing sent, the program stays"),
    Case("fatal_speed", [UPDATE, OK, OK], faults=["speed:1:no_reply", "speed:2:wrong_reply"],
         why="speed selection unanswered, then echoed wrongly: code 1"),
    Case("fatal_mode", [UPDATE, OK, OK], faults=["mode:3:wrong_reply", "mode:4:wrong_reply"],
         why="the reset mode echoed wrongly twice: code 5"),
    Case("fatal_erase", [UPDATE, OK, OK], faults=["erase:3:wrong_reply"],
         why="the third sector erase answered wrongly: code 6"),
    Case("fatal_write", [UPDATE, OK, OK], faults=["program:5:wrong_reply", "program:6:wrong_reply"],
         why="the fifth piece unconfirmed twice: code 7"),
    Case("about_menu", [about("menu", "ok"), EXIT], why="About from the Help menu, closed by OK"),
    Case("about_alt_question", [about("alt+question", "escape"), EXIT], why="About by Alt+?, closed by Escape"),
    Case("about_alt_slash", [about("alt+slash", "return"), ALT_F4], why="About by Alt+/, closed by Enter"),
    Case("exit", [CLICKS, EXIT], why="clicks change nothing; Exit ends with 0"),
    Case("alt_f4", [ALT_F4], why="the close command ends with 0"),
    Case("second_update", [UPDATE, wait_text("updating"), UPDATE, OK],
         settings={"erase_ms": 100}, why="a second Update while one runs is ignored"),
]

# Payloads whose first progress text differs between single precision and
# wider arithmetic (8.1 against 8.0, 6.7 against 6.6, 0.8 against 0.7): the
# model computes it in single precision, as the program must.
CASES += [Case("progress_%d" % size, [UPDATE, OK], main=("1A60", size),
               why="first progress text of a %d-byte payload, in single precision" % size)
          for size in (25441, 30797, 273067)]

CASES += [Case("fatal_write_enable", [UPDATE, OK, OK], main=("1A70", SHORT), faults=["write_enable:3:wrong_reply"],
               why="write enable answered wrongly at sector 18 of a 1A70 image: code 6")]

CASES += [Case("trace_itself_as_maker", [UPDATE, OK, CLICKS, EXIT], maker="trace itself",
               why="the trace library copied as the maker's too: not loaded, \"Usb device not connected!\", "
                   "one trace that names the mistake")]

BY_NAME = {c.name: c for c in CASES}
# Run a second time with the trace library in front of the simulated one.
# Not without the main image: the program then makes no library call, and
# the trace library writes no trace; nor the progress cases, whose frames are
# update_1a60's and whose point is the program's arithmetic.
TRACED = [c.name for c in CASES
          if UPDATE in c.steps and c.name != "main_missing" and not c.name.startswith("progress_")
          and c.maker == "unit"]
# Recorded through the trace library, then replayed from the trace with no
# fault configured: a field failure watched on our own machines.
REPLAYED = ["fatal_write_enable", "fatal_speed", "fatal_write"]
