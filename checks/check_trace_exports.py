#!/usr/bin/env python3
"""Fails unless the trace library is a drop-in for the bridge library: a DLL
of the build's architecture that exports exactly the bridge library's eight
ordinals as code of its own, with no names. (What it imports is
check_imports.py's to check.)
    check_trace_exports.py SiUSBXp.dll --machine i686|x86_64"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pe_read import BRIDGE_ORDINALS, Findings, load  # noqa: E402

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}
DLL_FLAG = 0x2000


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("library")
    parser.add_argument("--machine", required=True, choices=sorted(MACHINES))
    a = parser.parse_args(argv[1:])
    pe = load(a.library)
    findings = Findings("check_trace_exports")
    if pe.FILE_HEADER.Machine != MACHINES[a.machine]:
        findings.fail("machine 0x%04X, not %s" % (pe.FILE_HEADER.Machine, a.machine))
    if not pe.FILE_HEADER.Characteristics & DLL_FLAG:
        findings.fail("not a DLL")
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    symbols = exports.symbols if exports else []
    if not exports:
        findings.fail("no export table")
    named = [s.name.decode() for s in symbols if s.name]
    if named:
        findings.fail("exports names %s; the operations must be exported by ordinal only" % named)
    forwarded = [s.ordinal for s in symbols if s.forwarder]
    if forwarded:
        findings.fail("ordinals %s are forwarded, not our own code" % forwarded)
    ordinals = sorted(s.ordinal for s in symbols)
    if ordinals != list(BRIDGE_ORDINALS):
        findings.fail("exports the ordinals %s, not %s" % (ordinals, list(BRIDGE_ORDINALS)))
    return findings.exit_code("%s exports the eight operations by ordinal only" % a.library)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
