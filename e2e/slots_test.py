#!/usr/bin/env python3
"""The slots that let end-to-end cases run side by side: the prefix a case
takes from CTest's variables, and the lock that keeps a second run out of a
prefix in use."""
import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from prefix import ctest_slot, holding, prefix_path, require_made, stamp_path  # noqa: E402
from session import Failure  # noqa: E402


def given(*groups):
    """CTest's variables for a test given these (resource, id) groups."""
    env = {"CTEST_RESOURCE_GROUP_COUNT": str(len(groups))}
    for i, (resource, slot) in enumerate(groups):
        env["CTEST_RESOURCE_GROUP_%d" % i] = resource
        env["CTEST_RESOURCE_GROUP_%d_%s" % (i, resource.upper())] = "id:%s,slots:1" % slot
    return env


class Slot(unittest.TestCase):
    def test_the_slot_ctest_gave(self):
        for env, slot in [(given(("wine", "1")), 1), (given(("wine", "0")), 0),
                          (given(("display", "0"), ("wine", "1")), 1), ({}, 0), (given(("display", "1")), 0)]:
            with self.subTest(env=env):
                self.assertEqual(ctest_slot(env), slot)

    def test_a_slot_that_names_no_number_stops_the_case(self):
        for bad in ["id:one,slots:1", "slots:1", ""]:
            env = given(("wine", "0"))
            env["CTEST_RESOURCE_GROUP_0_WINE"] = bad
            with self.subTest(bad=bad), self.assertRaises(Failure):
                ctest_slot(env)


class Holding(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="slots-test-")
        self.addCleanup(shutil.rmtree, self.work)

    def test_a_second_run_in_a_held_prefix_stops_at_once(self):
        with holding(prefix_path(self.work, 0)):
            with self.assertRaisesRegex(Failure, "in use by another run"):
                with holding(prefix_path(self.work, 0)):
                    pass
            with holding(prefix_path(self.work, 1)):
                pass  # another slot's prefix is free
        with holding(prefix_path(self.work, 0)):
            pass  # free again once the first run ended

    def test_a_prefix_not_made_by_the_fixture_stops_the_case(self):
        prefix = prefix_path(self.work, 2)
        with self.assertRaisesRegex(Failure, "has not been made"):
            require_made(prefix)
        os.makedirs(prefix)  # as Wine would leave it, without our settings
        with self.assertRaisesRegex(Failure, "has not been made"):
            require_made(prefix)
        open(stamp_path(prefix), "w").close()
        require_made(prefix)


if __name__ == "__main__":
    unittest.main()
