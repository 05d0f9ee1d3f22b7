#!/usr/bin/env python3
"""The catalogue's rules judge soundness, not size: a small catalogue of sound lines passes them
(the audit of the published figures would refuse it), and lines that disagree with each other are
refused naming the line."""

import os
import subprocess
import sys
import tempfile
import unittest

CODEGEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "codegen")

SOUND = """\
common free | TvxObject Field_new(int components, int entities, const char* location)
common fast | int CSField_GetNumberOfComponents(handle field) | raw=Field_GetNumberOfComponents
common free | int Field_GetNumberOfComponents(CField* field)
both release | void Quorix_delete_shared_object(handle obj)
both object | void CSField_SetData(handle field, int count, double* values[count])
"""


def run(tool, catalogue_text):
    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "05_fields.entries"), "w") as fh:
            fh.write(catalogue_text)
        p = subprocess.run([sys.executable, os.path.join(CODEGEN, tool), "--catalogue", directory],
                           capture_output=True, text=True)
        return p.returncode, p.stdout + p.stderr


class Rules(unittest.TestCase):
    def test_a_small_sound_catalogue_passes_the_rules_and_not_the_audit(self):
        status, out = run("rules.py", SOUND)
        self.assertEqual((status, out), (0, ""))
        status, out = run("check_catalogue.py", SOUND)
        self.assertEqual(status, 1, out)
        self.assertIn("exports: catalogue has 5, expected", out)

    def test_lines_that_disagree_are_refused_naming_the_line(self):
        cases = {
            # the raw-pointer form returns something else
            SOUND.replace("int Field_GetNumberOfComponents(CField* field)",
                          "double Field_GetNumberOfComponents(CField* field)"):
                "fields:2 (CSField_GetNumberOfComponents): the raw-pointer entry Field_GetNumberOfComponents "
                "returns what the handle entry returns",
            # a new handle nobody can release
            SOUND.replace("both release | void Quorix_delete_shared_object(handle obj)\n", ""):
                "fields:1 (Field_new): released by unknown entry Quorix_delete_shared_object",
            # an array without its length
            SOUND.replace("double* values[count]", "double* values"):
                "fields:5 (CSField_SetData): double* values: mark the array with its length",
        }
        for text, message in cases.items():
            with self.subTest(message=message):
                status, out = run("rules.py", text)
                self.assertEqual(status, 1, out)
                self.assertIn(message, out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
