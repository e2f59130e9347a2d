#!/usr/bin/env python3
"""Writes the release packages from programs already built:

  package.py --version V --date EPOCH --guide docs/user-guide.md --out DIR
             --program win32=PATH --program win64=PATH
             --trace-library win32=PATH --trace-library win64=PATH
             --trace-reader tools/trace --trace-readme release/trace-README.txt

For each architecture DIR/SorvikFpgaUpdate-V-ARCH.zip holds one folder with
the program, the user guide as one HTML file (its pictures inside it), and
the trace kit in trace/: the trace library of that architecture, the
reader's Python files and the kit's README;
DIR/SHA256SUMS lists both zips in the form `sha256sum -c` reads.

Every byte of a zip follows from its inputs: entries in a fixed order, each
with the given date, fixed permissions and the same compression, so two
builds of one commit give the same zips and the same sums."""
import argparse
import hashlib
import importlib.util
import os
import sys
import time
import zipfile

sys.dont_write_bytecode = True

PROGRAM = "SorvikFpgaUpdate.exe"
GUIDE = "UserGuide.html"
TRACE = "trace/"
FILE_MODE = 0o100644
FOLDER_MODE = 0o040755
MSDOS_DIRECTORY = 0x10
UNIX = 3  # the "made by" system: the permissions are read as Unix modes


# --- the guide as HTML ------------------------------------------------------------

def has_markdown():
    return importlib.util.find_spec("markdown") is not None


def guide_page(path, title):
    import guide_html  # here: it needs python3-markdown, checked by main
    with open(path, encoding="utf-8") as f:
        return guide_html.markdown_to_html(f.read(), os.path.dirname(os.path.abspath(path)), title)


# --- the zips ----------------------------------------------------------------------

def entry(name, date, mode, attributes=0):
    info = zipfile.ZipInfo(name, date_time=date)
    info.create_system = UNIX
    info.external_attr = (mode << 16) | attributes
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def write_zip(path, folder, files, date):
    """files: [(name in the folder, bytes)], written in this order; a name
    ending in / is a folder."""
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        z.writestr(entry(folder + "/", date, FOLDER_MODE, MSDOS_DIRECTORY), b"")
        for name, data in files:
            if name.endswith("/"):
                z.writestr(entry("%s/%s" % (folder, name), date, FOLDER_MODE, MSDOS_DIRECTORY), b"")
            else:
                z.writestr(entry("%s/%s" % (folder, name), date, FILE_MODE), data, compresslevel=9)


def reader_files(folder):
    """The trace reader as it runs: its Python files, not its tests."""
    names = sorted(n for n in os.listdir(folder) if n.endswith(".py"))
    return [(TRACE + n, read(os.path.join(folder, n))) for n in names]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def by_arch(pairs):
    return dict(p.partition("=")[::2] for p in pairs)


def zip_date(epoch):
    # A zip keeps local time to two seconds and cannot go before 1980.
    epoch = max(int(epoch), 315532800)
    return time.gmtime(epoch - epoch % 2)[:6]


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", required=True)
    p.add_argument("--date", required=True, type=int, help="seconds since 1970 (UTC) for every entry")
    p.add_argument("--guide", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--program", action="append", required=True, metavar="ARCH=PATH")
    p.add_argument("--trace-library", action="append", required=True, metavar="ARCH=PATH")
    p.add_argument("--trace-reader", required=True, metavar="DIR")
    p.add_argument("--trace-readme", required=True)
    a = p.parse_args(argv)
    if not has_markdown():
        print("package.py: needs python3-markdown (scripts/setup.sh installs it)", file=sys.stderr)
        return 1

    guide = guide_page(a.guide, "SORVIK FPGA Update %s: user guide" % a.version).encode("utf-8")
    date = zip_date(a.date)
    os.makedirs(a.out, exist_ok=True)
    sums = []
    programs, libraries = by_arch(a.program), by_arch(a.trace_library)
    if sorted(programs) != sorted(libraries):
        p.error("a trace library for each program's architecture, and no other")
    kit = [(TRACE, b""), (TRACE + "README.txt", read(a.trace_readme))] + reader_files(a.trace_reader)
    for arch in sorted(programs):
        folder = "SorvikFpgaUpdate-%s-%s" % (a.version, arch)
        name = folder + ".zip"
        files = [(PROGRAM, read(programs[arch])), (GUIDE, guide)] + kit[:2] + \
                [(TRACE + "SiUSBXp.dll", read(libraries[arch]))] + kit[2:]
        write_zip(os.path.join(a.out, name), folder, files, date)
        with open(os.path.join(a.out, name), "rb") as f:
            sums.append("%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name))
    with open(os.path.join(a.out, "SHA256SUMS"), "w") as f:
        f.writelines(sums)
    sys.stdout.writelines(sums)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
