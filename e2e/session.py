"""One run of the Windows program under Wine on its own X display, driven
like a user with xdotool. Every wait is bounded; every process started here
is ended by its own pid, and the prefix's Wine processes by `wineserver -k`."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

from observe import Relay, parse_windows

HERE = os.path.dirname(os.path.abspath(__file__))
WINE64 = next((p for p in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64", shutil.which("wine64") or "")
               if p and os.access(p, os.X_OK)), shutil.which("wine") or "wine")
WINE32 = shutil.which("wine") or "wine"  # picks the 32-bit loader when it is there
WINESERVER = next((p for p in ("/usr/lib/wine/wineserver", shutil.which("wineserver") or "")
                   if p and os.access(p, os.X_OK)), "wineserver")


class Failure(Exception):
    pass


def wait_for(what, condition, timeout, interval=0.1):
    """Polls until condition() is truthy; returns its value or raises Failure."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def run(args, timeout, env=None):
    """Runs a command to its end. Its output goes through files, not pipes:
    Wine services that a command starts live on and would hold a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run(args, timeout=timeout, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, p.returncode, out.read().decode("utf-8", "replace"),
                                           err.read().decode("utf-8", "replace"))


def wine_env(prefix, display=None, debug="-all"):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG=debug)
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return env


def kill_wineserver(prefix):
    """Ends every Wine process of this prefix (all of them ours) and waits for it."""
    env = wine_env(prefix)
    try:
        run([WINESERVER, "-k"], 30, env=env)
        run([WINESERVER, "-w"], 30, env=env)
    except subprocess.TimeoutExpired:
        pass


class Display:
    """An Xvfb of our own on a free display number (Xvfb picks it), or the user's."""

    def __init__(self, folder, use_existing=None, screen="800x600x24", white=False):
        self.proc = None
        if use_existing:
            self.name = use_existing
            return
        read_end, write_end = os.pipe()
        with open(os.path.join(folder, "xvfb.log"), "w") as log:
            self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                                          "-nolisten", "tcp", "-noreset"] + (["-wr"] if white else []),
                                         pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log, start_new_session=True)
        os.close(write_end)
        number = b""
        end = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < end:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.close()
            raise Failure("Xvfb did not start (see %s/xvfb.log)" % folder)
        self.name = ":" + number.decode().strip()

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


