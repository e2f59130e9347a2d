"""The user guide's pictures, from the real program under Wine."""
import os

from cases import Case
from prefix import make_prefix, prefix_path, say
from runner import CASE_SECONDS, prepare
from session import Session, run

SHOT_SCREEN = "640x480x24"  # boxes come up in the middle, close to the window
GUIDE_UNIT = {"round_trip_ms": 1, "erase_ms": 20}


def command_shots(a, t):
    """Runs the program through the scenes the user guide shows and cuts each
    picture to the windows on screen: the main window, with its box if one is up."""
    make_prefix(a.work, reuse=True)
    out = os.path.abspath(a.out)
    os.makedirs(out, exist_ok=True)
    scenes = [
        (Case("guide_update", [], main=("1A70", 256 * 1024), parts=64 * 1024, settings=GUIDE_UNIT), shots_update),
        (Case("guide_write_error", [], main=("1A60", 64 * 1024), settings=GUIDE_UNIT,
              faults=["program:300:wrong_reply", "program:301:wrong_reply"]), shots_fatal),
        (Case("guide_file_missing", [], missing=[t.main]), shots_one_box("file-missing")),
        (Case("guide_not_connected", [], devices="1999"), shots_one_box("not-connected")),
    ]
    made = []
    for case, scene in scenes:
        folder = os.path.join(os.path.abspath(a.work), "shots", case.name)
        prepare(case, folder, t, a.win_dir, a.make_images)
        s = Session(folder, prefix_path(a.work), a.inspect, t.window, screen=SHOT_SCREEN, seconds=CASE_SECONDS)
        try:
            s.start()
            made += scene(s, out, t)
            s.wait_exit(60)
        finally:
            s.close()
    for path in made:
        say("%s (%d bytes)" % (path, os.path.getsize(path)))
    return 0


def shots_update(s, out, t):
    made = [s.picture(os.path.join(out, "start.png"), [s.main])]
    s.menu("alt+u", "p")
    s.wait_for("the first progress text", lambda: progress_after(s, t, t.updating), 60)
    made.append(picture_with_status(s, os.path.join(out, "writing.png")))
    s.wait_for("the progress of part 2", lambda: progress_after(s, t, t.writing_part[0]), 60)
    made.append(picture_with_status(s, os.path.join(out, "writing-part.png")))
    box = s.wait_dialog("the closing box", 120)
    made.append(s.picture(os.path.join(out, "done.png"), [s.main, box]))
    s.press_ok(box)
    return made


def picture_with_status(s, path):
    """A picture of the main window whose status line shows its text: one taken
    while the next text is being drawn (its line wiped, the letters not yet
    there) is taken again."""
    def inked():
        s.picture(path, [s.main])
        left, top = s.main.client
        r = run(["convert", os.path.join(s.folder, "screen.png"), "-crop", "240x12+%d+%d" % (left + 10, top + 12),
                 "-colorspace", "gray", "-format", "%[fx:minima]", "info:"], 30)
        return r.returncode == 0 and float(r.stdout or 1) < 0.5
    s.wait_for("a picture with the status line drawn", inked, 10, 0.05)
    return path


def progress_after(s, table, text):
    """True once a progress text has been drawn after `text`."""
    texts = [e.text for e in s.relay().events if e.kind == "text"]
    return text in texts and any(x.startswith(table.progress_lead) for x in texts[texts.index(text):])


def shots_fatal(s, out, t):
    s.menu("alt+u", "p")
    first = s.wait_dialog("the write error's box", 60)
    made = [s.picture(os.path.join(out, "write-error.png"), [s.main, first])]
    s.press_ok(first)
    last = s.wait_for("the fatal stop's box", lambda: [d for d in s.dialogs() if d.hwnd != first.hwnd], 30)[0]
    made.append(s.picture(os.path.join(out, "fatal-stop.png"), [s.main, last]))
    s.press_ok(last)
    return made


def shots_one_box(name):
    def scene(s, out, t):
        s.menu("alt+u", "p")
        box = s.wait_dialog("the box", 60)
        made = [s.picture(os.path.join(out, name + ".png"), [s.main, box])]
        s.press_ok(box)
        s.wait_no_dialog("the box to close")
        s.menu("alt+u", "x")
        return made
    return scene
