#!/usr/bin/env python3
"""The mutation run's own pieces: the changes it makes to a line, the lines it
leaves alone, and how it reads the build's lists of sources and programs."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutants  # noqa: E402
import mutate  # noqa: E402


def changes(line):
    code, _ = mutants.split_code(line, False)
    return [mutated for _, mutated in mutants.line_mutations(line, code)]


class LineChanges(unittest.TestCase):
    def test_each_operator_on_its_own_line(self):
        cases = [
            ("    if (a < b) x = 1;", ["    if (a <= b) x = 1;", "    if (a > b) x = 1;",
                                      "    if (a < b) x = 2;", "    if (a < b) x = 0;"]),
            ("    if (a == b) go();", ["    if (a != b) go();"]),
            ("    return 0;", ["    return 1;"]),
            ("    done = TRUE;", ["    done = FALSE;"]),
            ("    size = 0x1F;", ["    size = 0x20;", "    size = 0x00;"]),
            ('    Show("Abc ");', ['    Show("abc ");', '    Show("Abc");', mutants.DELETED]),
            ("    Close(handle);", [mutants.DELETED]),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(changes(line), want)

    def test_comments_casts_and_directives_are_left_alone(self):
        for line in ["    // if (a < b) return 0;",
                     "    x = static_cast<int>(y);",
                     "#include <vector>",
                     "    /* 1 == 2 */ y = z;"]:
            with self.subTest(line=line):
                self.assertEqual(changes(line), [])

    def test_a_continued_statement_is_not_deleted_and_windows_code_not_changed(self):
        text = ("void F() {\n"
                "    Call(a,\n"
                "         Other(b));\n"
                "#ifdef _WIN32\n"
                "    if (w == 1) Win();\n"
                "#else\n"
                "    if (h == 1) Host();\n"
                "#endif\n"
                "}\n")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "f.cpp")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            found = mutants.file_mutants(path, "flash/f.cpp")
        lines = sorted({m.line for m in found})
        self.assertEqual(lines, [7])  # the host branch only
        self.assertNotIn(mutants.DELETED, [m.mutated for m in found if m.line == 3])
        self.assertEqual(found[0].file, "flash/f.cpp")
        self.assertEqual(mutants.mutant_key(found[0]), "flash/f.cpp:7:" + found[0].mutated)


class BuildLists(unittest.TestCase):
    def test_product_sources_are_those_of_the_product_library(self):
        src, build = "/s", "/s/b"
        commands = [
            {"directory": build, "file": "/s/app/texts.cpp",
             "command": "g++ -I/s -o CMakeFiles/sorvik_product.dir/app/texts.cpp.o -c /s/app/texts.cpp"},
            {"directory": build, "file": "/s/flash/image_writer.cpp",
             "arguments": ["g++", "-o", "CMakeFiles/sorvik_product.dir/flash/image_writer.cpp.o",
                           "-c", "/s/flash/image_writer.cpp"]},
            {"directory": build + "/sim", "file": "/s/sim/unit.cpp",
             "command": "g++ -o CMakeFiles/sim.dir/unit.cpp.o -c /s/sim/unit.cpp"},
            {"directory": build + "/tests", "file": "/s/tests/exchange_test.cpp",
             "command": "g++ -o CMakeFiles/unit_tests.dir/exchange_test.cpp.o -c /s/tests/exchange_test.cpp"},
        ]
        self.assertEqual(mutate.product_sources(commands, src), ["app/texts.cpp", "flash/image_writer.cpp"])

    def test_test_programs_are_the_builds_own_in_order(self):
        with tempfile.TemporaryDirectory() as build:
            def program(rel):
                return os.path.join(build, rel)
            listing = {"tests": [
                {"name": "A.One", "command": [program("tests/unit_tests"), "--gtest_filter=A.One"]},
                {"name": "B.Two", "command": [program("tests/start_tests"), "--gtest_filter=B.Two"]},
                {"name": "A.Three", "command": [program("tests/unit_tests"), "--gtest_filter=A.Three"]},
                {"name": "script", "command": ["/usr/bin/python3", "check.py"]},
                {"name": "sibling", "command": [build + "-other/tests/unit_tests"]},
                {"name": "disabled"},
            ]}
            self.assertEqual(mutate.test_programs(listing, build), ["tests/unit_tests", "tests/start_tests"])


if __name__ == "__main__":
    unittest.main()