class Session:
    """The program started in `folder`, with its display; artefacts go to `folder`."""

    def __init__(self, folder, prefix, inspect_exe, window, arch="x86_64", display=None, log=print, screen=None,
                 seconds=None):
        """window: the main window as the tests' table has it (model.Window).
        screen: for pictures, e.g. "640x480x24", on a white desktop of our own.
        seconds: bounds every wait of this session, so a stuck run ends (and
        cleans up) before CTest's time-out."""
        self.folder, self.prefix, self.inspect_exe, self.log = folder, prefix, inspect_exe, log
        self.window = window
        self.deadline = None if seconds is None else time.monotonic() + seconds
        self.loader = WINE32 if arch == "i686" else WINE64
        self.display = Display(folder, display, screen, True) if screen else Display(folder, display)
        self.proc = None
        self.shots = 0
        self.main = None  # the main window (observe.Window)

    # --- processes -------------------------------------------------------------
    def start(self, exe="SorvikFpgaUpdate.exe", settings="settings.txt"):
        kill_wineserver(self.prefix)  # no desktop left over from another display
        self.windows()  # starts the prefix's Wine services on this display, untraced
        env = wine_env(self.prefix, self.display.name, "+relay")
        env["SORVIK_SIM_SETTINGS"] = settings
        self.relay_path = os.path.join(self.folder, "relay.txt")
        self.started = time.monotonic()
        with open(self.relay_path, "w") as err, open(os.path.join(self.folder, "stdout.txt"), "w") as out:
            self.proc = subprocess.Popen([self.loader, exe], cwd=self.folder, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err, start_new_session=True)
        self.main = self.wait_for("the main window", lambda: self._main_window(), 60, 0.05)
        return self.main

    def time_left(self, timeout):
        return timeout if self.deadline is None else max(0.0, min(timeout, self.deadline - time.monotonic()))

    def wait_for(self, what, condition, timeout, interval=0.1):
        """wait_for, within what is left of this session's time."""
        return wait_for(what, condition, self.time_left(timeout), interval)

    def _main_window(self):
        self._check_running()
        found = [w for w in self.windows() if w.cls == self.window.cls]
        return found[0] if found else None

    def _check_running(self):
        if self.proc.poll() is not None:
            raise Failure("the program ended early with exit code %d" % self.proc.returncode)

    def wait_exit(self, timeout):
        timeout = self.time_left(timeout)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within %d s" % timeout)

    def close(self):
        """Ends what is still running: the program by its pid, the prefix's Wine, the display."""
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        kill_wineserver(self.prefix)
        self.display.close()

    # --- looking ---------------------------------------------------------------------
    def windows(self):
        """The visible top-level windows of the Wine desktop, with their controls."""
        r = run([WINE64, self.inspect_exe], 30, env=wine_env(self.prefix, self.display.name))
        return parse_windows(r.stdout)

    def relay(self):
        return Relay(self.relay_path)

    def screenshot(self, name):
        self.shots += 1
        path = os.path.join(self.folder, "shot-%02d-%s.png" % (self.shots, name))
        run(["import", "-display", self.display.name, "-window", "root", path], 30)
        return path

    def picture(self, path, windows):
        """The screen cut to the windows given (their smallest enclosing rectangle), as a small PNG."""
        whole = os.path.join(self.folder, "screen.png")
        run(["import", "-display", self.display.name, "-window", "root", whole], 30)
        left, top = min(w.rect[0] for w in windows), min(w.rect[1] for w in windows)
        right, bottom = max(w.rect[2] for w in windows), max(w.rect[3] for w in windows)
        r = run(["convert", whole, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage",
                 "-strip", "-define", "png:compression-level=9", path], 30)
        if r.returncode != 0:
            raise Failure("convert could not cut %s: %s" % (whole, r.stderr.strip()))
        return path

    def x(self, *args, timeout=15):
        env = dict(os.environ, DISPLAY=self.display.name)
        try:
            r = run(["xdotool"] + list(args), timeout, env=env)
        except subprocess.TimeoutExpired:
            raise Failure("xdotool %s did not finish within %d s" % (" ".join(args), timeout))
        if r.returncode != 0:
            raise Failure("xdotool %s failed: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def x_window(self):
        """The X windows with the main window's title (xdotool's view: the top-level windows only)."""
        return self.x("search", "--onlyvisible", "--name", "^%s$" % self.window.title).split()

    # --- acting like a user ------------------------------------------------------------
    def click(self, window, x, y, button=1):
        """A click at (x, y) inside a window (coordinates from its top-left corner)."""
        # No --sync: it waits for a motion that never comes when the pointer is there already.
        self.x("mousemove", str(window.rect[0] + x), str(window.rect[1] + y), "click", str(button))

    def click_client(self, button=1):
        # Low in the client area, below every status line: activates the
        # window (there is no window manager to do it) and draws nothing.
        self.click(self.main, 150, 180, button)

    def keys(self, *keys):
        for k in keys:
            self.x("key", "--clearmodifiers", k)
            time.sleep(0.1)

    def menu(self, *keys):
        self.click_client()
        self.keys(*keys)

    def dialogs(self):
        return [w for w in self.windows() if w.cls == "#32770"]

    def wait_dialog(self, what, timeout=30):
        def one():
            self._check_running()
            found = self.dialogs()
            return found[0] if len(found) == 1 else None
        return self.wait_for(what, one, timeout, 0.2)

    def wait_no_dialog(self, what, timeout=15):
        return self.wait_for(what, lambda: not self.dialogs(), timeout, 0.2)

    def press_ok(self, dialog):
        """Clicks the dialog's OK button in its middle, as a user would."""
        buttons = dialog.child("Button", 1)
        if not buttons:
            raise Failure("no OK button in %r" % dialog)
        left, top, right, bottom = buttons[0][1]
        self.click(dialog, (left + right) // 2, (top + bottom) // 2)

    def dismiss_box(self, timeout=600):
        """Waits for the next message box (within the case's time), clicks its OK, waits until it is gone."""
        box = self.wait_dialog("a message box", timeout)
        self.screenshot("box")
        self.press_ok(box)
        self.wait_for("the message box to close", lambda: all(w.hwnd != box.hwnd for w in self.dialogs())
                 or self.proc.poll() is not None, 15, 0.2)
        return box
