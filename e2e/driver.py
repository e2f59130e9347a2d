#!/usr/bin/env python3
"""End-to-end tests: the real Windows program under Wine, against the
simulated unit's SiUSBXp.dll, on its own X display, driven like a user.

  driver.py prefix  --work DIR [--reuse]     make the Wine prefix (DIR/wineprefix)
  driver.py cleanup --work DIR               end the prefix's Wine processes
  driver.py list                             the case names
  driver.py list [--traced | --replayed]     the case names: all, those run again through the
                                             trace library, those recorded and replayed
  driver.py case NAME --arch x86_64|i686 [--traced | --replayed] --work DIR --win-dir DIR --make-images EXE --inspect EXE
                 --expected EXE [--probe32 EXE]
                                             run one case; exit 0 passed, 1 failed, 77 skipped
  driver.py demo --work DIR --win-dir DIR --make-images EXE --inspect EXE --expected EXE [--display :N]
                 [--images DIR] [--round-trip-ms N]
                                             a full update, with a report: of the sample set,
                                             or a rehearsal of the image files in DIR
  driver.py shots --work DIR --win-dir DIR --make-images EXE --inspect EXE --expected EXE --out DIR
                                             the user guide's pictures
Artefacts of a case: DIR/<arch>/<case>/ (traces, screenshots, result.txt).
"""
import argparse
import copy
import glob
import os
import shutil
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import model  # noqa: E402
import traced  # noqa: E402
from cases import BY_NAME, CASES, REPLAYED, TRACED, Case, FULL_1A70, UPDATE, OK  # noqa: E402
from observe import UnitTrace  # noqa: E402
import rehearsal  # noqa: E402
from session import (TITLE, WINE32, WINE64, Failure, Session, kill_wineserver, run, set_deadline,  # noqa: E402
                     wait_for, wine_env)

SKIP = 77
CASE_SECONDS = 140  # every wait of a case ends by then; CTest allows 180
UNTIL_END = ("until_end",)  # OK on every box until the program ends, else Exit
UPDATE_SECONDS = 900  # a whole update at its slowest that a rehearsal waits for
QUIET_SECONDS = 5     # after a box, nothing new for this long: the update has ended
RELAY_INCLUDE = "user32.MessageBoxW;gdi32.TextOutW"
WINE32_LOADERS = ["/usr/lib/wine/wine", "/usr/lib/i386-linux-gnu/wine/wine"]


def prefix_path(work):
    return os.path.join(os.path.abspath(work), "wineprefix")


def say(*parts):
    print(*parts, flush=True)


# --- the prefix --------------------------------------------------------------------------

def loader_runs(loader):
    """Can this machine execute the 32-bit Wine loader at all?"""
    try:
        r = run([loader, "--version"], 30)
        return r.returncode == 0, (r.stdout + r.stderr).strip()
    except OSError as e:
        return False, str(e)


def wine32_loader():
    found = [p for p in WINE32_LOADERS if os.access(p, os.X_OK)]
    return found[0] if found else None


