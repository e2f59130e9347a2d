"""One case: the run folder, the program under Wine driven step by step,
and the checks of what it did against the model."""
import collections
import copy
import dataclasses
import glob
import os
import shutil
import subprocess
import time
import traceback

import model
import traced
from cases import RESTORE, UPDATE
from menu_commands import COMMANDS
from observe import UnitTrace, image_in_flash, read
from prefix import prefix_path
from session import Failure, Session, run

SKIP = 77
CASE_SECONDS = 140  # every wait of a case ends by then; CTest allows 180
UNTIL_END = ("until_end",)  # OK on every box until the program ends, else Exit
UPDATE_SECONDS = 900  # a whole update at its slowest that a rehearsal waits for
QUIET_SECONDS = 5     # after a box, nothing new for this long: the update has ended
HELD = "held"  # the run folder's subfolder for files a case puts back later

# What run_case gives back.
Run = collections.namedtuple("Run", "checks folder elapsed exit_code relay images")


class Checks:
    def __init__(self):
        self.results = []

    def check(self, name, ok, detail=""):
        self.results.append((name, bool(ok), detail))
        return ok

    def equal(self, name, got, want):
        if got == want:
            return self.check(name, True)
        return self.check(name, False, first_difference(got, want))

    @property
    def passed(self):
        return all(ok for _, ok, _ in self.results)

    def report(self):
        return "\n".join("%s %s%s" % ("ok  " if ok else "FAIL", name, ("\n      " + detail) if detail else "")
                         for name, ok, detail in self.results)


def first_difference(got, want):
    if isinstance(got, (bytes, bytearray)):
        if len(got) != len(want):
            return "length %d, expected %d" % (len(got), len(want))
        at = next(i for i in range(len(got)) if got[i] != want[i])
        return "first difference at 0x%06X: 0x%02X, expected 0x%02X" % (at, got[at], want[at])
    if isinstance(got, list) and isinstance(want, list):
        for i, (g, w) in enumerate(zip(got, want)):
            if g != w:
                return "item %d: got %r, expected %r" % (i, g, w)
        return "got %d items, expected %d; the extra ones: %r" % (
            len(got), len(want), (got[len(want):] or want[len(got):])[:5])
    return "got %r, expected %r" % (got, want)


def prepare(case, folder, table, win_dir, make_images, images=None):
    """The run's folder: program, simulated unit, settings, and the image files
    that make_images writes for the case (or, given `images`, those files)."""
    exe = os.path.join(win_dir, "app", "SorvikFpgaUpdate.exe")
    dll = os.path.join(win_dir, "sim", "SiUSBXp.dll")
    for f in (exe, dll):
        if not os.path.exists(f):
            raise Failure("%s is missing: build the Windows preset first (cmake --build --preset ...)" % f)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(exe, folder)
    shutil.copy(dll, folder)
    if images is not None:
        for name, data in images.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        write_settings(case, folder, table)
        return dict(images)
    args = [make_images, folder, "--main-id", case.main[0], "--main-size", str(case.main[1]),
            "--part-size", str(case.parts)]
    r = run(args, 60)
    if r.returncode != 0:
        raise Failure("make_images failed: %s" % r.stderr)
    for name in case.missing:
        # A file the case puts back later waits in "held", away from the program.
        if (RESTORE, name) in case.steps:
            os.makedirs(os.path.join(folder, HELD), exist_ok=True)
            os.replace(os.path.join(folder, name), os.path.join(folder, HELD, name))
        else:
            os.remove(os.path.join(folder, name))
    files = {}
    for name in (table.main,) + table.parts:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                files[name] = f.read()
            ident, size = case.main if name == table.main else (None, case.parts)
            if len(files[name]) != 4 + size or (ident and files[name][:4] != ident.encode()):
                raise Failure("make_images wrote %s with %d bytes, not an id and %d" % (name, len(files[name]), size))
    write_settings(case, folder, table)
    return files


