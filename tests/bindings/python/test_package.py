"""The package as Python users meet it: a Library loaded for the length of a `with` block, and
`python3 -m tvxapi info`, which reports what tvxapi-inspect reports."""
import json
import os
import subprocess
import sys
import unittest

from tvx_test_support import BIN, SOURCE, double_path, tvxapi


def loaded_names():
    """The names loaded now, as unloading tells: a name that unloads was loaded (and is loaded
    again right after)."""
    names = []
    for name in ("common", "remote", "other"):
        try:
            tvxapi.unload(name)
        except tvxapi.Error:
            continue
        names.append(name)
        tvxapi.load(double_path("double_common"), name)
    return names


class LibraryContext(unittest.TestCase):
    def test_loaded_for_the_block_and_unloaded_after_it(self):
        with tvxapi.Library(double_path("double_common"), "common") as common:
            self.assertTrue(common.loaded)
            self.assertEqual(loaded_names(), ["common"])
        self.assertFalse(common.loaded)
        self.assertEqual(loaded_names(), [])
        common.unload()  # once is all: a second unload does nothing

    def test_an_exception_in_the_block_unloads_and_goes_on(self):
        with self.assertRaises(KeyError):
            with tvxapi.Library(double_path("double_common"), "common"):
                raise KeyError("the block's own")
        self.assertEqual(loaded_names(), [])

    def test_a_failed_load_raises_and_leaves_nothing_to_unload(self):
        with self.assertRaises(tvxapi.Error) as caught:
            tvxapi.Library(double_path("no_such_double"), "common")
        self.assertTrue(caught.exception.message.startswith("Unable to load "))
        self.assertEqual(loaded_names(), [])

    def test_strict_resolution_refuses_a_library_missing_an_entry(self):
        with self.assertRaises(tvxapi.Error) as caught:
            tvxapi.Library(double_path("double_common_missing"), "common", strict=True)
        self.assertIn('"Field_GetData"', caught.exception.message)
        with tvxapi.Library(double_path("double_common_missing"), "common") as lenient:
            self.assertTrue(lenient.loaded)


class Paths(unittest.TestCase):
    def test_the_path_the_build_made_is_the_one_in_use(self):
        expected = os.environ.get("TVX_EXPECT_PATH")
        if not expected:
            self.skipTest("TVX_EXPECT_PATH is not set")
        self.assertEqual(tvxapi.PATH, expected)

    def test_compiled_handles_cannot_be_subclassed_or_forged(self):
        if tvxapi.PATH != "compiled":
            self.skipTest("the ctypes path")
        with self.assertRaises(TypeError):
            type("Forged", (tvxapi.Object,), {})
        with self.assertRaises(TypeError):
            tvxapi.Object(12345)
        from tvxapi import _runtime
        with self.assertRaises(TypeError):  # a handle object of the other path is not one of these
            tvxapi.CSField_GetData(_runtime.Object.from_address(12345))


class InfoCommand(unittest.TestCase):
    """Same output as tvxapi-inspect, text and JSON, on complete, incomplete and aliased doubles."""

    def run_both(self, *arguments):
        env = dict(os.environ, PYTHONPATH=os.path.join(SOURCE, "bindings", "python"))
        ours = subprocess.run([sys.executable, "-m", "tvxapi", "info", *arguments], capture_output=True,
                              text=True, env=env, timeout=120)
        theirs = subprocess.run([os.path.join(BIN, "tvxapi-inspect"), *arguments], capture_output=True,
                                text=True, timeout=120)
        return ours, theirs

    def test_reports_as_the_inspector_does(self):
        if not os.path.exists(os.path.join(BIN, "tvxapi-inspect")):
            self.skipTest("tvxapi-inspect is not built")
        for double, name in (("double_common", "common"), ("double_common_missing", "common"),
                             ("double_remote", "common"), ("double_alias", "common"), ("double_remote", "remote")):
            with self.subTest(double=double, name=name):
                ours, theirs = self.run_both(double_path(double), name)
                self.assertEqual((ours.returncode, ours.stdout), (theirs.returncode, theirs.stdout))
                ours, theirs = self.run_both(double_path(double), name, "--json")
                self.assertEqual(json.loads(ours.stdout), json.loads(theirs.stdout))
        ours, theirs = self.run_both(double_path("no_such_double"), "common")
        self.assertEqual((ours.returncode, theirs.returncode), (2, 2))
        self.assertEqual(ours.stderr.replace("tvxapi info:", "tvxapi-inspect:"), theirs.stderr)


if __name__ == "__main__":
    unittest.main()
