"""The HTML report in a real browser: headless Chromium renders the page of
a failed run; the screenshot has the window's size and is no blank page, and
the page's console shows no error (nothing failed to load).
    test_report_in_browser.py CHROMIUM"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
READER = os.path.join(HERE, "..", "read_trace.py")
TRACE = os.path.join(HERE, "..", "testdata", "erase-write-enable-wrong-reply.jsonl")
CHROMIUM = None
WIDTH, HEIGHT = 1000, 900


class Browser(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="trace-browser-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_the_report_renders_with_nothing_missing(self):
        page = os.path.join(self.folder, "report.html")
        shot = os.path.join(self.folder, "report.png")
        r = subprocess.run([sys.executable, "-B", READER, TRACE, "--html", page], capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        r = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                            "--no-first-run", "--disable-background-networking", "--disable-component-update",
                            "--disable-sync", "--user-data-dir=" + os.path.join(self.folder, "profile"),
                            "--enable-logging=stderr", "--v=0", "--window-size=%d,%d" % (WIDTH, HEIGHT),
                            "--screenshot=" + shot, "file://" + page],
                           capture_output=True, text=True, timeout=90)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        with open(shot, "rb") as f:
            png = f.read()
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", png[16:24]), (WIDTH, HEIGHT))
        self.assertGreater(len(png), 15000, "a nearly blank page")  # text and three pictures
        console = [l for l in r.stderr.splitlines() if "CONSOLE" in l or "Failed to load" in l]
        self.assertEqual(console, [])


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    CHROMIUM = sys.argv.pop(1)
    unittest.main()
