#!/usr/bin/env python3
"""Compares the release builds of two runs of scripts/package.sh: the same
programs, zips and SHA256SUMS byte for byte, no link time or symbol table in
a program's header, no build or source folder named inside it, and nothing
in a zip but the program, the guide and the trace kit.
    compare_builds.py WORK RUN RUN"""
import filecmp
import os
import sys
import zipfile

import pefile

ARCHES = ("win32", "win64")


class Report:
    def __init__(self):
        self.failed = []

    def fail(self, what):
        self.failed.append(what)
        print("FAIL", what)


BUILT = {"program": ("app", "SorvikFpgaUpdate.exe"), "trace library": ("trace", "SiUSBXp.dll")}


def program_path(work, run, arch, what="program"):
    return os.path.join(work, run, "build", "release-" + arch, *BUILT[what])


def check_program(report, work, run, arch, what="program"):
    data = open(program_path(work, run, arch, what), "rb").read()
    header = pefile.PE(data=data, fast_load=True).FILE_HEADER
    if header.TimeDateStamp:
        report.fail("%s %s %s: link time 0x%08X in the header" % (run, arch, what, header.TimeDateStamp))
    if header.PointerToSymbolTable or header.NumberOfSymbols:
        report.fail("%s %s %s: a symbol table is left in it" % (run, arch, what))
    for folder in (os.path.join(work, run, "src"), os.path.join(work, run, "build"), work):
        for form in (folder.encode(), folder.encode("utf-16-le")):
            if form in data:
                report.fail("%s %s %s: it names the folder %s" % (run, arch, what, folder))


def compare_programs(report, work, runs):
    for arch in ARCHES:
        for what in BUILT:
            for run in runs:
                check_program(report, work, run, arch, what)
            first, second = (program_path(work, run, arch, what) for run in runs)
            if filecmp.cmp(first, second, shallow=False):
                print("ok   %s %s: the same %d bytes from both builds" % (arch, what, os.path.getsize(first)))
            else:
                report.fail("%s %s differs between the two builds" % (arch, what))


def check_zip(report, name, path, reader):
    folder = name[:-4] + "/"
    inside = zipfile.ZipFile(path).namelist()
    want = [folder, folder + "SorvikFpgaUpdate.exe", folder + "UserGuide.html", folder + "trace/",
            folder + "trace/README.txt", folder + "trace/SiUSBXp.dll"] + [folder + "trace/" + n for n in reader]
    if inside != want:
        report.fail("%s holds %s, not only the program, the guide and the trace kit %s" % (name, inside, want))


def compare_dists(report, work, runs):
    sources = os.path.join(work, runs[0], "src", "tools", "trace")
    reader = sorted(n for n in os.listdir(sources) if n.endswith(".py"))
    names = sorted(os.listdir(os.path.join(work, runs[0], "dist")))
    if names != sorted(os.listdir(os.path.join(work, runs[1], "dist"))):
        report.fail("the two builds wrote different files: %s" % names)
    for name in names:
        a, b = (os.path.join(work, run, "dist", name) for run in runs)
        if filecmp.cmp(a, b, shallow=False):
            print("ok   %s: the same from both builds" % name)
        else:
            report.fail("%s differs between the two builds" % name)
        if name.endswith(".zip"):
            check_zip(report, name, a, reader)


def main(argv):
    work, runs = argv[1], argv[2:]
    if len(runs) != 2:
        sys.exit("usage: compare_builds.py WORK RUN RUN")
    report = Report()
    compare_programs(report, work, runs)
    compare_dists(report, work, runs)
    print(open(os.path.join(work, runs[0], "dist", "SHA256SUMS")).read(), end="")
    print("reproducible: %s" % ("no" if report.failed else "yes"))
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
