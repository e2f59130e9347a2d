"""A rehearsal of an image set: what the program will find in a folder, what
the flash held after the run against each file, and how long the same update
takes on a unit at a given round trip per frame."""
import os

import model
from observe import image_in_flash, read


def kinds(t):
    return ", ".join(k.decode() for k in t.regions)


REFUSED = "refused before the unit is touched"


class Unusable(Exception):
    """The folder cannot be rehearsed at all; the message says why."""


def survey(t, folder):
    """(files, words): the image files by their fixed names (name -> bytes)
    and what the program will do with them in words. The program checks
    every file it will write before it opens the bridge, in the order it
    writes them, and refuses the set at the first bad one."""
    if not os.path.exists(folder):
        raise Unusable("the folder %s does not exist" % folder)
    if not os.path.isdir(folder):
        raise Unusable("%s is not a folder" % folder)
    files = {}
    for name in (t.main,) + t.parts:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            try:
                with open(path, "rb") as f:
                    files[name] = f.read()
            except OSError as e:
                raise Unusable("%s cannot be read here: %s" % (path, e.strerror))
    words, good = [], True
    main = files.get(t.main)
    if main is None:
        words.append("%s: missing. The program says so (\"%s\") and sends nothing "
                     "to the unit." % (t.main, t.box_missing[0] % t.main))
        good = False
    else:
        line, good = describe(t, t.main, main)
        words.append(line)
    with_parts = main is not None and main[:4] == t.osd_id
    for name in t.parts:
        data = files.get(name)
        if not with_parts:
            if data is not None:
                why = ("the main image is of kind %s" % main[:4].decode("ascii", "replace")
                       if main is not None and good else "the program refuses the set before the parts")
                words.append("%s: not used (%s)." % (name, why))
        elif not good:
            words.append("%s: not checked (the program names only the first file it refuses)." % name)
        elif data is None:
            words.append("%s: missing: %s: the box \"%s\"; nothing is sent to the unit." % (
                name, REFUSED, t.box_missing[0] % name))
            good = False
        else:
            line, good = describe(t, name, data, part=True)
            words.append(line)
    others = sorted(n for n in os.listdir(folder) if n not in files and n not in (t.main,) + t.parts)
    if others:
        shown = ", ".join(others[:8]) + (", ..." if len(others) > 8 else "")
        words.append("Not used (the program reads only the names above): %s" % shown)
    return files, words


def describe(t, name, data, part=False):
    """One line on one file, and whether the program will write it."""
    ident = data[:4]
    if ident not in t.regions:
        shown = ident.decode("ascii", "replace") if all(32 <= b < 127 for b in ident) else ident.hex(" ")
        return ("%s: %d bytes beginning %r: not an image of a known kind (%s): %s: the box \"%s\" (after the "
                "line \"%s\" on its standard output, which a user never sees); nothing is sent to the unit." % (
                    name, len(data), shown, kinds(t), REFUSED, t.box_wrong_id[0] % name, t.wrong_id)), False
    base, first, count = t.regions[ident]
    payload, room = len(data) - 4, count * t.sector
    where = "region (0x%06X-0x%06X, sectors %d-%d)" % (base, base + room - 1, first, first + count - 1)
    if payload > room:
        return ("%s: kind %s, %d bytes to program, but its %s holds only %d: %s: the box \"%s\"; nothing is "
                "sent to the unit." % (name, ident.decode(), payload, where, room, REFUSED,
                                       t.box_too_large[0] % name)), False
    line = "%s: kind %s, %d bytes to program into its %s." % (name, ident.decode(), payload, where)
    if part and ident == t.osd_id:
        line += " That is the main image's region: the main image written before it is erased again."
    return line, True


def written(t, files, trace):
    """The images the unit received, in order: (name, sectors erased, write
    modes before the erase). The k-th erase run belongs to the k-th file the
    program reads: a file it refuses stops the update before the next one."""
    order = (t.main,) + (t.parts if files.get(t.main, b"")[:4] == t.osd_id else ())
    runs, modes, current = [], 0, None
    for frame in trace.frames:
        if frame.kind == "erase":
            if current is None:
                current = ([], modes)
                runs.append(current)
            current[0].append(frame.sent[4])
        elif frame.kind in ("mode", "speed", "ready"):
            current = None
            if frame.kind == "mode" and frame.sent[2] == t.write_mode:
                modes += 1
    return [(name, sectors, before) for name, (sectors, before) in zip(order, runs)]


def flash_report(t, folder, files, trace, old):
    """(ok, line) for each file the program wrote, against the flash at the
    write mode that follows it (at the end when none follows): the payload in
    place, the rest of its region erased. Then the flash outside every erased
    sector against the old content it started with."""
    lines, erased = [], set()
    final = os.path.join(folder, "flash-final.bin")
    done = written(t, files, trace)
    for name, sectors, before in done:
        erased.update(sectors)
        data = files[name]
        base, first, count = t.regions[data[:4]]
        placed = image_in_flash(folder, data, base, count * t.sector, before)
        if placed is None:
            lines.append((False, "%s: no flash dump to compare with" % name))
            continue
        rest = placed.rest
        clean = rest.count(0xFF) == len(rest)
        lines.append((placed.same and clean, "%s (%s, %d bytes at 0x%06X): %s the flash at %s; the rest of its "
                      "region (%d bytes) %s" % (name, data[:4].decode(), len(data) - 4, base,
                                               "matches" if placed.same else "DIFFERS from", placed.where,
                                               len(rest), "erased" if clean else "NOT erased")))
    order = (t.main,) + (t.parts if files.get(t.main, b"")[:4] == t.osd_id else ())
    lines += [(True, "%s: not written" % name) for name in order[len(done):] if name in files]
    if os.path.exists(final):
        flash = read(final)
        main = files.get(t.main, b"")
        if main[:4] == t.osd_id and done and done[0][0] == t.main:
            # What the unit starts from: a part of the same kind goes where the main image went.
            base = t.regions[main[:4]][0]
            kept = image_in_flash(folder, main, base, 0, None).same
            over = [n for n, _, _ in done[1:] if files[n][:4] == t.osd_id]
            lines.append((kept, "%s at the end: %s" % (t.main, "still in the flash" if kept else
                          "NOT in the flash any more%s" % (
                              " (written over by %s, of the same kind)" % ", ".join(over) if over else ""))))
        sector = t.sector
        changed = [a for a in range(0, len(flash), sector) if a // sector not in erased
                   and flash[a:a + sector].count(old) != sector]
        lines.append((not changed, "flash outside the erased sectors, at the end: %s" % (
            "CHANGED in the sectors at %s" % ", ".join("0x%06X" % a for a in changed[:8]) if changed
            else "keeps its old content (0x%02X)" % old)))
    return lines


def estimate_ms(t, files, round_trip, erase_ms, program_ms):
    """The lower bound of bench/README.md for the update of these files, as
    the tests' record of it gives it: every frame's round trip, the erase and
    program times the unit needs, and every pause the procedure mandates."""
    bound = model.record(t, files, timing={"round_trip_ms": round_trip, "erase_ms": erase_ms,
                                        "program_ms": program_ms})["bound"]
    return bound["ms"], {
        "mode, speed and ready frames": bound["commands"], "one-second pauses": bound["pauses"],
        "erase runs": bound["erase_runs"], "sectors": bound["sectors"], "page programs": bound["programs"]}

