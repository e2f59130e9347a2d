"""The Wine prefixes the jobs run in (the cases, the main job, the guide's
pictures), and whether this machine runs 32-bit programs. The cases run side
by side, each in the prefix of the slot CTest gave it: a prefix of its own
has a wineserver of its own, so two programs never share a Wine desktop."""
import contextlib
import fcntl
import os
import shutil
import time

from session import WINE32, WINE64, Failure, kill_wineserver, run, wine_env

RELAY_INCLUDE = "user32.MessageBoxW;gdi32.TextOutW"
WINE32_LOADERS = ["/usr/lib/wine/wine", "/usr/lib/i386-linux-gnu/wine/wine"]
# Wine draws the caption buttons with this font; without it they show as letters.
MARLETT = "/usr/share/wine/fonts/marlett.ttf"


def prefix_path(work, slot=0):
    name = "wineprefix" if slot == 0 else "wineprefix-%d" % slot
    return os.path.join(os.path.abspath(work), name)


def ctest_slot(environ):
    """The slot of the resource "wine" that CTest gave this case (its
    CTEST_RESOURCE_GROUP_* variables), or 0 when CTest gave none."""
    for group in range(int(environ.get("CTEST_RESOURCE_GROUP_COUNT", "0"))):
        if environ.get("CTEST_RESOURCE_GROUP_%d" % group) == "wine":
            given = environ.get("CTEST_RESOURCE_GROUP_%d_WINE" % group, "")
            fields = dict(f.split(":", 1) for f in given.split(",") if ":" in f)
            if not fields.get("id", "").isdigit():
                raise Failure("CTest gave a slot of \"wine\" that names no number: %r" % given)
            return int(fields["id"])
    return 0


def stamp_path(prefix):
    return os.path.join(prefix, "e2e-stamp.txt")


def require_made(prefix):
    """A prefix that our fixture did not make would be made by Wine on the
    first run, without our settings: the case would fail for the wrong reason."""
    if not os.path.exists(stamp_path(prefix)):
        raise Failure("the Wine prefix %s has not been made (its e2e.prefix fixture makes it, or: "
                      "driver.py prefix --work DIR --slot N)" % prefix)


@contextlib.contextmanager
def holding(prefix):
    """Holds the prefix for one run: a second run in the same prefix (a case
    started by hand, or CTest run in parallel without its slots) stops at once
    instead of sharing the first one's wineserver and desktop."""
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Failure("the Wine prefix %s is in use by another run (run the cases through "
                          "`ctest --preset e2e`, which gives each a prefix of its own)" % prefix)
        yield prefix


def say(*parts):
    print(*parts, flush=True)


def add_marlett(prefix):
    if not os.path.exists(MARLETT):
        raise Failure("%s is missing (Debian's wine package installs it)" % MARLETT)
    shutil.copy(MARLETT, os.path.join(prefix, "drive_c", "windows", "Fonts"))


def loader_runs(loader):
    """Can this machine execute the 32-bit Wine loader at all?"""
    try:
        r = run([loader, "--version"], 30)
        return r.returncode == 0, (r.stdout + r.stderr).strip()
    except OSError as e:
        return False, str(e)


def wine32_loader():
    found = [p for p in WINE32_LOADERS if os.access(p, os.X_OK)]
    return found[0] if found else None


def make_prefix(work, reuse=False, slot=0):
    prefix = prefix_path(work, slot)
    stamp = stamp_path(prefix)
    version = run([WINE64, "--version"], 30).stdout.strip()
    wanted = "%s\n%s\nDecorated=N\nMarlett\n" % (version, RELAY_INCLUDE)
    if reuse and os.path.exists(stamp) and open(stamp).read() == wanted:
        say("prefix: reusing", prefix)
        return prefix
    started = time.monotonic()
    kill_wineserver(prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    loader32 = wine32_loader()
    # With a 32-bit loader that runs, the prefix gets its 32-bit half too.
    boot = WINE32 if loader32 and loader_runs(loader32)[0] else WINE64
    env = wine_env(prefix)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no offer to install .NET or the HTML engine
    r = run([boot, "wineboot", "-i"], 300, env=env)
    if r.returncode != 0:
        raise Failure("wineboot failed (%d): %s" % (r.returncode, r.stderr[-2000:]))
    for key, value in [("HKCU\\Software\\Wine\\Debug", ("RelayInclude", RELAY_INCLUDE)),
                       # Wine draws the frames itself (there is no window manager), so an
                       # X window is the whole window, frame, caption and menu included.
                       ("HKCU\\Software\\Wine\\X11 Driver", ("Decorated", "N"))]:
        r = run([WINE64, "reg", "add", key, "/v", value[0], "/t", "REG_SZ", "/d", value[1], "/f"], 120, env=env)
        if r.returncode != 0:
            raise Failure("reg add %s failed: %s" % (key, r.stderr[-2000:]))
    kill_wineserver(prefix)  # the registry is written out when the server ends
    add_marlett(prefix)
    with open(stamp, "w") as f:
        f.write(wanted)
    say("prefix: made %s with %s in %.1f s" % (prefix, os.path.basename(boot), time.monotonic() - started))
    return prefix


def end_prefixes(work, slots):
    for slot in range(slots):
        kill_wineserver(prefix_path(work, slot))


def probe_i686(prefix, probe):
    """None when 32-bit programs run here, else why not (the cases are skipped)."""
    loader = wine32_loader()
    if not loader:
        return "no 32-bit Wine loader installed (wine32:i386)"
    runs, why = loader_runs(loader)
    if not runs:
        return "this machine cannot run 32-bit programs: %s: %s" % (loader, why)
    r = run([WINE32, probe], 60, env=wine_env(prefix))
    if r.returncode != 32:
        # The loader runs but a 32-bit program does not: that is a failure, not a skip.
        raise Failure("the 32-bit probe returned %d: %s" % (r.returncode, r.stderr[-2000:]))
    return None
