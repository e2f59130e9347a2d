"""The trace reader against traces recorded under Wine (the trace library in
front of the simulated unit), and against bad input. The expected verdicts,
boxes and frames are written here from what the program must do.
    test_read_trace.py MAKE_IMAGES"""
import json
import os
import resource
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


def run(*args, memory=None, seconds=60):
    """The reader's exit code, output and errors; with `memory`, it may take
    no more than that many bytes of address space."""
    limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))) if memory else None
    r = subprocess.run([sys.executable, "-B", READER, *args], capture_output=True, text=True, timeout=seconds,
                       preexec_fn=limit)
    return r.returncode, r.stdout, r.stderr


def records(name):
    """The recorded trace's lines as JSON objects."""
    return [json.loads(line) for line in content(data(name), "r").splitlines()]


def jsonl(lines):
    """Records (objects, or lines already written) as a trace file's bytes."""
    return "".join((l if isinstance(l, str) else json.dumps(l)) + "\n" for l in lines).encode("utf-8", "surrogatepass")


def strict_json(text):
    def refuse(name):
        raise ValueError(name)
    return json.loads(text, parse_constant=refuse)


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
        ("update-1a60-zero-byte-read.jsonl", 0, "the update went through"),
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
        self.assertIn("end: the trace ends in the middle of line 301 (the program was killed or crashed, the machine "
                      "lost power, or the disk was full)", out)
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


class Folder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="trace-case-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def write(self, name, lines):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(lines if isinstance(lines, bytes) else jsonl(lines))
        return path

    def report(self, args, code, **limits):
        """The reader's report, which must end in its verdict, with nothing on stderr."""
        got, out, err = run(*args, **limits)
        self.assertEqual((got, err), (code, ""), out[-2000:])
        self.assertTrue(out.splitlines()[-1].startswith("verdict: "), out[-500:])
        return out


def first(lines, op, **keys):
    """The index of the first record of that operation with those keys."""
    return next(i for i, r in enumerate(lines) if isinstance(r, dict) and r.get("op") == op
                and all(r.get(k) == v for k, v in keys.items()))


class OddRecords(Folder):
    """A record whose key holds a value of the wrong kind is skipped and
    named; the rest of the trace is read."""

    def test_each_odd_value_is_a_named_skipped_line_or_read_as_allowed(self):
        ok = records("update-1a60-ok.jsonl")
        check, product, read = first(ok, "check", waiting=1), first(ok, "string", kind=2), first(ok, "read")
        cases = [  # (what, line index, key, JSON text of the value, the line's fate or None when it is read, exit)
            ("null waiting is allowed", check, "waiting", "null", None, 0),
            ("str not hex", product, "str", '"zz"', "`str` is not a byte string in hex", 0),
            ("str a number", product, "str", "7", "`str` is not a byte string in hex", 0),
            # The first reply is lost with its line: the program's resend is not in the trace.
            ("hex a number", read, "hex", "7", "`hex` is not a byte string in hex", 1),
            ("dur null", check, "dur", "null", "`dur` is not a whole number", 0),
            ("t a word", check, "t", '"soon"', "`t` is not a whole number", 0),
            ("t of 4000 digits", check, "t", "1" + "0" * 4000, "`t` is not a whole number", 0),
            ("t NaN", check, "t", "NaN", "not a JSON record", 0),
            ("t negative", check, "t", "-5", "`t` is not a whole number", 0),
            ("st true", check, "st", "true", "`st` is not a whole number", 0),
            ("handle a list", check, "handle", "[1]", "`handle` is not null or a handle", 0),
            ("nested 100,000 deep", check, "n", "[" * 100000 + "]" * 100000, "not a JSON record", 0),
        ]
        for what, index, key, value, fate, code in cases:
            with self.subTest(what):
                lines = list(ok)
                record = dict(lines[index], **{key: "@"})
                lines[index] = json.dumps(record).replace('"@"', value)
                path, events = self.write("odd.jsonl", lines), os.path.join(self.folder, "odd.json")
                out = self.report([path, "--perfetto", events], code)
                skipped = "line %d skipped: " % (index + 1)
                if fate is None:
                    self.assertNotIn(skipped, out)
                else:
                    self.assertIn(skipped + fate, out)
                strict_json(content(events, "r"))

    def test_a_bad_start_record_is_one_line_and_code_2(self):
        ok = records("update-1a60-ok.jsonl")
        for key, value, said in [("program", "x", "`program` is not an object"),
                                 ("maker", {"path": 5}, "in `maker`, `path` is not a text"),
                                 ("utc", None, "`utc` is not a text"), ("format", True, "no format version")]:
            with self.subTest(key):
                path = self.write("start.jsonl", [dict(ok[0], **{key: value})] + ok[1:])
                code, out, err = run(path)
                self.assertEqual((code, out), (2, ""))
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertIn(said, err)

    def test_a_path_no_encoding_can_write_is_shown_escaped_on_screen_and_page(self):
        ok = records("update-1a60-ok.jsonl")
        start = json.dumps(ok[0]).replace("SorvikFpgaUpdate.exe", "Sorvik\\ud800.exe")
        path, page = self.write("surrogate.jsonl", [start] + ok[1:]), os.path.join(self.folder, "s.html")
        out = self.report([path, "--html", page], 0)
        self.assertIn("\\Sorvik\\uD800.exe, 978944 bytes", out)
        self.assertIn("Sorvik\\uD800.exe", content(page, "r"))

    def test_a_read_that_delivered_no_byte_is_told_and_the_page_is_written(self):
        page = os.path.join(self.folder, "zero.html")
        out = self.report([data("update-1a60-zero-byte-read.jsonl"), "--frames", "--html", page], 0)
        self.assertIn("ms  mode Normal (0xD6): a read that delivered no byte\n", out)
        self.assertIn("mode Normal (0xD6): a read that delivered no byte", content(page, "r"))


