#!/usr/bin/env python3
"""The catalogue's array markings: what the check refuses (an unmarked array, a length that is no
integer parameter, a length without its array, an array result without its length) and what the
bindings make of a marked array and its length."""

import os
import sys
import unittest

CODEGEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "codegen")
sys.path.insert(0, CODEGEN)

import catalogue as cat_mod  # noqa: E402
import rules  # noqa: E402


def entry(line):
    return cat_mod.parse_line("test", 1, line)


def problems(line):
    return rules.array_problems(entry(line))


class Markings(unittest.TestCase):
    def test_marked_lines_pass(self):
        for line in (
                "both object | void CSField_SetData(handle field, int count, double* values[count])",
                "both object | void X_SetStrings(handle obj, int count, char* const* values[count], size_t* sizes[count])",
                "common fast | double* const CSField_GetData(handle field, int& size) | raw=Field_GetData result_count=size",
                "common free | const int* X_Get(handle obj, int& rows, int& columns) | result_count=none",
                "both free | void Quorix_free_ints(int* values[]) | noerr",
                "both object | void X_Fill(handle obj, double* unit[3])",
                "both object | void X_Read(handle obj, double** data[size], int* size) | out=data,size",
                "both object | void X_Flag(handle obj, bool* check) | out=check"):
            with self.subTest(line=line):
                self.assertEqual(problems(line), [])

    def test_an_unmarked_array_and_its_orphaned_length_are_refused(self):
        found = problems("both object | void CSField_SetData(handle field, int count, double* values)")
        self.assertTrue(any("double* values: mark the array with its length" in p for p in found), found)
        self.assertTrue(any("count is named as a length but no array" in p for p in found), found)
        # Arrays of strings, output arrays and unnamed pointers are data pointers too.
        for line, what in (("both object | void X(handle obj, const char** texts, int n)", "const char** texts"),
                           ("both object | void X(handle obj, double** data)", "double** data"),
                           ("both object | void X(handle obj, int*)", "int* (unnamed)")):
            with self.subTest(line=line):
                self.assertTrue(any(what + ": mark the array" in p for p in problems(line)), problems(line))

    def test_lengths_must_be_integer_parameters_of_the_entry(self):
        cases = {
            "both object | void X(handle obj, double* values[n])": "the length of values[n] is no parameter",
            "both object | void X(handle obj, const char* name, double* values[name])":
                "the length name of values is a const char*, not an integer",
            "both object | void X(handle obj, double* values[values])": "cannot be its own length",
            "common object | double* const X(handle obj, int& size) | result_count=count":
                "result_count=count names no integer output",
            "common object | double* const X(handle obj, int& size)": "needs result_count=",
            "both object | void X(handle obj, int* value) | out=other": "out=other names no parameter",
        }
        for line, message in cases.items():
            with self.subTest(line=line):
                self.assertTrue(any(message in p for p in problems(line)), problems(line))

    def test_a_marking_needs_a_name(self):
        with self.assertRaises(cat_mod.CatalogueError):
            entry("both object | void X(handle obj, double*[count], int count)")

    def test_the_binding_fills_a_length_from_its_arrays(self):
        b = entry("both object | void X(handle obj, int count, char* const* values[count], "
                  "size_t* sizes[count], bool flag)").binding
        self.assertEqual([k for _, k in b.params], ["handle", "count", "array", "array", "value"])
        self.assertEqual(b.counted(1), [2, 3])
        # A length that is an output, an array of unknown length and a void* stay as they are.
        b = entry("both object | void X(handle obj, double** data[size], int* size, "
                  "int* ids[], int n, void* blob[n]) | out=data,size").binding
        self.assertEqual([k for _, k in b.params], ["handle", "value", "value", "value", "value", "value"])
        b = entry("common fast | const int* X(handle obj, int& size) | raw=Y result_count=size").binding
        self.assertEqual((b.result, b.size_param), ("array", 1))

    def test_the_catalogue_marks_every_array(self):
        found = [(e.name, p) for e in cat_mod.Catalogue().exports for p in rules.array_problems(e)]
        self.assertEqual(found, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
