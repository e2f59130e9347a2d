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
import base64
import hashlib
import html
import os
import re
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
# Enough Markdown for the guide: headings, paragraphs, lists, tables, pictures,
# links, code spans and bold. Pictures are put inline so the page is one file.

def inline(text, base):
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append("<code>%s</code>" % html.escape(part[1:-1]))
            continue
        s = html.escape(part, quote=False)
        s = re.sub(r"!\[([^\]]*)\]\(([^)]+)\)", lambda m: picture(m.group(1), m.group(2), base), s)
        s = re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r'<a href="\2">\1</a>', s)
        s = re.sub(r"\*\*([^*]+)\*\*", r"<strong>\1</strong>", s)
        out.append(s)
    return "".join(out)


def picture(alt, path, base):
    with open(os.path.join(base, html.unescape(path)), "rb") as f:
        data = base64.b64encode(f.read()).decode()
    return '<img alt="%s" src="data:image/png;base64,%s">' % (alt, data)


def table_cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def markdown_to_html(text, base, title):
    lines = text.splitlines()
    body = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        m = re.match(r"(#{1,4}) (.*)", line)
        if m:
            level = len(m.group(1))
            body.append("<h%d>%s</h%d>" % (level, inline(m.group(2), base), level))
            i += 1
            continue
        if line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(table_cells(lines[i]))
                i += 1
            head, rest = rows[0], [r for r in rows[1:] if not all(re.fullmatch(r":?-+:?", c) for c in r)]
            body.append("<table>\n<tr>%s</tr>" % "".join("<th>%s</th>" % inline(c, base) for c in head))
            body.extend("<tr>%s</tr>" % "".join("<td>%s</td>" % inline(c, base) for c in r) for r in rest)
            body.append("</table>")
            continue
        m = re.match(r"(\s*)(- |(\d+)\. )", line)
        if m:
            tag = "ul" if m.group(2) == "- " else "ol"
            # A list broken by a picture goes on with its own numbers.
            start = ' start="%s"' % m.group(3) if m.group(3) and m.group(3) != "1" else ""
            items = []
            while i < len(lines) and lines[i].strip():
                item = re.match(r"\s*(- |\d+\. )(.*)", lines[i])
                if item:
                    items.append(item.group(2))
                else:
                    items[-1] += " " + lines[i].strip()  # a continued line
                i += 1
            body.append("<%s%s>\n%s\n</%s>" % (tag, start, "\n".join("<li>%s</li>" % inline(t, base) for t in items),
                                              tag))
            continue
        if line.startswith("    "):
            code = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                code.append(lines[i][4:])
                i += 1
            body.append("<pre>%s</pre>" % html.escape("\n".join(code).rstrip("\n")))
            continue
        paragraph = []
        while i < len(lines) and lines[i].strip() and not re.match(r"#|\||\s*(- |\d+\. )", lines[i]):
            paragraph.append(lines[i].strip())
            i += 1
        body.append("<p>%s</p>" % inline(" ".join(paragraph), base))
    style = ("body{font-family:sans-serif;max-width:50em;margin:1em auto;padding:0 1em;line-height:1.4}"
             "table{border-collapse:collapse}td,th{border:1px solid #aaa;padding:.3em .5em;"
             "vertical-align:top;text-align:left}code{background:#eee;white-space:pre}img{border:1px solid #ccc}")
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
            "<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (html.escape(title), style, "\n".join(body)))


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

    with open(a.guide, encoding="utf-8") as f:
        guide = markdown_to_html(f.read(), os.path.dirname(os.path.abspath(a.guide)),
                                 "SORVIK FPGA Update %s: user guide" % a.version).encode("utf-8")
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