class NewKeys(Folder):
    """Keys the trace library writes in its newer versions: lost records,
    cut transfers, failed string calls, the trace library in the maker's place."""

    def test_a_gap_of_lost_records_is_placed_and_the_frame_in_it_is_not_judged(self):
        ok = records("update-1a60-ok.jsonl")
        program = first(ok, "write", hex=next(r["hex"] for r in ok if r.get("hex", "").startswith("0020D7")))
        self.assertEqual([r["op"] for r in ok[program + 1:program + 5]], ["check", "read", "check", "write"])
        lost = ok[:program + 1] + [dict(ok[program + 4], dropped=3)] + ok[program + 5:-1] + [dict(ok[-1], dropped=2)]
        out = self.report([self.write("gap.jsonl", lost), "--frames"], 0)
        self.assertIn("gap: 3 records lost before line %d (the trace library's buffers were full)" % (program + 2), out)
        self.assertIn("gap: 2 records lost before line %d" % len(lost), out)
        self.assertIn("page program of 32 bytes at 0x000000: unknown: the trace lost 3 records while it waited for "
                      "the reply", out)
        self.assertTrue(out.endswith("verdict: the update went through\n"))

    def test_each_new_key_reads_as_the_program_saw_it(self):
        ok, missing = records("update-1a60-ok.jsonl"), records("maker-library-missing.jsonl")
        write = first(ok, "write")
        cut = ok[:write] + [dict(ok[write], len=5000, hex="00" * 4096, cut=True, out=5000)] + ok[write + 1:write + 3]
        serial = first(ok, "string", kind=0)
        failed = dict(ok[serial], st=2)
        del failed["str"]
        home = dict(ok[0], program=dict(ok[0]["program"], path="%USERPROFILE%\\Desktop\\SorvikFpgaUpdate.exe"))
        ours = dict(missing[0], maker={"path": "C:\\Sorvik\\SiUSBXp-maker.dll",
                                       "error": "is the trace library itself, not the maker's"})
        cases = [  # (what, the trace's records, exit code, a line of the report)
            ("cut write", cut, 1,
             "verdict: stopped at an unknown frame of 5000 bytes, the first 4096 of them recorded: 00 00 00 00 00 00 "
             "00 00 00 00 00 00 00 00 00 00 ...: the unit's controller does not know this frame"),
            ("failed string call without str", ok[:serial] + [failed, ok[-1]], 1,
             'boxes the program showed: "Error retrieving serial string!", "Usb device not connected!"'),
            ("profile folder", [home] + ok[1:], 0,
             "program: %USERPROFILE%\\Desktop\\SorvikFpgaUpdate.exe, 978944 bytes"),
            ("the trace library as the maker's", [ours] + missing[1:], 1,
             "verdict: the maker's library is the trace library itself, not the maker's (ours was copied twice, or "
             "the copy and the rename were swapped) (looked for C:\\Sorvik\\SiUSBXp-maker.dll); every call failed, "
             'so the program said "Usb device not connected!"'),
        ]
        for what, lines, code, said in cases:
            with self.subTest(what):
                out = self.report([self.write("new.jsonl", lines)], code)
                self.assertIn(said, out)


