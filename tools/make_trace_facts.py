#!/usr/bin/env python3
"""Writes trace/trace_facts.py, the program's texts, codes and regions that the
reader names, from the tests' one table (`export_expected table`), so that
the reader runs from the release zip with nothing but Python and still says
exactly what the program shows. With --check it writes nothing and exits 1
when the committed module differs from what the table gives.
    make_trace_facts.py EXPORT_EXPECTED OUT [--check]"""
import argparse
import difflib
import json
import subprocess
import sys

TOOL_SECONDS = 60
BOXES = ("serial_string", "not_connected", "open_failed", "close_failed", "send_failed", "queue_failed",
         "read_failed", "mode_failed", "speed_failed", "write_enable_failed", "sector_erase_failed",
         "flash_write_failed")


def table(tool):
    r = subprocess.run([tool, "table"], capture_output=True, timeout=TOOL_SECONDS, check=True)
    return json.loads(r.stdout)


def module(t):
    sector = t["sector_bytes"]
    regions = {first: (kind, base, count * sector) for kind, (base, first, count) in t["regions"].items()}
    lines = [
        '"""The program\'s texts, codes and regions that the reader names. Written by',
        "make_trace_facts.py from the tests' table; do not edit (the test trace.facts fails",
        'when this differs from the table)."""',
        "",
        "SERIAL = %r" % t["serial"].encode(),
        "# By first sector: kind, base address, size in bytes.",
        "REGIONS = {%s}" % ", ".join("%d: (%r, 0x%06X, 0x%06X)" % ((first,) + regions[first])
                                     for first in sorted(regions)),
        "# The text of each box the reader names.",
        "BOXES = {",
    ] + ["    %r: %r," % (name, t["boxes"][name][0]) for name in BOXES] + [
        "}",
        "# The fatal stop's words (without their trailing blanks), by code.",
        "FATAL_WORDS = {%s}" % ", ".join("%s: %r" % (code, text.rstrip(" "))
                                          for code, text in sorted(t["fatal_texts"].items(), key=lambda i: int(i[0]))),
        "# The fatal code of each kind of failure.",
        "FATAL_CODES = {%s}" % ", ".join("%r: %d" % item for item in t["fatal_codes"].items()),
    ]
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("export_expected")
    parser.add_argument("out")
    parser.add_argument("--check", action="store_true", help="compare with OUT instead of writing it")
    a = parser.parse_args(argv[1:])
    wanted = module(table(a.export_expected))
    if not a.check:
        with open(a.out, "w", encoding="utf-8") as f:
            f.write(wanted)
        return 0
    with open(a.out, encoding="utf-8") as f:
        committed = f.read()
    if committed == wanted:
        print("make_trace_facts: %s agrees with the tests' table" % a.out)
        return 0
    sys.stdout.writelines(difflib.unified_diff(committed.splitlines(True), wanted.splitlines(True),
                                               a.out, "from the table"))
    print("make_trace_facts: %s differs from the tests' table; run make_trace_facts.py again" % a.out, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
