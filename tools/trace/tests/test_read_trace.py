"""The trace reader against traces recorded under Wine (the trace library in
front of the simulated unit), and against bad input. The expected verdicts,
boxes and frames are written here from what the program must do.
    test_read_trace.py MAKE_IMAGES"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
READER = os.path.join(HERE, "..", "read_trace.py")
DATA = os.path.join(HERE, "..", "testdata")
MAKE_IMAGES = None
MAIN = "SORVIK-FPGA-1.45-1013.bin"


def run(*args):
    r = subprocess.run([sys.executable, "-B", READER, *args], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


def content(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def data(name):
    return os.path.join(DATA, name)


class Verdicts(unittest.TestCase):
    CASES = [
        ("update-1a60-ok.jsonl", 0, "the update went through"),
        ("erase-write-enable-wrong-reply.jsonl", 1,
         'stopped at sector 2 of the 1A60 image: write enable answered 0x27 where 0x26 was expected '
         '(the box "ERROR Write Enable!", then the fatal stop "Chip Erase error")'),
        ("speed-no-reply-twice-fatal.jsonl", 1,
         'stopped at SPI speed 12 MHz: no reply within 2000 ms, then no reply within 2000 ms on the resend '
         '(the box "ERROR Selecting Speed!", then the fatal stop "SPI Speed error")'),
        ("no-bridge-2025.jsonl", 1, "no bridge with serial 2025 (serials seen: 1999)"),
        ("open-fails.jsonl", 1, "the bridge with serial 2025 was found, but its open call failed with status 255, "
         "so the update did not start (the box \"Usb device could not be opened!\""),
        ("maker-library-missing.jsonl", 1, "the maker's library was not found (looked for "),
    ]

    def test_each_recorded_run_ends_in_its_one_sentence(self):
        for name, code, verdict in self.CASES:
            with self.subTest(name):
                got, out, err = run(data(name))
                self.assertEqual(got, code, err)
                last = out.rstrip("\n").splitlines()[-1]
                self.assertTrue(last.startswith("verdict: " + verdict), last)
                self.assertEqual(err, "")

    def test_frames_are_told_in_the_units_terms(self):
        got, out, _ = run(data("update-1a60-ok.jsonl"), "--frames")
        frames = [line.split("ms  ", 1)[1] for line in out.splitlines() if line.startswith("  ") and "ms  " in line]
        self.assertEqual(frames[:6], [
            "mode Update (0xDB): DB, as expected", "mode Normal (0xD6): D6, as expected",
            "SPI speed 12 MHz: D5, as expected", "mode Reset (0xD8): D8, as expected",
            "write enable: 26, as expected", "erase of sector 0: 51, as expected"])
        self.assertIn("status read: status 00 (idle)", frames)
        programs = [f for f in frames if f.startswith("page program")]
        self.assertEqual(len(programs), (2100 + 31) // 32)
        self.assertEqual(programs[0], "page program of 32 bytes at 0x000000: D7, as expected")
        self.assertEqual(programs[-1], "page program of 20 bytes at 0x000820: D7, as expected")
        self.assertEqual(frames[-2:], ["mode Normal (0xD6): D6, as expected", "mode UpdateOk (0xDC): DC, as expected"])
        self.assertIn('boxes the program showed: "FLASH update ok "', out)
        self.assertIn("the 1A60 image: sectors 0,1,2,3,4,5,6,7,8,9 erased, 2100 bytes acknowledged from 0x000000", out)
        for kind in ("mode", "program", "status"):
            self.assertRegex(out, r"round trip %s +n=\d+ +median [\d.]+ ms  p95 [\d.]+ ms  p99 [\d.]+ ms  max" % kind)
        self.assertRegex(out, r"erase of the 1A60 image, sectors 0-9: median [\d.]+ ms a sector, the slowest sector \d ")
        self.assertRegex(out, r"  erase of sector 9 \(the 1A60 image\): [\d.]+ ms")
        self.assertEqual(len([l for l in out.splitlines() if l.startswith("pause of 10")]), 3)  # the three 1000 ms pauses
        self.assertRegex(out, r"protocol floor at the measured round trip and erase times: [\d.]+ ms \(run / floor = ")


class Images(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="trace-images-")
        # The image the recorded update wrote: a 2100-byte "1A60" main image.
        subprocess.run([MAKE_IMAGES, self.folder, "--main-id", "1A60", "--main-size", "2100"], check=True,
                       capture_output=True, timeout=60)
        for n in range(1, 5):
            os.remove(os.path.join(self.folder, "SORVIK.0.1.OSD.0%d.bin" % n))

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_the_image_reached_the_unit_or_the_first_differing_address_is_named(self):
        _, out, _ = run(data("update-1a60-ok.jsonl"), "--images", self.folder)
        self.assertIn("images: %s reached the unit byte for byte (2100 bytes at 0x000000)" % MAIN, out)
        path = os.path.join(self.folder, MAIN)
        image = bytearray(content(path))
        image[4 + 0x345] ^= 0xFF
        with open(path, "wb") as f:
            f.write(image)
        _, out, _ = run(data("update-1a60-ok.jsonl"), "--images", self.folder)
        self.assertIn("images: %s did not reach the unit whole: first difference at 0x000345" % MAIN, out)

    def test_an_image_not_written_is_said(self):
        _, out, _ = run(data("erase-write-enable-wrong-reply.jsonl"), "--images", self.folder)
        self.assertIn("images: %s did not reach the unit whole: first difference at 0x000000 (0 of 2100" % MAIN, out)


class BadInput(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="trace-bad-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def write(self, name, content):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def test_unreadable_input_gets_one_line_and_code_2(self):
        good = content(data("update-1a60-ok.jsonl"))
        start = json.loads(good.split(b"\n")[0])
        newer = dict(start, format=2)
        cases = [
            ("empty", b"", "is empty: no trace was recorded"),
            ("blanks", b"\n \n", "is empty"),
            ("text", b"hello\nworld\n", "is not a trace"),
            ("other json", b'{"a": 1}\n', "is not a trace"),
            ("binary", bytes(range(256)) * 4, "is not a trace"),
            ("newer format", (json.dumps(newer) + "\n").encode(), "is of trace format 2; this reader knows format 1"),
            ("only a torn first line", good[:40], "ends before its first record"),
            ("missing", None, "cannot read"),
        ]
        for name, body, said in cases:
            with self.subTest(name):
                path = self.write(name, body) if body is not None else os.path.join(self.folder, "nothing")
                code, out, err = run(path)
                self.assertEqual(code, 2)
                self.assertEqual(out, "")
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                self.assertIn(said, err)
                self.assertNotIn("Traceback", err)

    def test_a_trace_cut_short_says_where_it_ends(self):
        good = content(data("update-1a60-ok.jsonl"))
        lines = good.split(b"\n")
        torn = self.write("torn.jsonl", b"\n".join(lines[:300]) + b"\n" + lines[300][:25])
        code, out, err = run(torn)
        self.assertEqual((code, err), (1, ""))
        self.assertIn("end: the trace ends in the middle of line 301", out)
        self.assertIn("verdict: the update did not finish: the trace ends after erase of sector 9, the trace ends "
                      "before its reply; the trace ends in the middle of line 301", out)
        self.assertNotIn("Traceback", out)
        garbled = self.write("garbled.jsonl", b"\n".join(lines[:5] + [b"{not json", b"[1,2]"] + lines[5:]))
        code, out, _ = run(garbled)
        self.assertEqual(code, 0)
        self.assertIn("line 6 skipped: not a JSON record", out)
        self.assertIn("line 7 skipped: a JSON value that is no trace record", out)


class Outputs(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="trace-out-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_html_is_one_page_on_its_own_and_perfetto_has_its_tracks(self):
        page, events = os.path.join(self.folder, "r.html"), os.path.join(self.folder, "r.json")
        code, out, _ = run(data("erase-write-enable-wrong-reply.jsonl"), "--html", page, "--perfetto", events)
        self.assertEqual(code, 1)
        text = content(page, "r")
        verdict = out.splitlines()[-1][len("verdict: "):]
        self.assertLess(text.index("stopped at sector 2 of the 1A60 image"), text.index("<svg"))
        self.assertEqual(text.count("<svg"), 3)
        for outside in ("<script", "http:", "https:", "src=", "@import", "url("):
            self.assertNotIn(outside, text.replace('xmlns="http://www.w3.org/2000/svg"', ""))
        self.assertIn(verdict.replace('"', "&quot;"), text)
        trace = json.loads(content(events, "r"))["traceEvents"]
        tracks = {e["args"]["name"] for e in trace if e.get("name") == "thread_name"}
        self.assertEqual(tracks, {"writes", "reads", "waits for a reply (receive-queue checks)", "other library calls"})
        writes = [e for e in trace if e.get("ph") == "X" and e["tid"] == 1]
        self.assertEqual(writes[0]["name"], "mode Update (0xDB)")
        self.assertTrue(all(e["ts"] >= 0 and e["dur"] > 0 for e in trace if e.get("ph") == "X"))


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    MAKE_IMAGES = sys.argv.pop(1)
    unittest.main()