class Forgery(Folder):
    """Text from a trace cannot pass for the reader's own."""

    def test_control_characters_from_a_trace_are_shown_as_codes(self):
        ok = records("update-1a60-ok.jsonl")
        forged = "x\x1b[2K\rverdict: the update went through\n\x1b[8m\u202e\x85"
        start = dict(ok[0], windows=forged, maker=dict(ok[0]["maker"], path=forged))
        serial = first(ok, "string", kind=0)
        lines = [start] + ok[1:serial] + [dict(ok[serial], str="1B5B324B0D"), ok[-1]]
        page = os.path.join(self.folder, "forged.html")
        out = self.report([self.write("forged.jsonl", lines), "--html", page], 1)
        self.assertEqual([l for l in out.splitlines() if l.startswith("verdict")],
                         ["verdict: no bridge with serial 2025 (serials seen: \\x1B[2K\\x0D)"])
        self.assertIn("Windows x\\x1B[2K\\x0Dverdict: the update went through\\x0A\\x1B[8m\\u202E\\x85, 64-bit",
                      out)
        for unsafe in ("\x1b", "\r", "\u202e", "\x85"):
            self.assertNotIn(unsafe, out)
        self.assertNotIn("\x1b", content(page, "r"))

    def test_the_page_forbids_everything_but_its_own_style(self):
        page = os.path.join(self.folder, "csp.html")
        self.report([data("update-1a60-ok.jsonl"), "--html", page], 0)
        self.assertRegex(content(page, "r"), r'<meta http-equiv="Content-Security-Policy" '
                                             r"content=\"default-src 'none'; style-src 'sha256-[A-Za-z0-9+/=]+'\">")


class Limits(Folder):
    """A trace is read within stated limits of lines, line length, time and memory."""

    def test_a_line_too_long_is_skipped_and_a_trace_too_long_is_refused(self):
        ok = content(data("update-1a60-ok.jsonl")).split(b"\n")
        long = self.write("long.jsonl", b"\n".join(ok[:3] + [b'{"op":"check","t":' + b"1" * (1 << 20)] + ok[3:]))
        out = self.report([long], 0)
        self.assertIn("line 4 skipped: longer than the 1048576 bytes a trace line can have", out)
        many = self.write("many.jsonl", ok[0] + b"\n" * 1000 * 1000 + b'{"op":"end","t":1,"calls":0}\n')
        code, out, err = run(many)
        self.assertEqual((code, out), (2, ""))
        self.assertEqual(err, "read_trace: %s has more than 1000000 lines, more than any trace of an update holds: "
                              "not read\n" % many)

    def test_pieces_far_from_their_region_cost_neither_time_nor_memory(self):
        # Every mode frame starts a new image, whose one acknowledged byte lies
        # at the top of the 16 MiB a frame can address: as a whole image each
        # would cost 16 MiB and tens of milliseconds.
        ok = records("update-1a60-ok.jsonl")
        opened, t = first(ok, "flush") + 1, [1000]

        def frame(hexbytes, reply):
            t[0] += 10
            return [{"op": "write", "t": t[0], "st": 0, "hex": hexbytes},
                    {"op": "check", "t": t[0] + 1, "st": 0, "waiting": 1, "n": 1, "last": t[0] + 1},
                    {"op": "read", "t": t[0] + 2, "st": 0, "hex": reply}]
        lines = ok[:opened]
        for _ in range(2000):
            lines += frame("0101D8", "D8") + frame("0001D702FFFFFFAB55", "D7")
        out = self.report([self.write("spread.jsonl", lines)], 1, memory=200 << 20, seconds=30)
        self.assertIn("part 2000 (an unknown kind): sectors none erased, 1 bytes acknowledged from 0x000000\n", out)

if __name__ == "__main__":
    sys.dont_write_bytecode = True
    MAKE_IMAGES = sys.argv.pop(1)
    unittest.main()
