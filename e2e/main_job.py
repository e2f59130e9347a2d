"""The main job: a full update of the sample set, or a rehearsal of an image
set, with its report; optionally through the trace library, then read back
by the trace reader."""
import glob
import os
import sys

import rehearsal
import traced
from cases import Case, FULL_1A70, UPDATE
from observe import UnitTrace, read
from prefix import make_prefix, say
from runner import UNTIL_END, UPDATE_SECONDS, RunOptions, run_case
from session import run

# The simulated unit of a rehearsal: its default timing, and a flash that
# starts with old content rather than erased, so a sector that was not erased
# shows up against the file.
REHEARSAL_UNIT = {"round_trip_ms": 1, "erase_ms": 150, "flash_fill": 0}
USAGE = 2


def command_demo(a, t):
    if a.round_trip_ms < 0:
        say("--round-trip-ms wants a number of milliseconds, 0 or more, not %d." % a.round_trip_ms)
        return USAGE
    images = None
    if a.images is not None:
        try:
            images, words = rehearsal.survey(t, a.images)
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
    options = RunOptions(t, "x86_64", a.work, a.win_dir, a.make_images, a.inspect, display=a.display, keep=True,
                         seconds=UPDATE_SECONDS + 120, images=images, through_trace=a.trace)
    result = run_case(case, options)
    checks, folder, elapsed, exit_code, relay = (result.checks, result.folder, result.elapsed,
                                                 result.exit_code, result.relay)
    if relay is None:
        say(checks.report())
        say("The run did not come to its end; artefacts in %s" % folder)
        return 1
    report_shown(t, relay)
    out = read(os.path.join(folder, "stdout.txt"))
    say("Standard output: %s" % (repr(out.decode(errors="replace")) if out else "nothing"))
    say("Exit code: %s" % exit_code)
    files = {n: read(os.path.join(folder, n)) for n in (t.main,) + t.parts
             if os.path.isfile(os.path.join(folder, n))}
    trace = UnitTrace(os.path.join(folder, "trace.txt"))
    lines = rehearsal.flash_report(t, folder, files, trace, REHEARSAL_UNIT["flash_fill"])
    say("Flash, byte for byte:")
    for ok, line in lines:
        say("  " + line)
    if not trace.frames:
        say("  nothing reached the unit")
    say("Time taken: %.1f s, from starting the program to its end (under Wine, with its tracing)" % elapsed)
    round_trip, erase = unit if unit else (a.round_trip_ms, REHEARSAL_UNIT["erase_ms"])
    bound, counts = rehearsal.estimate_ms(t, files, round_trip, erase, 0)
    if trace.frames:
        on = ("On the unit of the trace %s (round trip %.3f ms per frame, erase %.1f ms a sector: the medians "
              "it recorded)" % (a.unit_trace, round_trip, erase) if unit else
              "On a unit at a round trip of %d ms per frame (erase %d ms a sector, as simulated)" % (round_trip, erase))
        say("%s: at least %.1f s for the same frames (%s; the bound of bench/README.md)" % (
            on, bound / 1000.0, ", ".join("%s %d" % (k, v) for k, v in counts.items())))

    say("Images, traces and flash dumps: %s" % folder)
    say("Screenshots: %s" % ", ".join(sorted(glob.glob(os.path.join(folder, "shot-*.png")))))
    say("Checks of the program against what it must do with these files: %s (details in %s)" % (
        "passed" if checks.passed else "FAILED", os.path.join(folder, "result.txt")))
    if not checks.passed:
        say(checks.report())
    success = verdict(t, relay, exit_code, lines, any(f.kind == "erase" for f in trace.frames))
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


def report_shown(t, relay):
    say("\nWhat the program showed (its TextOutW and MessageBoxW calls, in order):")
    progress = 0
    for e in relay.events:
        if e.kind == "text" and e.text.startswith(t.progress_lead):
            progress += 1
            if progress % 100 != 1:
                continue  # the progress line comes hundreds of times: show every 100th
        say("  y %3d  %r" % (e.y, e.text) if e.kind == "text" else "  box    %r  caption %r" % (e.text, e.caption))
    say("  (every 100th progress text shown; %d in all)\n" % progress)


def verdict(t, relay, exit_code, flash_lines, erased):
    """Says whether this image set updates a unit; True when it does."""
    shown = relay.shown()
    boxes = [e for e in shown if e[0] == "box"]
    flash_ok = bool(flash_lines) and all(ok for ok, _ in flash_lines)
    if exit_code == 0 and boxes and boxes[-1][1] == t.box_ok[0] and flash_ok:
        say("\nVerdict: this image set updates a unit: the program ended with \"%s\" and every "
            "file it read is in the flash." % t.box_ok[0].rstrip())
        return True
    if exit_code == 1:
        fatal = [e[2].rstrip() for e in shown if e[0] == "text" and e[1] == 10 and e[2] in t.fatal_text.values()]
        why = "the program stopped with the fatal error %r" % (fatal[-1] if fatal else "?")
        before = [b[1] for b in boxes if b[1:3] != t.box_fatal[:2]]
        if before:
            why += " after the box %r" % before[-1]
        why += ("; on a unit the flash would be left partly written" if erased
                else "; the flash was not changed")
    elif exit_code == 0 and boxes and boxes[-1][1] != t.box_ok[0]:
        why = "the update ended at the box %r without writing anything" % boxes[-1][1]
        if not erased:
            why = "%s: the box %r; nothing was sent to the unit" % (rehearsal.REFUSED, boxes[-1][1])
    else:
        why = "the flash does not hold every file it should"
    say("\nVerdict: this image set does NOT update a unit: %s." % why)
    return False