def write_settings(case, folder, table):
    lines = ["devices = %s" % case.devices] + ["%s = %s" % kv for kv in case.settings.items()]
    if not case.opens:
        lines.append("call_fault = %d:1" % table.open_ordinal)
    replay = getattr(case, "replay", None)
    # A replay answers as the recorded run did: no fault of its own.
    lines += ["replay = %s" % replay] if replay else ["fault = %s" % f for f in case.faults]
    with open(os.path.join(folder, "settings.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def expectation(case, files, folder, table):
    """One attempt for the choices of "U&pdate Firmware" before each file put
    back, and one after the last (a choice while an update runs is no attempt
    of its own)."""
    # With the trace library in the maker's place no bridge library is
    # reached: the program sees what it sees with no bridge attached.
    devices = case.devices.split(",") if case.maker == "unit" else []
    expect = model.Expect(table, dict(files), case.faults, devices, case.settings.get("flash_fill", 0xFF),
                          case.opens)
    chosen = False
    for step in case.steps:
        if step == UPDATE:
            chosen = True
        elif step[0] == RESTORE:
            if chosen:
                expect.run_update()
            chosen = False
            expect.files[step[1]] = read(os.path.join(folder, HELD, step[1]))
    if chosen:
        expect.run_update()
    return expect


class Driver:
    """Performs a case's steps and notes what each must have caused."""

    def __init__(self, session, checks, table):
        self.s, self.c, self.table = session, checks, table
        self.main_commands = []    # WM_COMMAND wParam values the main window must get, in order
        self.about_commands = []   # (About box, wParam that must close it)
        self.boxes_seen = []       # (caption, texts) of each message box, as list_windows.exe read it
        self.close_commands = 0
        self.restored = []         # files put back between two attempts

    def step(self, step):
        kind = step[0]
        s = self.s
        if kind == "update":
            s.menu("alt+u", "p")
            self.main_commands.append(COMMANDS["CommandUpdateFirmware"])
        elif kind == "exit":
            s.menu("alt+u", "x")
            self.main_commands.append(COMMANDS["CommandExit"])
        elif kind == "alt_f4":
            s.menu("alt+F4")
            self.close_commands += 1
        elif kind == "ok":
            self.dismiss_box()
        elif kind == "wait_text":
            text = getattr(self.table, step[1])
            s.wait_for("the text %r" % text, lambda: s.relay().has_text(text), 30, 0.1)
        elif kind == RESTORE:
            os.replace(os.path.join(s.folder, HELD, step[1]), os.path.join(s.folder, step[1]))
            self.restored.append(step[1])
            # The box leaves the screen before its call returns to the worker,
            # which ends the attempt only then: a command chosen sooner finds
            # the update still running.
            s.wait_for("every message box's call to return", lambda: boxes_returned(s.relay_path), 15, 0.1)
        elif kind == "until_end":
            self.until_end()
        elif kind == "clicks":
            self.clicks()
        elif kind == "about":
            self.about(step[1], step[2])
        else:
            raise Failure("unknown step %r" % (step,))

    def until_end(self):
        """Clicks OK on every box as it comes, until the program ends by itself;
        when the update ends and leaves the program up, chooses Exit."""
        s = self.s

        def box_or_end():
            if s.proc.poll() is not None:
                return "end"
            return len(s.dialogs()) == 1

        after_box = False
        while True:
            if after_box:
                # After a box the program goes on at once (a fatal stop draws
                # first) or not at all: the update has ended.
                found = quiet_after(box_or_end, lambda: len(s.relay().events), QUIET_SECONDS)
                if found is None:
                    s.menu("alt+u", "x")
                    self.main_commands.append(COMMANDS["CommandExit"])
                    return
            else:
                found = s.wait_for("a message box or the program's end", box_or_end, UPDATE_SECONDS, 0.2)
            if found == "end":
                return
            after_box = found is True
            if after_box:
                self.dismiss_box()

    def dismiss_box(self):
        """Clicks OK on the one message box, noting its caption and texts."""
        box = self.s.dismiss_box()
        self.boxes_seen.append((box.title, [t for t in box.statics() if t]))

    def clicks(self):
        s = self.s
        before = s.relay()
        downs = {m: len(before.received(m, s.main.hwnd)) for m in ("WM_LBUTTONDOWN", "WM_RBUTTONDOWN")}
        s.click_client(1)
        s.click_client(3)
        s.wait_for("the clicks to reach the window", lambda: all(
            len(s.relay().received(m, s.main.hwnd)) > n for m, n in downs.items()), 15, 0.1)
        time.sleep(0.3)
        after = s.relay()
        self.c.equal("clicks in the client area draw and show nothing", after.shown(), before.shown())
        self.c.equal("clicks in the client area open no window", [w.cls for w in s.windows()],
                     [self.table.window.cls])

    def about(self, opened_by, closed_by):
        s = self.s
        if opened_by == "menu":
            s.menu("alt+h", "a")
            self.main_commands.append(COMMANDS["CommandAbout"])
        else:
            s.menu(opened_by)
            self.main_commands.append(0x10000 | COMMANDS["CommandAbout"])  # high word 1: from an accelerator
        box = s.wait_dialog("the About box")
        s.screenshot("about")
        window = self.table.window
        self.c.equal("About box (%s): title" % opened_by, box.title, window.title)
        self.c.equal("About box (%s): texts" % opened_by, box.statics(), list(window.about))
        self.c.equal("About box (%s): OK button" % opened_by, [c[3] for c in box.child("Button", 1)], ["OK"])
        self.c.equal("About box (%s): its client area on the window's" % opened_by, box.client, s.main.client)
        if closed_by == "ok":
            s.press_ok(box)
        else:
            s.click(box, 12, box.size[1] - 12)  # into the box, away from its button, so it has the keys
            s.keys({"escape": "Escape", "return": "Return"}[closed_by])
        self.about_commands.append((box, 2 if closed_by == "escape" else 1))
        s.wait_no_dialog("the About box to close by %s" % closed_by)


def boxes_returned(relay_path):
    """Whether every MessageBoxW call in the relay trace has returned."""
    text = read(relay_path).decode(errors="replace")
    return text.count("Call user32.MessageBoxW(") == text.count("Ret  user32.MessageBoxW(")


def quiet_after(condition, shown, seconds):
    """condition()'s value when it comes within `seconds`; "busy" when the
    program draws or shows something first (the count shown() grows); None
    when neither happens."""
    count = shown()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        if shown() != count:
            return "busy"
        time.sleep(0.2)
    return None


def check_window(s, c, window):
    xs = s.x_window()
    c.equal("one window titled %r" % window.title, len(xs), 1)
    if xs:
        c.equal("window title", s.x("getwindowname", xs[0]).rstrip("\n"), window.title)
        geometry = dict(l.split("=") for l in s.x("getwindowgeometry", "--shell", xs[0]).split())
        c.equal("window size (xdotool)", (int(geometry["WIDTH"]), int(geometry["HEIGHT"])), window.size)
    c.equal("window class and size (Wine)", (s.main.cls, s.main.size), (window.cls, window.size))


def check_outputs(c, folder, relay, expect, driver, exit_code, unit=True):
    """unit=False: the simulated unit must not have been reached at all."""
    want_exit = expect.exit_code if expect.exit_code is not None else 0
    c.equal("exit code", exit_code, want_exit)

    texts = [e for e in relay.events if e.kind == "text"]
    c.equal("every text drawn at x 10 with its whole length",
            [(e.x, e.count) for e in texts if (e.x, e.count) != (10, len(e.text))], [])
    c.equal("message boxes have no owner window", [e.owner for e in relay.events if e.kind == "box" and e.owner], [])
    c.equal("texts and message boxes, in order, exactly", relay.shown(), expect.events)
    c.equal("message boxes as shown on screen (caption, text)", driver.boxes_seen,
            [(caption, [text]) for text, caption, flags in expect.boxes()])

    hwnd = driver.s.main.hwnd
    c.equal("menu and accelerator commands that reached the window",
            [wp for at, wp in relay.commands(hwnd)], driver.main_commands)
    for box, wp in driver.about_commands:
        c.equal("command that closed the About box", [w for at, w in relay.commands(box.hwnd, "dialog")], [wp])
    c.equal("close commands (Alt+F4)",
            len([1 for at, wp, lp in relay.received("WM_SYSCOMMAND", hwnd) if wp & 0xFFF0 == 0xF060]),
            driver.close_commands)
    if driver.main_commands.count(COMMANDS["CommandUpdateFirmware"]) > 1 and not driver.restored:
        # The second choice came while the first update ran (after its first text, before its end).
        started = next(i for i, e in enumerate(relay.events) if e.kind == "text" and e.text == expect.table.updating)
        ended = next((i for i, e in enumerate(relay.events) if e.kind == "box"), len(relay.events))
        second = [at for at, wp in relay.commands(hwnd) if wp == COMMANDS["CommandUpdateFirmware"]][1]
        c.check("second Update chosen while the first ran", started < second <= ended,
                "at event %d; the update ran from event %d to %d" % (second, started, ended))

    # The C runtime's text mode ends a line with CR LF.
    c.equal("standard output", read(os.path.join(folder, "stdout.txt")).replace(b"\r\n", b"\n"),
            expect.stdout.encode())
    if not unit:
        c.equal("the simulated unit's library was never loaded (no trace.txt, no flash dump)",
                glob.glob(os.path.join(folder, "trace.txt")) + glob.glob(os.path.join(folder, "flash-*.bin")), [])
        return []
    trace = UnitTrace(os.path.join(folder, "trace.txt"))
    c.equal("command sequence that reached the unit", trace.tokens(), expect.tokens())
    c.equal("page programs with a wrong length or checksum", trace.malformed_programs(), [])

    dumps = sorted(glob.glob(os.path.join(folder, "flash-[0-9]*.bin")),
                   key=lambda p: int(os.path.basename(p)[6:-4]))
    c.equal("flash dumps at write modes (0xD9)", len(dumps), len(expect.dumps))
    for i, (path, want) in enumerate(zip(dumps, expect.dumps)):
        c.equal("flash at write mode #%d, all 2 MiB" % (i + 1), read(path), want)
    final = os.path.join(folder, "flash-final.bin")
    if c.check("flash at the end dumped", os.path.exists(final)):
        c.equal("flash at the end, all 2 MiB", read(final), bytes(expect.flash))
    c.check("simulated unit understood its settings", not os.path.exists(os.path.join(folder, "error.txt")),
            read(os.path.join(folder, "error.txt")).decode(errors="replace")
            if os.path.exists(os.path.join(folder, "error.txt")) else "")
    return image_report(folder, expect)


def image_report(folder, expect):
    """Each written image against the flash at the write mode that follows it
    (the flash at the end when none follows), and a 1A70 main image also at the end."""
    lines, t = [], expect.table
    checks = [(name, index) for name, index in expect.images]
    # Not when a part of the same kind was written over it afterwards.
    over = any(expect.files.get(n, b"")[:4] == t.osd_id for n, _ in checks if n != t.main)
    if expect.files.get(t.main, b"")[:4] == t.osd_id and any(n == t.main for n, _ in checks) and not over:
        checks.append((t.main, None))
    for name, index in checks:
        data = expect.files[name]
        base = t.regions[data[:4]][0]
        placed = image_in_flash(folder, data, base, 0, index)
        if placed is None:
            lines.append((False, "%s: no flash dump %s" % (name, os.path.join(folder, "flash-final.bin"))))
            continue
        lines.append((placed.same, "%s (%s, %d bytes at 0x%06X) %s the flash at %s" % (
            name, data[:4].decode(), len(data) - 4, base, "matches" if placed.same else "DIFFERS from",
            placed.where)))
    return lines


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """How a case runs. images (name -> bytes): those files lie beside the
    program instead of make_images's. compare False: what the program does
    is recorded but not checked against the model (which knows files of a
    known kind that fit their region, no others). through_trace: with the
    trace library in front of the simulated one, and the reader's frames held
    against the unit's. replay: a trace the simulated unit answers as.
    slot: the Wine prefix of the work folder to run in (prefix.prefix_path).
    name: the artefact folder's name under <work>/<arch>, when not the one
    that the case and the way it runs give. keep: the program, libraries,
    images and flash dumps stay in the folder of a passing run too."""
    table: model.Table
    arch: str
    work: str
    win_dir: str
    make_images: str
    inspect: str
    display: str = None
    keep: bool = False
    seconds: float = CASE_SECONDS
    images: dict = None
    compare: bool = True
    through_trace: bool = False
    replay: str = None
    slot: int = 0
    name: str = None


def run_case(case, options):
    """Runs the case as `options` say; gives back its Run."""
    o = options
    name = o.name or ("traced." if o.through_trace else "replayed." if o.replay else "") + case.name
    folder = os.path.join(os.path.abspath(o.work), o.arch, name)
    if o.replay:
        case = copy.copy(case)
        case.replay = o.replay
    files = prepare(case, folder, o.table, o.win_dir, o.make_images, o.images)
    itself = case.maker == "trace itself"
    if o.through_trace or itself:
        try:
            traced.place(folder, o.win_dir, itself_as_maker=itself)
        except traced.Missing as e:
            raise Failure(str(e))
    expect = expectation(case, files, folder, o.table) if o.compare else None
    checks = Checks()
    session = Session(folder, prefix_path(o.work, o.slot), o.inspect, o.table.window, o.arch, o.display,
                      seconds=o.seconds)
    started = time.monotonic()
    exit_code, relay, images, error = None, None, [], None
    try:
        session.start()
        session.screenshot("start")
        check_window(session, checks, o.table.window)
        driver = Driver(session, checks, o.table)
        for step in case.steps:
            driver.step(step)
        exit_code = session.wait_exit(60)
    except (Failure, subprocess.TimeoutExpired) as e:
        error = str(e)
        session.screenshot("failure")
    except Exception:
        error = traceback.format_exc()
        session.screenshot("failure")
    finally:
        session.close()
    elapsed = time.monotonic() - started
    if error:
        checks.check("the case ran to its end", False, error)
    else:
        relay = session.relay()
        if o.compare:
            images = check_outputs(checks, folder, relay, expect, driver, exit_code, unit=not itself)
            for ok, line in images:
                checks.check(line, ok)
        if itself:
            check_trace_itself(checks, folder, o.table)
        elif o.through_trace:
            check_trace(checks, folder, expect, exit_code)
    with open(os.path.join(folder, "result.txt"), "w") as f:
        f.write(checks.report() + "\n")
    if checks.passed and not o.keep:
        for pattern in ("*.bin", "*.exe", "*.dll"):  # large, and made again by every run
            for p in glob.glob(os.path.join(folder, pattern)):
                os.remove(p)
    return Run(checks, folder, elapsed, exit_code, relay, images)


def check_trace_itself(checks, folder, table):
    """The trace library found itself in the maker's place: one trace, which
    names the mistake."""
    found = traced.trace_files(folder)
    if checks.equal("the trace library wrote one trace beside the program", len(found), 1):
        checks.equal("the trace names the trace library in the maker's place; every call failed unloaded",
                     traced.itself_as_maker_faults(found[0], table), [])


def check_trace(checks, folder, expect, exit_code):
    """One trace beside the program; its frames are the unit's, frame for
    frame; the reader's verdict agrees with how the run ended."""
    found = traced.trace_files(folder)
    if not checks.equal("the trace library wrote one trace beside the program", len(found), 1):
        return
    unit = UnitTrace(os.path.join(folder, "trace.txt")).frames
    checks.equal("the reader's frames are the unit's record, frame for frame",
                 traced.frame_differences(found[0], unit), [])
    said = traced.verdict(found[0])
    if expect is not None:
        succeeded = any(box[0] == expect.table.box_ok[0] for box in expect.boxes())
        checks.check("the reader's verdict agrees with the run's end (verdict: %s)" % said,
                     (said == "the update went through") == succeeded)
