"""The test command's own verdict: scripts/test.sh, run in a scratch copy of
the repository against stand-in cmake and ctest commands, must exit non-zero
and name the test whenever one ctest run fails, times out or crashes, and
exit 0 only when every run passed."""
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "test.sh")

# ctest's own summary lines, as the stand-in prints them for a preset.
STAND_IN_CTEST = textwrap.dedent('''\
    #!/usr/bin/env python3
    import os, sys
    args = sys.argv[1:]
    preset = args[args.index("--preset") + 1]
    log = args[args.index("--output-log") + 1] if "--output-log" in args else None
    how = dict(p.split("=") for p in os.environ.get("STAND_IN", "").split(",") if p).get(preset, "pass")
    lines = ["Test project /stand-in", "    Start 1: %s.first" % preset]
    code = 0
    if how == "pass":
        lines += ["100% tests passed, 0 tests failed out of 1"]
    elif how in ("fail", "timeout"):
        word = "Failed" if how == "fail" else "Timeout"
        lines += ["50% tests passed, 1 tests failed out of 2", "", "The following tests FAILED:",
                  "\\t  7 - %s.broken (%s)" % (preset, word), "Errors while running CTest"]
        code = 8
    elif how == "skip_i686":
        lines += ["100% tests passed, 0 tests failed out of 2", "", "The following tests did not run:",
                  "\\t  9 - e2e.i686.update_1a60 (Skipped)"]
    elif how == "crash":
        code = -11
    text = "\\n".join(lines) + "\\n"
    sys.stdout.write(text)
    if log:
        open(log, "w").write(text)
    if code < 0:
        os.kill(os.getpid(), -code)
    sys.exit(code)
''')


class TestCommand(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="test-command-")
        os.makedirs(os.path.join(self.root, "scripts"))
        shutil.copy(SCRIPT, os.path.join(self.root, "scripts", "test.sh"))
        self.bin = os.path.join(self.root, "stand-in")
        os.makedirs(self.bin)
        self.write_tool("ctest", STAND_IN_CTEST)
        self.write_tool("cmake", "#!/bin/sh\nexit 0\n")
        with open(os.path.join(self.root, "scripts", "setup.sh"), "w") as f:
            f.write("echo setup.sh ran; exit 0\n")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def write_tool(self, name, text):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)

    def run_script(self, stand_in, *args):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"], STAND_IN=stand_in)
        r = subprocess.run(["bash", os.path.join(self.root, "scripts", "test.sh"), *args], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout

    def tail(self, out):
        return out[out.rindex("== failed"):]

    def test_a_failing_timed_out_or_crashing_run_fails_the_command_and_is_named(self):
        cases = [("unit=fail", "unit: unit.broken (Failed)"),
                 ("e2e=timeout", "e2e: e2e.broken (Timeout)"),
                 ("release=fail", "release: release.broken (Failed)"),
                 ("host-asan=crash", "host-asan: ctest ended with status"),
                 ("win32=fail", "win32: win32.broken (Failed)")]
        for stand_in, named in cases:
            with self.subTest(stand_in):
                code, out = self.run_script(stand_in, "--no-setup")
                self.assertNotEqual(code, 0, out[-2000:])
                self.assertIn(named, self.tail(out))
                self.assertIn("test.sh: FAILED", out.splitlines()[-1])
                # The failed tests come before the words on what did not run.
                self.assertLess(out.index(named), out.index("== what did not run"))

    def test_every_run_passing_passes_and_says_what_did_not_run(self):
        code, out = self.run_script("", "--no-setup")
        self.assertEqual(code, 0, out[-2000:])
        self.assertIn("No test failed.", self.tail(out))
        self.assertIn("Every test ran, the i686 end-to-end cases included.", out)
        self.assertEqual(out.splitlines()[-1], "test.sh: every test that ran passed")
        self.assertNotIn("setup.sh ran", out)

        code, out = self.run_script("e2e=skip_i686", "--no-setup")
        self.assertEqual(code, 0, out[-2000:])
        self.assertIn("NOT RUN: 1 end-to-end cases of the i686 program", out)

    def test_setup_runs_unless_told_not_to(self):
        code, out = self.run_script("")
        self.assertEqual(code, 0, out[-2000:])
        self.assertIn("setup.sh ran", out)
        code, out = self.run_script("", "--no-such-option")
        self.assertEqual(code, 2)


if __name__ == "__main__":
    sys.dont_write_bytecode = True
    unittest.main()
