#!/usr/bin/env python3
"""The ABI gate fails on what breaks clients and passes what does not, proved against baselines
altered the way a release could differ from the built library:

- a baseline holding one export more: to the built library that export was removed;
- a baseline where an export's result, or one of its parameters, had another type;
- a baseline holding one export fewer: the built library adds it, which passes and is reported.

    abi_gate_test.py CHECK_ABI LIBRARY BASELINE
"""

import copy
import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

CHECK_ABI, LIBRARY, BASELINE = sys.argv[1:4]


def function_decl(root, name):
    for decl in root.iter("function-decl"):
        if decl.get("name") == name and decl.get("elf-symbol-id"):
            return decl
    raise AssertionError("no exported function %s in the baseline" % name)


def type_id(root, name):
    for decl in root.iter("type-decl"):
        if decl.get("name") == name:
            return decl.get("id")
    raise AssertionError("no type %s in the baseline" % name)


def parent(root, element):
    return next(p for p in root.iter() if element in list(p))


def elf_symbol(root, name):
    symbols = root.find("elf-function-symbols")
    for sym in symbols:
        if sym.get("name") == name:
            return symbols, sym
    raise AssertionError("no ELF symbol %s in the baseline" % name)


class AbiGate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def check(self, alter):
        """Runs the gate against the baseline as `alter` leaves it: (exit status, output)."""
        tree = ET.parse(BASELINE)
        alter(tree.getroot())
        path = os.path.join(self.tmp.name, "altered.abi")
        tree.write(path)
        p = subprocess.run([sys.executable, CHECK_ABI, LIBRARY, "--baseline", path],
                           capture_output=True, text=True)
        return p.returncode, p.stdout + p.stderr

    def test_the_built_library_matches_the_baseline(self):
        status, out = self.check(lambda root: None)
        self.assertEqual(status, 0, out)
        self.assertIn("0 export(s) added", out)

    def test_an_export_missing_from_the_library_fails_naming_it(self):
        def one_more(root):
            symbols, sym = elf_symbol(root, "CSField_GetNumberOfComponents")
            extra = copy.deepcopy(sym)
            extra.set("name", "CSField_GetNumberOfComponentsRetired")
            symbols.append(extra)
            decl = function_decl(root, "CSField_GetNumberOfComponents")
            twin = copy.deepcopy(decl)
            twin.set("name", "CSField_GetNumberOfComponentsRetired")
            twin.set("mangled-name", "CSField_GetNumberOfComponentsRetired")
            twin.set("elf-symbol-id", decl.get("elf-symbol-id").replace(
                "CSField_GetNumberOfComponents", "CSField_GetNumberOfComponentsRetired"))
            parent(root, decl).append(twin)
        status, out = self.check(one_more)
        self.assertEqual(status, 1, out)
        self.assertIn("ABI: removed export CSField_GetNumberOfComponentsRetired", out)
        self.assertNotIn("ABI: changed export", out)

    def test_a_changed_result_or_parameter_type_fails_naming_the_export(self):
        def result_was_double(root):
            decl = function_decl(root, "CSField_GetNumberOfComponents")
            decl.find("return").set("type-id", type_id(root, "double"))

        def parameter_was_double(root):
            # CSField_PushBack(handle, int, int, double*, error pair): the first int was a double.
            params = function_decl(root, "CSField_PushBack").findall("parameter")
            self.assertEqual(params[1].get("type-id"), type_id(root, "int"))
            params[1].set("type-id", type_id(root, "double"))

        for alter, export in ((result_was_double, "CSField_GetNumberOfComponents"),
                              (parameter_was_double, "CSField_PushBack")):
            with self.subTest(export=export):
                status, out = self.check(alter)
                self.assertEqual(status, 1, out)
                self.assertIn("ABI: changed export %s" % export, out)
                self.assertNotIn("ABI: removed export", out)

    def test_an_added_export_passes_and_is_reported(self):
        def one_fewer(root):
            symbols, sym = elf_symbol(root, "Field_GetData")
            symbols.remove(sym)
            decl = function_decl(root, "Field_GetData")
            parent(root, decl).remove(decl)
        status, out = self.check(one_fewer)
        self.assertEqual(status, 0, out)
        self.assertIn("ABI: added export Field_GetData", out)
        self.assertIn("1 export(s) added", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
