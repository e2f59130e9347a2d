#!/usr/bin/env python3
"""Fails unless a program or trace library holds to the oldest Windows we
support: its header asks for exactly that Windows (operating system and
subsystem version), and every function it imports from Windows' own DLLs is
in the allowed list with a version no newer. With --bridge, it must also
import the bridge library SiUSBXp.dll by bare ordinals, exactly its eight
operations; without it, it must not import the bridge library at all
(the trace library finds the maker's library at run time).
    check_imports.py FILE --floor MAJOR.MINOR --allowed LIST [--bridge]"""
import argparse
import os
import sys
from dataclasses import dataclass

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pe_read import BRIDGE_ORDINALS, Findings, load, parse_version  # noqa: E402

BRIDGE = "siusbxp.dll"


@dataclass(frozen=True)
class Allowed:
    dll: str
    function: str
    since: tuple


def read_allowed(path):
    """{(dll, function): Allowed} from the list: "DLL FUNCTION MAJOR.MINOR" a line."""
    allowed = {}
    with open(path) as lines:
        for number, line in enumerate(lines, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            if len(words) != 3:
                sys.exit("%s:%d: want DLL FUNCTION VERSION, got %r" % (path, number, line.strip()))
            entry = Allowed(words[0].lower(), words[1], parse_version(words[2]))
            allowed[(entry.dll, entry.function)] = entry
    return allowed


def check_header(findings, pe, floor):
    header = pe.OPTIONAL_HEADER
    for what, major, minor in (
            ("operating system", header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
            ("subsystem", header.MajorSubsystemVersion, header.MinorSubsystemVersion)):
        if (major, minor) != floor:
            findings.fail("the header's %s version is %d.%d, not %d.%d" % ((what, major, minor) + floor))


def check_bridge(findings, entries, wanted):
    if not wanted:
        if entries:
            findings.fail("imports the bridge library SiUSBXp.dll")
        return
    if not entries:
        findings.fail("SiUSBXp.dll is not imported")
        return
    ordinals = []
    for entry in entries:
        for imported in entry.imports:
            if imported.import_by_ordinal:
                ordinals.append(imported.ordinal)
            else:
                findings.fail("SiUSBXp.dll imported by name: %s" % imported.name.decode())
    if sorted(ordinals) != sorted(BRIDGE_ORDINALS):
        findings.fail("SiUSBXp.dll ordinals %s, not %s" % (sorted(ordinals), sorted(BRIDGE_ORDINALS)))


def check_system_imports(findings, entries, allowed, floor):
    for entry in entries:
        dll = entry.dll.decode().lower()
        for imported in entry.imports:
            if imported.import_by_ordinal:
                findings.fail("%s ordinal %d: Windows' own DLLs are imported by name" % (dll, imported.ordinal))
                continue
            function = imported.name.decode()
            listed = allowed.get((dll, function))
            if listed is None:
                findings.fail("%s %s is not in the allowed list" % (dll, function))
            elif listed.since > floor:
                findings.fail("%s %s needs Windows %d.%d, newer than %d.%d" % ((dll, function) + listed.since + floor))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--floor", required=True, help="the oldest Windows we support, MAJOR.MINOR")
    parser.add_argument("--allowed", required=True, help="the list of allowed imports")
    parser.add_argument("--bridge", action="store_true", help="the file imports SiUSBXp.dll by ordinal")
    a = parser.parse_args(argv[1:])
    floor = parse_version(a.floor)
    allowed = read_allowed(a.allowed)
    pe = load(a.file)
    findings = Findings("check_imports")
    check_header(findings, pe, floor)
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    bridge = [e for e in entries if e.dll.decode().lower() == BRIDGE]
    system = [e for e in entries if e.dll.decode().lower() != BRIDGE]
    check_bridge(findings, bridge, a.bridge)
    check_system_imports(findings, system, allowed, floor)
    count = sum(len(e.imports) for e in system)
    return findings.exit_code("%s asks for Windows %s and imports %d functions of Windows' own DLLs, all there since"
                              " then%s" % (a.file, a.floor, count, ", and SiUSBXp.dll by its eight ordinals" if a.bridge else ""))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
