#!/usr/bin/env python3
"""End-to-end tests: the real Windows program under Wine, against the
simulated unit's SiUSBXp.dll, on its own X display, driven like a user.

  driver.py prefix  --work DIR [--reuse] [--slot N]
                                             make the Wine prefix of slot N (default 0):
                                             DIR/wineprefix, DIR/wineprefix-1, ...
  driver.py cleanup --work DIR [--slots N]   end the Wine processes of the prefixes of N slots
  driver.py list [--traced | --replayed]     the case names: all, those run again through the
                                             trace library, those recorded and replayed
  driver.py case NAME --arch x86_64|i686 [--traced | --replayed] --work DIR [--build-root DIR]
                                             run one case; exit 0 passed, 1 failed, 77 skipped;
                                             in the prefix of the slot CTest gave it (0 if none)
  driver.py demo --work DIR [--build-root DIR] [--display :N] [--images DIR]
                 [--round-trip-ms N | --unit-trace FILE] [--trace]
                                             a full update, with a report: of the sample set,
                                             or a rehearsal of the image files in DIR
  driver.py shots --work DIR [--build-root DIR] --out DIR
                                             the user guide's pictures
--build-root: the folder of the preset builds (default build/): the Windows
program of the case's architecture, its simulated and trace libraries, the
host's make_images and export_expected, the e2e helpers of win64 and win32.
Artefacts of a case: DIR/<arch>/<case>/ (traces, screenshots, result.txt).
"""
import argparse
import dataclasses
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import model  # noqa: E402
import traced  # noqa: E402
from cases import BY_NAME, CASES, REPLAYED, TRACED  # noqa: E402
from guide_pictures import command_shots  # noqa: E402
from main_job import command_demo  # noqa: E402
from prefix import (ctest_slot, end_prefixes, holding, make_prefix, prefix_path, probe_i686,  # noqa: E402
                    require_made, say)
from runner import SKIP, RunOptions, run_case  # noqa: E402
from session import Failure  # noqa: E402


def command_case(a, table):
    case = BY_NAME[a.name]
    slot = ctest_slot(os.environ)
    say("case %s (%s) in slot %d: %s" % (case.name, a.arch, slot, case.why))
    with holding(prefix_path(a.work, slot)):
        require_made(prefix_path(a.work, slot))
        return run_in_slot(a, table, case, slot)


def run_in_slot(a, table, case, slot):
    if a.arch == "i686":
        why = probe_i686(prefix_path(a.work, slot), a.probe32)
        if why:
            say("SKIPPED: the i686 build cannot run on this machine: %s" % why)
            return SKIP
    options = RunOptions(table, a.arch, a.work, a.win_dir, a.make_images, a.inspect, slot=slot)
    # The recording of a replayed case has a folder of its own: the traced
    # case of the same name may be running beside it.
    recorded = run_reported(case, dataclasses.replace(
        options, through_trace=a.traced or a.replayed, name=("recorded." + case.name) if a.replayed else None))
    checks = recorded.checks
    if a.replayed and checks.passed:
        trace = traced.trace_files(recorded.folder)[0]
        say("replayed from %s, with no fault configured:" % trace)
        checks = run_reported(case, dataclasses.replace(options, replay=trace, keep=True)).checks
    return 0 if checks.passed else 1


def run_reported(case, options):
    r = run_case(case, options)
    say(r.checks.report())
    say("%s in %.1f s; artefacts in %s" % ("PASSED" if r.checks.passed else "FAILED", r.elapsed, r.folder))
    return r


BUILD_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build")


def from_build_root(a):
    """What a job runs, from the preset builds under one folder: the Windows
    program and libraries of the architecture, and the host's tools."""
    root = os.path.abspath(a.build_root)
    a.win_dir = os.path.join(root, "win32" if getattr(a, "arch", "x86_64") == "i686" else "win64")
    host = os.path.join(root, "host")
    a.make_images = os.path.join(host, "tools", "make_images")
    a.inspect = os.path.join(root, "win64", "e2e", "list_windows.exe")
    a.probe32 = os.path.join(root, "win32", "e2e", "probe32.exe")
    a.expected = os.path.join(host, "tests", "export_expected")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    pp = sub.add_parser("prefix")
    pp.add_argument("--work", required=True)
    pp.add_argument("--reuse", action="store_true")
    pp.add_argument("--slot", type=int, default=0, help="the slot whose prefix to make")
    cp = sub.add_parser("cleanup")
    cp.add_argument("--work", required=True)
    cp.add_argument("--slots", type=int, default=1)
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
        c.add_argument("--build-root", default=BUILD_ROOT,
                       help="the folder of the preset builds: win64, win32 and host (default %(default)s)")
    a = p.parse_args(argv)
    if getattr(a, "build_root", None):
        from_build_root(a)
    try:
        if a.command == "list":
            say(";".join(TRACED if a.traced else REPLAYED if a.replayed else [c.name for c in CASES]))
            return 0
        if a.command == "prefix":
            make_prefix(a.work, a.reuse, a.slot)
            return 0
        if a.command == "cleanup":
            end_prefixes(a.work, a.slots)
            return 0
        if a.command == "demo":
            return command_demo(a, model.load(a.expected))
        if a.command == "shots":
            return command_shots(a, model.load(a.expected))
        return command_case(a, model.load(a.expected))
    except (Failure, model.Unavailable, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
