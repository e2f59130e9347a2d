#!/usr/bin/env python3
"""Reads a trace of the SORVIK update program's calls to the bridge library
(SiUSBXp-trace-*.jsonl, written by the trace kit's SiUSBXp.dll) and tells
what happened: every frame in the unit's terms, where and why the update
ended, what each flash region received, and how fast the unit answered.

  read_trace.py TRACE [--images DIR] [--html OUT] [--perfetto OUT] [--frames]

--images DIR: the image files of the update ("SORVIK-FPGA-1.45-1013.bin",
"SORVIK.0.1.OSD.01.bin" ... "04.bin"), each checked against what reached the
unit. --html OUT: a report page; --perfetto OUT: Chrome trace-event JSON.
--frames: every frame, one line each. The last line begins with "verdict:".
Exit code 0 when the update went through, 1 when it did not, 2 when the
file cannot be read as a trace. A trace is read up to 1,000,000 lines of up
to 1 MiB each; a longer line is skipped, a longer file is not read. Control
characters from the trace are shown as \\xNN."""
import argparse
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import trace_html  # noqa: E402
import trace_load  # noqa: E402
import trace_perfetto  # noqa: E402
import trace_road  # noqa: E402
import trace_timing as timing  # noqa: E402
from trace_text import shown  # noqa: E402

IMAGE_FILES = ["SORVIK-FPGA-1.45-1013.bin"] + ["SORVIK.0.1.OSD.0%d.bin" % n for n in range(1, 5)]


def ms(us):
    return "-" if us is None else "%.3f ms" % (us / 1000.0)


def report(trace, road, images_dir=None, every_frame=False):
    start = trace.start
    program, maker = start.get("program") or {}, trace.maker
    lines = ["trace: %s (format %s, %s, Windows %s, %s-bit)" % (
        os.path.basename(trace.path), start.get("format"), start.get("utc", "?"), start.get("windows", "?"),
        start.get("bits", "?")),
        "program: %s, %s bytes, SHA-256 %s" % (program.get("path", "?"), program.get("size", "?"),
                                               program.get("sha256", "?")),
        "maker's library: %s, %s" % (maker.get("path", "?"), maker.get("error") or "%s bytes, SHA-256 %s" % (
            maker.get("size", "?"), maker.get("sha256", "?")))]
    for number, why in trace.bad_lines:
        lines.append("line %d skipped: %s" % (number, why))
    if trace.bad_count > len(trace.bad_lines):
        lines.append("and %d more lines skipped" % (trace.bad_count - len(trace.bad_lines)))
    for number, lost in trace.gaps:
        lines.append("gap: %d records lost before line %d (the trace library's buffers were full)" % (lost, number))
    if trace.how_it_ends():
        lines.append("end: " + trace.how_it_ends())
    if road.serials:
        lines.append("bridges: serials %s" % ", ".join(road.serials))
    frames = road.frames
    lines.append("frames: %d sent; modes in order: %s" % (len(frames), " ".join(road.mode_names()) or "none"))
    if every_frame:
        lines += ["  %8.3f ms  %s" % ((f.t - frames[0].t) / 1000.0, f.text()) for f in frames]
    for image in road.images:
        lines.append("%s: sectors %s erased, %d bytes acknowledged from 0x%06X" % (
            image.name, ",".join(str(s) for s, _, _ in image.sectors) or "none", image.acknowledged(),
            image.base or 0))
    if images_dir is not None:
        files = image_files(images_dir)
        if not files:
            lines.append("images: no image file in %s" % images_dir)
        lines += ["images: " + text for _, text in road.image_check(files)]
    lines += timing_lines(trace, road, every_frame)
    lines.append("boxes the program showed: %s" % (", ".join('"%s"' % b for b in road.boxes) or "none"))
    return lines


def image_files(folder):
    """[(name, content)] of the image files in the folder, each read no
    further than the largest region and its four-character kind."""
    files = []
    for name in IMAGE_FILES:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                files.append((name, f.read(4 + trace_road.FLASH[2] + 1)))
    return files


def timing_lines(trace, road, every_frame=False):
    frames = road.frames
    lines = []
    for kind, s in timing.round_trips(frames).items():
        lines.append("round trip %-12s n=%-6d median %s  p95 %s  p99 %s  max %s" % (
            kind, s["n"], ms(s["median"]), ms(s["p95"]), ms(s["p99"]), ms(s["max"])))
    erases = timing.erase_times(road)
    for image in road.images:
        times = [(sector, us) for name, sector, us in erases if name == image.name]
        if times:
            s = timing.spread([us for _, us in times])
            slowest = max(times, key=lambda t: t[1])
            lines.append("erase of %s, sectors %d-%d: median %s a sector, the slowest sector %d with %s" % (
                image.name, times[0][0], times[-1][0], ms(s["median"]), slowest[0], ms(slowest[1])))
    if every_frame:
        lines += ["  erase of sector %d (%s): %s" % (sector, name, ms(us)) for name, sector, us in erases]
    for gap, after in timing.pauses(frames):
        lines.append("pause of %s before %s" % (ms(gap), after.name))
    whole, floor = timing.whole_us(frames), timing.floor_us(road, frames)
    if frames:
        lines.append("whole run: %s from the first frame to the last reply" % ms(whole))
    if floor:
        lines.append("protocol floor at the measured round trip and erase times: %s (run / floor = %.3f)"
                     % (ms(floor), whole / floor))
    for op, (n, mean, peak) in timing.operation_costs(trace.calls).items():
        lines.append("library %-7s %8d calls, %.1f us each on average, %.0f us at most" % (op, n, mean, peak))
    return lines


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("trace")
    p.add_argument("--images", metavar="DIR")
    p.add_argument("--html", metavar="OUT")
    p.add_argument("--perfetto", metavar="OUT")
    p.add_argument("--frames", action="store_true", help="every frame, one line each")
    a = p.parse_args(argv)
    for stream in (sys.stdout, sys.stderr):  # whatever the console's code page: a character it lacks is shown
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    if a.images and not os.path.isdir(a.images):
        print("read_trace: %s is not a folder of image files" % a.images, file=sys.stderr)
        return 2
    try:
        trace = trace_load.load(a.trace)
    except trace_load.BadTrace as e:
        print("read_trace: %s" % shown(str(e)), file=sys.stderr)
        return 2
    road = trace_road.Road(trace)
    try:
        lines = [shown(line) for line in report(trace, road, a.images, a.frames)]
    except OSError as e:
        print("read_trace: cannot read %s: %s" % (shown(str(e.filename)), e.strerror), file=sys.stderr)
        return 2
    verdict = shown(road.verdict)
    try:
        if a.html:
            page = trace_html.page(lines, verdict, road)
            with open(a.html, "w", encoding="utf-8") as f:
                f.write(page)
            lines.append("html report: %s" % shown(os.path.abspath(a.html)))
        if a.perfetto:
            trace_perfetto.write(a.perfetto, trace, road.frames)
            lines.append("perfetto trace: %s" % shown(os.path.abspath(a.perfetto)))
    except OSError as e:
        print("read_trace: cannot write %s: %s" % (shown(str(e.filename)), e.strerror), file=sys.stderr)
        return 2
    print("\n".join(lines))
    print("verdict: " + verdict)
    return 0 if road.verdict == "the update went through" else 1

if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BrokenPipeError:  # the output's reader (a pager, head) stopped reading: nothing left to tell
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