def make_prefix(work, reuse=False):
    prefix = prefix_path(work)
    stamp = os.path.join(prefix, "e2e-stamp.txt")
    version = run([WINE64, "--version"], 30).stdout.strip()
    wanted = "%s\n%s\nDecorated=N\n" % (version, RELAY_INCLUDE)
    if reuse and os.path.exists(stamp) and open(stamp).read() == wanted:
        say("prefix: reusing", prefix)
        return prefix
    started = time.monotonic()
    kill_wineserver(prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    loader32 = wine32_loader()
    # With a 32-bit loader that runs, the prefix gets its 32-bit half too.
    boot = WINE32 if loader32 and loader_runs(loader32)[0] else WINE64
    env = wine_env(prefix)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no offer to install .NET or the HTML engine
    r = run([boot, "wineboot", "-i"], 300, env=env)
    if r.returncode != 0:
        raise Failure("wineboot failed (%d): %s" % (r.returncode, r.stderr[-2000:]))
    for key, value in [("HKCU\\Software\\Wine\\Debug", ("RelayInclude", RELAY_INCLUDE)),
                       # Wine draws the frames itself (there is no window manager), so an
                       # X window is the whole window, frame, caption and menu included.
                       ("HKCU\\Software\\Wine\\X11 Driver", ("Decorated", "N"))]:
        r = run([WINE64, "reg", "add", key, "/v", value[0], "/t", "REG_SZ", "/d", value[1], "/f"], 120, env=env)
        if r.returncode != 0:
            raise Failure("reg add %s failed: %s" % (key, r.stderr[-2000:]))
    kill_wineserver(prefix)  # the registry is written out when the server ends
    with open(stamp, "w") as f:
        f.write(wanted)
    say("prefix: made %s with %s in %.1f s" % (prefix, os.path.basename(boot), time.monotonic() - started))
    return prefix


def probe_i686(prefix, probe):
    """None when 32-bit programs run here, else why not (the cases are skipped)."""
    loader = wine32_loader()
    if not loader:
        return "no 32-bit Wine loader installed (wine32:i386)"
    runs, why = loader_runs(loader)
    if not runs:
        return "this machine cannot run 32-bit programs: %s: %s" % (loader, why)
    r = run([WINE32, probe], 60, env=wine_env(prefix))
    if r.returncode != 32:
        # The loader runs but a 32-bit program does not: that is a failure, not a skip.
        raise Failure("the 32-bit probe returned %d: %s" % (r.returncode, r.stderr[-2000:]))
    return None


# --- one case ------------------------------------------------------------------------------

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


def prepare(case, folder, win_dir, make_images, images=None):
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
        write_settings(case, folder)
        return dict(images)
    args = [make_images, folder, "--main-id", case.main[0], "--main-size", str(case.main[1]),
            "--part-size", str(case.parts)]
    r = run(args, 60)
    if r.returncode != 0:
        raise Failure("make_images failed: %s" % r.stderr)
    for name in case.missing:
        os.remove(os.path.join(folder, name))
    files = {}
    for name in [model.MAIN] + model.PARTS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                files[name] = f.read()
            ident, size = case.main if name == model.MAIN else (None, case.parts)
            if len(files[name]) != 4 + size or (ident and files[name][:4] != ident.encode()):
                raise Failure("make_images wrote %s with %d bytes, not an id and %d" % (name, len(files[name]), size))
    write_settings(case, folder)
    return files


def write_settings(case, folder):
    lines = ["devices = %s" % case.devices] + ["%s = %s" % kv for kv in case.settings.items()]
    replay = getattr(case, "replay", None)
    # A replay answers as the recorded run did: no fault of its own.
    lines += ["replay = %s" % replay] if replay else ["fault = %s" % f for f in case.faults]
    with open(os.path.join(folder, "settings.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def expectation(case, files):
    expect = model.Expect(files, case.faults, case.devices.split(","), case.settings.get("flash_fill", 0xFF))
    if UPDATE in case.steps:
        expect.run_update()
    return expect


class Driver:
    """Performs a case's steps and notes what each must have caused."""

    def __init__(self, session, checks):
        self.s, self.c = session, checks
        self.main_commands = []    # WM_COMMAND wParam values the main window must get, in order
        self.about_commands = []   # (About box, wParam that must close it)
        self.boxes_seen = []       # (caption, texts) of each message box, as list_windows.exe read it
        self.close_commands = 0

    def step(self, step):
        kind = step[0]
        s = self.s
        if kind == "update":
            s.menu("alt+u", "p")
            self.main_commands.append(110)
        elif kind == "exit":
            s.menu("alt+u", "x")
            self.main_commands.append(105)
        elif kind == "alt_f4":
            s.menu("alt+F4")
            self.close_commands += 1
        elif kind == "ok":
            box = s.dismiss_box()
            self.boxes_seen.append((box.title, [t for t in box.statics() if t]))
        elif kind == "wait_text":
            text = getattr(model, step[1])
            wait_for("the text %r" % text, lambda: s.relay().has_text(text), 30, 0.1)
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
                    self.main_commands.append(105)
                    return
            else:
                found = wait_for("a message box or the program's end", box_or_end, UPDATE_SECONDS, 0.2)
            if found == "end":
                return
            after_box = found is True
            if after_box:
                box = s.dismiss_box()
                self.boxes_seen.append((box.title, [t for t in box.statics() if t]))

    def clicks(self):
        s = self.s
        before = s.relay()
        downs = {m: len(before.received(m, s.main.hwnd)) for m in ("WM_LBUTTONDOWN", "WM_RBUTTONDOWN")}
        s.click_client(1)
        s.click_client(3)
        wait_for("the clicks to reach the window", lambda: all(
            len(s.relay().received(m, s.main.hwnd)) > n for m, n in downs.items()), 15, 0.1)
        time.sleep(0.3)
        after = s.relay()
        self.c.equal("clicks in the client area draw and show nothing", after.shown(), before.shown())
        self.c.equal("clicks in the client area open no window", [w.cls for w in s.windows()], ["SORVIK UPDATE"])

    def about(self, opened_by, closed_by):
        s = self.s
        if opened_by == "menu":
            s.menu("alt+h", "a")
            self.main_commands.append(104)
        else:
            s.menu(opened_by)
            self.main_commands.append(0x10000 | 104)  # high word 1: from an accelerator
        box = s.wait_dialog("the About box")
        s.screenshot("about")
        self.c.equal("About box (%s): title" % opened_by, box.title, TITLE)
        self.c.equal("About box (%s): texts" % opened_by, box.statics(),
                     ["Sorvik Fpga Update", "Loader Version 1.0_120_xp"])
        self.c.equal("About box (%s): OK button" % opened_by, [c[3] for c in box.child("Button", 1)], ["OK"])
        self.c.equal("About box (%s): its client area on the window's" % opened_by, box.client, s.main.client)
        if closed_by == "ok":
            s.press_ok(box)
        else:
            s.click(box, 12, box.size[1] - 12)  # into the box, away from its button, so it has the keys
            s.keys({"escape": "Escape", "return": "Return"}[closed_by])
        self.about_commands.append((box, 2 if closed_by == "escape" else 1))
        s.wait_no_dialog("the About box to close by %s" % closed_by)


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


def check_window(s, c):
    xs = s.x_window()
    c.equal("one window titled %r" % TITLE, len(xs), 1)
    if xs:
        c.equal("window title", s.x("getwindowname", xs[0]).rstrip("\n"), TITLE)
        geometry = dict(l.split("=") for l in s.x("getwindowgeometry", "--shell", xs[0]).split())
        c.equal("window size (xdotool)", (int(geometry["WIDTH"]), int(geometry["HEIGHT"])), (300, 200))
    c.equal("window class and size (Wine)", (s.main.cls, s.main.size), ("SORVIK UPDATE", (300, 200)))


def check_outputs(c, folder, relay, expect, driver, exit_code):
    want_exit = expect.exit_code if expect.exit_code is not None else 0
    c.equal("exit code", exit_code, want_exit)

    texts = [e for e in relay.events if e[0] == "text"]
    c.equal("every text drawn at x 10 with its whole length",
            [(e[3], e[4]) for e in texts if (e[3], e[4]) != (10, len(e[2]))], [])
    c.equal("message boxes have no owner window", [e[4] for e in relay.events if e[0] == "box" and e[4]], [])
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
    if driver.main_commands.count(110) > 1:
        # The second choice came while the first update ran (after its first text, before its end).
        started = next(i for i, e in enumerate(relay.events) if e[0] == "text" and e[2] == model.UPDATING)
        ended = next((i for i, e in enumerate(relay.events) if e[0] == "box"), len(relay.events))
        second = [at for at, wp in relay.commands(hwnd) if wp == 110][1]
        c.check("second Update chosen while the first ran", started < second <= ended,
                "at event %d; the update ran from event %d to %d" % (second, started, ended))

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
    c.equal("standard output", read(os.path.join(folder, "stdout.txt")), b"")
    c.check("simulated unit understood its settings", not os.path.exists(os.path.join(folder, "error.txt")),
            read(os.path.join(folder, "error.txt")).decode(errors="replace")
            if os.path.exists(os.path.join(folder, "error.txt")) else "")
    return image_report(folder, expect, dumps)


def image_report(folder, expect, dumps):
    """Each written image against the flash at the write mode that follows it
    (the flash at the end when none follows), and a 1A70 main image also at the end."""
    lines = []
    final = os.path.join(folder, "flash-final.bin")
    checks = [(name, index) for name, index in expect.images]
    if expect.files.get(model.MAIN, b"")[:4] == b"1A70" and any(n == model.MAIN for n, _ in checks):
        checks.append((model.MAIN, None))
    for name, index in checks:
        data = expect.files[name]
        base = model.REGIONS[data[:4]][0]
        path = final if index is None or index >= len(dumps) else dumps[index]
        if not os.path.exists(path):
            lines.append((False, "%s: no flash dump %s" % (name, path)))
            continue
        flash = read(path)
        same = flash[base:base + len(data) - 4] == data[4:]
        where = "the end" if path == final else "write mode #%d" % (index + 1)
        lines.append((same, "%s (%s, %d bytes at 0x%06X) %s the flash at %s" % (
            name, data[:4].decode(), len(data) - 4, base, "matches" if same else "DIFFERS from", where)))
    return lines


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run_case(case, arch, work, win_dir, make_images, inspect, display=None, keep=False, seconds=CASE_SECONDS,
             images=None, compare=True, through_trace=False, replay=None):
    """Runs the case. With `images` (name -> bytes) those files lie beside the
    program instead of make_images's. compare=False: what the program does is
    recorded but not checked against the model (which knows files of a known
    kind that fit their region, no others). through_trace: with the trace
    library in front of the simulated one, and the reader's frames held
    against the unit's. replay: a trace the simulated unit answers as."""
    name = ("traced." if through_trace else "replayed." if replay else "") + case.name
    folder = os.path.join(os.path.abspath(work), arch, name)
    if replay:
        case = copy.copy(case)
        case.replay = replay
    files = prepare(case, folder, win_dir, make_images, images)
    if through_trace:
        try:
            traced.place(folder, win_dir)
        except traced.Missing as e:
            raise Failure(str(e))
    expect = expectation(case, files) if compare else None
    checks = Checks()
    set_deadline(seconds)
    session = Session(folder, prefix_path(work), inspect, arch, display)
    started = time.monotonic()
    exit_code, relay, images, error = None, None, [], None
    try:
        session.start()
        session.screenshot("start")
        check_window(session, checks)
        driver = Driver(session, checks)
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
        if compare:
            images = check_outputs(checks, folder, relay, expect, driver, exit_code)
            for ok, line in images:
                checks.check(line, ok)
        if through_trace:
            check_trace(checks, folder, expect, exit_code)
    with open(os.path.join(folder, "result.txt"), "w") as f:
        f.write(checks.report() + "\n")
    if checks.passed and not keep:
        for pattern in ("*.bin", "*.exe", "*.dll"):  # large, and made again by every run
            for p in glob.glob(os.path.join(folder, pattern)):
                os.remove(p)
    return checks, folder, elapsed, exit_code, relay, images


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
        succeeded = any(box[0] == model.table()["box_ok"][0] for box in expect.boxes())
        checks.check("the reader's verdict agrees with the run's end (verdict: %s)" % said,
                     (said == "the update went through") == succeeded)


# --- commands ---------------------------------------------------------------------------------

def command_case(a):
    case = BY_NAME[a.name]
    say("case %s (%s): %s" % (case.name, a.arch, case.why))
    if a.arch == "i686":
        why = probe_i686(prefix_path(a.work), a.probe32)
        if why:
            say("SKIPPED: the i686 build cannot run on this machine: %s" % why)
            return SKIP
    run = lambda **how: run_case(case, a.arch, a.work, a.win_dir, a.make_images, a.inspect, **how)
    checks, folder, elapsed, exit_code, _, _ = run(through_trace=a.traced or a.replayed)
    say(checks.report())
    say("%s in %.1f s; artefacts in %s" % ("PASSED" if checks.passed else "FAILED", elapsed, folder))
    if a.replayed and checks.passed:
        # Beside the replaying unit's settings, as a trace sent in would be.
        recorded = traced.trace_files(folder)[0]
        say("replayed from %s, with no fault configured:" % recorded)
        replayed, folder, elapsed, _, _, _ = run(replay=recorded, keep=True)
        say(replayed.report())
        say("%s in %.1f s; artefacts in %s" % ("PASSED" if replayed.passed else "FAILED", elapsed, folder))
        return 0 if replayed.passed else 1
    return 0 if checks.passed else 1


# The simulated unit of a rehearsal: its default timing, and a flash that
# starts with old content rather than erased, so a sector that was not erased
# shows up against the file.
REHEARSAL_UNIT = {"round_trip_ms": 1, "erase_ms": 150, "flash_fill": 0}
USAGE = 2


def command_demo(a):
    if a.round_trip_ms < 0:
        say("--round-trip-ms wants a number of milliseconds, 0 or more, not %d." % a.round_trip_ms)
        return USAGE
    images, known = None, True
    if a.images is not None:
        try:
            images, words, known = rehearsal.survey(a.images)
        except rehearsal.Unusable as e:
            say("Nothing to rehearse: %s." % e)
            return USAGE
        say("Image files in %s:" % os.path.abspath(a.images))
        for line in words:
            say("  " + line)
    else:
        say("Sample image set: a full-size 1A70 main image and four 64 KiB OSD parts (tools/make_images).")
    say("\nRunning the program under Wine against the simulated unit (round trip %d ms, erase %d ms a sector, "
        "flash starting at 0x%02X) and choosing Update -> Update Firmware ..." % (
            REHEARSAL_UNIT["round_trip_ms"], REHEARSAL_UNIT["erase_ms"], REHEARSAL_UNIT["flash_fill"]))
    make_prefix(a.work, reuse=True)
    case = Case("demo", [UPDATE, UNTIL_END], main=("1A70", FULL_1A70), parts=64 * 1024, settings=REHEARSAL_UNIT)
    unit = None
    if a.unit_trace:
        try:
            unit = traced.unit_timing(a.unit_trace)
        except traced.Missing as e:
            say("Nothing to rehearse: %s." % e)
            return USAGE
    checks, folder, elapsed, exit_code, relay, _ = run_case(
        case, "x86_64", a.work, a.win_dir, a.make_images, a.inspect, display=a.display, keep=True,
        seconds=UPDATE_SECONDS + 120, images=images, compare=known, through_trace=a.trace)
    if relay is None:
        say(checks.report())
        say("The run did not come to its end; artefacts in %s" % folder)
        return 1
    report_shown(relay)
    out = read(os.path.join(folder, "stdout.txt"))
    say("Standard output: %s" % (repr(out.decode(errors="replace")) if out else "nothing"))
    say("Exit code: %s" % exit_code)
    files = {n: read(os.path.join(folder, n)) for n in [model.MAIN] + model.PARTS
             if os.path.isfile(os.path.join(folder, n))}
    trace = UnitTrace(os.path.join(folder, "trace.txt"))
    lines = rehearsal.flash_report(folder, files, trace, REHEARSAL_UNIT["flash_fill"])
    say("Flash, byte for byte:")
    for ok, line in lines:
        say("  " + line)
    if not trace.frames:
        say("  nothing reached the unit")
    say("Time taken: %.1f s, from starting the program to its end (under Wine, with its tracing)" % elapsed)
    round_trip, erase = unit if unit else (a.round_trip_ms, REHEARSAL_UNIT["erase_ms"])
    bound, counts = rehearsal.estimate_ms(files, round_trip, erase, 0)
    if trace.frames:
        on = ("On the unit of the trace %s (round trip %.3f ms per frame, erase %.1f ms a sector: the medians "
              "it recorded)" % (a.unit_trace, round_trip, erase) if unit else
              "On a unit at a round trip of %d ms per frame (erase %d ms a sector, as simulated)" % (round_trip, erase))
        say("%s: at least %.1f s for the same frames (%s; the bound of bench/README.md)" % (
            on, bound / 1000.0, ", ".join("%s %d" % (k, v) for k, v in counts.items())))

    say("Images, traces and flash dumps: %s" % folder)
    say("Screenshots: %s" % ", ".join(sorted(glob.glob(os.path.join(folder, "shot-*.png")))))
    if known:
        say("Checks of the program against what it must do with these files: %s (details in %s)" % (
            "passed" if checks.passed else "FAILED", os.path.join(folder, "result.txt")))
        if not checks.passed:
            say(checks.report())
    else:
        say("Checks of the program: not made, as they know only files of a known kind that fit their region; "
            "the above is what the program did.")
    success = verdict(relay, exit_code, lines, any(f[1] == "erase" for f in trace.frames))
    # Last, the trace as support would read it, ending in the reader's verdict.
    read_back = report_trace(folder) if a.trace else 0
    return 0 if success and checks.passed and read_back == 0 else 1


def report_trace(folder):
    """The trace reader's account of the run, and its page: as support would
    read a user's trace. Non-zero when there is no trace to read."""
    found = traced.trace_files(folder)
    if len(found) != 1:
        say("\nThe trace library wrote %d traces into %s, not one." % (len(found), folder))
        return 1
    page = os.path.join(folder, "trace-report.html")
    say("\nThe trace, as the trace reader reads it (tools/trace/read_trace.py %s --images %s --html %s):"
        % (found[0], folder, page))
    r = run([sys.executable, "-B", traced.READER, found[0], "--images", folder, "--html", page], 300)
    if r.returncode == 2 or not os.path.exists(page):
        say("  the reader could not read it: %s" % r.stderr.strip())
        return 1
    told = r.stdout.rstrip("\n").splitlines()
    for line in told[:-1]:
        say("  " + line)
    say("Trace: %s (%.1f MB)\nHTML report: %s" % (found[0], os.path.getsize(found[0]) / 1e6, page))
    say(told[-1])  # the reader's verdict
    return 0 if told[-1] == "verdict: the update went through" else 1


def report_shown(relay):
    say("\nWhat the program showed (its TextOutW and MessageBoxW calls, in order):")
    progress = 0
    for e in relay.events:
        if e[0] == "text" and e[2].startswith(model.PROGRESS_LEAD):
            progress += 1
            if progress % 100 != 1:
                continue  # the progress line comes hundreds of times: show every 100th
        say("  y %3d  %r" % (e[1], e[2]) if e[0] == "text" else "  box    %r  caption %r" % (e[1], e[2]))
    say("  (every 100th progress text shown; %d in all)\n" % progress)


def verdict(relay, exit_code, flash_lines, erased):
    """Says whether this image set updates a unit; True when it does."""
    shown = relay.shown()
    boxes = [e for e in shown if e[0] == "box"]
    flash_ok = bool(flash_lines) and all(ok for ok, _ in flash_lines)
    if exit_code == 0 and boxes and boxes[-1][1] == model.BOX_OK[0] and flash_ok:
        say("\nVerdict: this image set updates a unit: the program ended with \"%s\" and every "
            "file it read is in the flash." % model.BOX_OK[0].rstrip())
        return True
    if exit_code == 1:
        fatal = [e[2].rstrip() for e in shown if e[0] == "text" and e[1] == 10 and e[2] in model.FATAL_TEXT.values()]
        why = "the program stopped with the fatal error %r" % (fatal[-1] if fatal else "?")
        before = [b[1] for b in boxes if b[1:3] != model.BOX_FATAL[:2]]
        if before:
            why += " after the box %r" % before[-1]
        why += ("; on a unit the flash would be left partly written" if erased
                else "; the flash was not changed")
    elif exit_code == 0 and boxes and boxes[-1][1] != model.BOX_OK[0]:
        why = "the update ended at the box %r without writing anything" % boxes[-1][1]
    else:
        why = "the flash does not hold every file it should"
    say("\nVerdict: this image set does NOT update a unit: %s." % why)
    return False


# --- the user guide's pictures ------------------------------------------------------------

SHOT_SCREEN = "640x480x24"  # boxes come up in the middle, close to the window
GUIDE_UNIT = {"round_trip_ms": 1, "erase_ms": 20}


def command_shots(a):
    """Runs the program through the scenes the user guide shows and cuts each
    picture to the windows on screen: the main window, with its box if one is up."""
    prefix = make_prefix(a.work, reuse=True)
    # Wine draws the caption buttons with this font; without it they show as letters.
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    if os.path.exists(marlett):
        shutil.copy(marlett, os.path.join(prefix, "drive_c", "windows", "Fonts"))
    out = os.path.abspath(a.out)
    os.makedirs(out, exist_ok=True)
    scenes = [
        (Case("guide_update", [], main=("1A70", 256 * 1024), parts=64 * 1024, settings=GUIDE_UNIT), shots_update),
        (Case("guide_write_error", [], main=("1A60", 64 * 1024), settings=GUIDE_UNIT,
              faults=["program:300:wrong_reply", "program:301:wrong_reply"]), shots_fatal),
        (Case("guide_file_missing", [], missing=[model.MAIN]), shots_one_box("file-missing")),
        (Case("guide_not_connected", [], devices="1999"), shots_one_box("not-connected")),
    ]
    made = []
    for case, scene in scenes:
        folder = os.path.join(os.path.abspath(a.work), "shots", case.name)
        prepare(case, folder, a.win_dir, a.make_images)
        set_deadline(CASE_SECONDS)
        s = Session(folder, prefix_path(a.work), a.inspect, screen=SHOT_SCREEN)
        try:
            s.start()
            made += scene(s, out)
            s.wait_exit(60)
        finally:
            s.close()
    for path in made:
        say("%s (%d bytes)" % (path, os.path.getsize(path)))
    return 0


def shots_update(s, out):
    made = [s.picture(os.path.join(out, "start.png"), [s.main])]
    s.menu("alt+u", "p")
    wait_for("the first progress text", lambda: progress_after(s, model.UPDATING), 60)
    made.append(picture_with_status(s, os.path.join(out, "writing.png")))
    wait_for("the progress of part 2", lambda: progress_after(s, model.WRITING_PART[0]), 60)
    made.append(picture_with_status(s, os.path.join(out, "writing-part.png")))
    box = s.wait_dialog("the closing box", 120)
    made.append(s.picture(os.path.join(out, "done.png"), [s.main, box]))
    s.press_ok(box)
    return made


def picture_with_status(s, path):
    """A picture of the main window whose status line shows its text: one taken
    while the next text is being drawn (its line wiped, the letters not yet
    there) is taken again."""
    def inked():
        s.picture(path, [s.main])
        left, top = s.main.client
        r = run(["convert", os.path.join(s.folder, "screen.png"), "-crop", "240x12+%d+%d" % (left + 10, top + 12),
                 "-colorspace", "gray", "-format", "%[fx:minima]", "info:"], 30)
        return r.returncode == 0 and float(r.stdout or 1) < 0.5
    wait_for("a picture with the status line drawn", inked, 10, 0.05)
    return path


def progress_after(s, text):
    """True once a progress text has been drawn after `text`."""
    texts = [e[2] for e in s.relay().events if e[0] == "text"]
    return text in texts and any(t.startswith(model.PROGRESS_LEAD) for t in texts[texts.index(text):])


def shots_fatal(s, out):
    s.menu("alt+u", "p")
    first = s.wait_dialog("the write error's box", 60)
    made = [s.picture(os.path.join(out, "write-error.png"), [s.main, first])]
    s.press_ok(first)
    last = wait_for("the fatal stop's box", lambda: [d for d in s.dialogs() if d.hwnd != first.hwnd], 30)[0]
    made.append(s.picture(os.path.join(out, "fatal-stop.png"), [s.main, last]))
    s.press_ok(last)
    return made


def shots_one_box(name):
    def scene(s, out):
        s.menu("alt+u", "p")
        box = s.wait_dialog("the box", 60)
        made = [s.picture(os.path.join(out, name + ".png"), [s.main, box])]
        s.press_ok(box)
        s.wait_no_dialog("the box to close")
        s.menu("alt+u", "x")
        return made
    return scene


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    pp = sub.add_parser("prefix")
    pp.add_argument("--work", required=True)
    pp.add_argument("--reuse", action="store_true")
    sub.add_parser("cleanup").add_argument("--work", required=True)
    lp = sub.add_parser("list")
    lp.add_argument("--traced", action="store_true")
    lp.add_argument("--replayed", action="store_true")
    for name in ("case", "demo", "shots"):
        c = sub.add_parser(name)
        if name == "shots":
            c.add_argument("--out", required=True, help="folder of the pictures")
        elif name == "case":
            c.add_argument("name", choices=sorted(BY_NAME))
            c.add_argument("--arch", choices=["x86_64", "i686"], default="x86_64")
            c.add_argument("--probe32")
            how = c.add_mutually_exclusive_group()
            how.add_argument("--traced", action="store_true", help="through the trace library")
            how.add_argument("--replayed", action="store_true",
                             help="recorded through the trace library, then replayed from its trace")
        else:
            c.add_argument("--display", default=os.environ.get("DISPLAY") or None)
            c.add_argument("--images", metavar="DIR", help="the image files in DIR, by their fixed names, "
                           "instead of the sample set")
            c.add_argument("--round-trip-ms", type=int, default=1, metavar="N",
                           help="round trip per frame of the unit that the time is worked out for")
            if name == "demo":
                c.add_argument("--trace", action="store_true",
                               help="with the trace library between the program and the simulated unit")
                c.add_argument("--unit-trace", metavar="FILE",
                               help="round trip and erase times from a recorded trace of a unit")
        c.add_argument("--work", required=True)
        c.add_argument("--win-dir", required=True)
        c.add_argument("--make-images", required=True)
        c.add_argument("--inspect", required=True)
        c.add_argument("--expected", required=True, help="export_expected, the tests' table and records")
    a = p.parse_args(argv)
    if getattr(a, "expected", None):
        model.use(a.expected)
    try:
        if a.command == "list":
            say(";".join(TRACED if a.traced else REPLAYED if a.replayed else [c.name for c in CASES]))
            return 0
        if a.command == "prefix":
            make_prefix(a.work, a.reuse)
            return 0
        if a.command == "cleanup":
            kill_wineserver(prefix_path(a.work))
            return 0
        if a.command == "demo":
            return command_demo(a)
        if a.command == "shots":
            return command_shots(a)
        return command_case(a)
    except (Failure, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
