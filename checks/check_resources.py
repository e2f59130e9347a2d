#!/usr/bin/env python3
"""Fails unless a file of the release holds exactly the resources it should,
all in English (United States): the program its string table, menu,
accelerators, About box, two icon groups of one 48 x 48 picture, manifest and
version; the trace library its version alone. The version resource must name
the product and give the versions the program shows: "Version: 1.45-1013" in
its window, "Loader Version 1.0_120_xp" in its About box.
    check_resources.py FILE --kind program|trace-library"""
import argparse
import os
import struct
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pe_read import Findings, load  # noqa: E402

ENGLISH_US = 0x0409
UNICODE = 1200
RT_ICON, RT_MENU, RT_DIALOG, RT_STRING, RT_ACCELERATOR = 3, 4, 5, 6, 9
RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 14, 16, 24

# (type, id) of every resource but the icon images, which the groups name.
RESOURCES = {
    "program": {(RT_STRING, 7),  # strings 103 and 109 share the seventh block of sixteen
                (RT_MENU, 109), (RT_ACCELERATOR, 109), (RT_DIALOG, 103),
                (RT_GROUP_ICON, 107), (RT_GROUP_ICON, 108), (RT_MANIFEST, 1), (RT_VERSION, 1)},
    "trace-library": {(RT_VERSION, 1)},
}
RELEASE = {"ProductName": "SORVIK FPGA Update", "ProductVersion": "1.45-1013", "FileVersion": "1.0.120"}
STRINGS = {
    "program": dict(RELEASE, FileDescription="SORVIK FPGA Update", InternalName="SorvikFpgaUpdate",
                    OriginalFilename="SorvikFpgaUpdate.exe"),
    "trace-library": dict(RELEASE, FileDescription="SORVIK FPGA Update field trace library",
                          InternalName="SorvikFieldTrace", OriginalFilename="SiUSBXp.dll"),
}
FIXED_FILE_VERSION = (1, 0, 120, 0)
FIXED_PRODUCT_VERSION = (1, 45, 1013, 0)
FILE_TYPE = {"program": 1, "trace-library": 2}  # VFT_APP, VFT_DLL


def resource_table(pe):
    """{(type, id): [(language, bytes)]} of every resource in the file."""
    table = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for item in kind.directory.entries:
            for language in item.directory.entries:
                where = language.data.struct
                key = (kind.id if kind.id is not None else str(kind.name), item.id if item.id is not None else str(item.name))
                table.setdefault(key, []).append((language.id, pe.get_data(where.OffsetToData, where.Size)))
    return table


def icon_images(findings, table, group):
    """The image ids that an icon group names; it must be one 48 x 48 picture of 32 bits."""
    data = table[(RT_GROUP_ICON, group)][0][1]
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for n in range(count):
        width, height, _, _, _, bits, _, image = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * n)
        images.append(image)
        if (width, height, bits) != (48, 48, 32):
            findings.fail("icon group %d: an image of %d x %d, %d bits" % (group, width, height, bits))
    if kind != 1 or count != 1:
        findings.fail("icon group %d: %d images of kind %d, not one icon" % (group, count, kind))
    return images


def check_resources(findings, table, kind):
    wanted = set(RESOURCES[kind])
    if kind == "program" and wanted <= set(table):
        groups = [icon_images(findings, table, group) for group in (107, 108)]
        wanted |= {(RT_ICON, image) for images in groups for image in images}
        pictures = {table.get((RT_ICON, image), [(0, b"")])[0][1] for images in groups for image in images}
        if len(pictures) != 1:
            findings.fail("the icon groups 107 and 108 hold different pictures")
    if set(table) != wanted:
        findings.fail("resources %s, not %s" % (sorted(table, key=str), sorted(wanted, key=str)))
    for key, languages in sorted(table.items(), key=str):
        if [language for language, _ in languages] != [ENGLISH_US]:
            findings.fail("resource %s in the languages %s, not English (United States) alone"
                          % (key, ["0x%04X" % language for language, _ in languages]))


def split_version(most, least):
    return most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF


def check_version(findings, pe, kind):
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        findings.fail("no version resource")
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    for what, got, want in (
            ("file version", split_version(fixed.FileVersionMS, fixed.FileVersionLS), FIXED_FILE_VERSION),
            ("product version", split_version(fixed.ProductVersionMS, fixed.ProductVersionLS), FIXED_PRODUCT_VERSION),
            ("file type", fixed.FileType, FILE_TYPE[kind])):
        if got != want:
            findings.fail("version resource: %s %s, not %s" % (what, got, want))
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables += [(t.LangID, {k.decode(): v.decode() for k, v in t.entries.items()}) for t in info.StringTable]
        elif info.Key == b"VarFileInfo":
            translations += [v.entry.get(b"Translation") for v in info.Var]
    want_table = [(b"%04X%04X" % (ENGLISH_US, UNICODE), STRINGS[kind])]
    if [(lang.upper(), entries) for lang, entries in tables] != want_table:
        findings.fail("version resource: strings %s, not %s" % (tables, want_table))
    if translations != ["0x%04x 0x%04x" % (ENGLISH_US, UNICODE)]:
        findings.fail("version resource: translations %s, not English (United States) in Unicode" % translations)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--kind", required=True, choices=sorted(RESOURCES))
    a = parser.parse_args(argv[1:])
    pe = load(a.file)
    findings = Findings("check_resources")
    check_resources(findings, resource_table(pe), a.kind)
    check_version(findings, pe, a.kind)
    return findings.exit_code("%s holds exactly its resources, with version %s, file version %s"
                              % (a.file, RELEASE["ProductVersion"], RELEASE["FileVersion"]))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
