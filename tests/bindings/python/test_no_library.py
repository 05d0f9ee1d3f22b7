"""Every entry of the package with no implementation library loaded: the ones with an error pair
raise tvxapi.Error naming themselves, the others return a zero result. The package offers exactly
the catalogue's exports."""
import ctypes
import unittest

from tvx_test_support import tvxapi, unload_everything  # first: puts the package and codegen/ on the path

import catalogue
from tvxapi import _runtime

# Arguments that reach no library: null handles, an empty handle array, zeros and null pointers.
POINTERS = (ctypes.c_char_p, ctypes.c_wchar_p, ctypes.c_void_p)


def null_value(argtype):
    if argtype in (ctypes.c_double, ctypes.c_float):
        return 0.0
    if argtype is ctypes.c_bool:
        return False
    if issubclass(argtype, ctypes._SimpleCData) and argtype not in POINTERS:
        return 0
    return None


def null_arguments(row):
    args = []
    for kind, argtype in zip(row.kinds, row.argtypes):
        if kind == "handles":
            args.append([])
        elif kind == "array":
            args.append(None)
        elif kind in ("handle", "vector"):
            args.append(None)
        elif kind == "value":
            args.append(null_value(argtype))
    return args


def is_zero(value):
    if isinstance(value, tuple):
        return all(is_zero(v) for v in value)
    return value in (None, 0, False)


class NoLibraryLoaded(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        unload_everything()
        cls.catalogue = catalogue.Catalogue()

    def test_the_package_has_every_export_of_the_catalogue_under_its_own_name(self):
        names = [e.name for e in self.catalogue.exports]
        self.assertEqual([row.name for row in _runtime.ENTRIES], names)
        for name in names:
            self.assertTrue(callable(getattr(tvxapi, name, None)), name)
            self.assertEqual(getattr(tvxapi, name).__name__, name)
        self.assertEqual(len(set(tvxapi.__all__)), len(tvxapi.__all__))

    def test_every_forwarding_entry_reports_the_missing_library_or_returns_zero(self):
        forwarding = [e for e in self.catalogue.exports if e.shape != "own"]
        reported, forwarded = 0, 0
        for export in forwarding:
            row = _runtime.ROWS[export.name]
            with self.subTest(entry=export.name):
                call = getattr(tvxapi, export.name)
                if export.err:
                    with self.assertRaises(tvxapi.Error) as caught:
                        call(*null_arguments(row))
                    text = "Invalid API pointer when calling function " + export.name
                    self.assertEqual(caught.exception.message, text)
                    self.assertEqual(caught.exception.size, len(text) + 1)
                    reported += 1
                else:
                    result = call(*null_arguments(row))
                    self.assertTrue(is_zero(result), "%s returned %r" % (export.name, result))
                    forwarded += 1
        self.assertEqual(reported + forwarded, len(forwarding))
        self.assertGreater(forwarded, 0)

    def test_entries_of_their_own_on_null_handles(self):
        # No handle: nothing moved, nothing duplicated; the message-less ones stay quiet.
        self.assertIs(tvxapi.QuorixCore_HasBeenMovedLocally(None), False)
        self.assertIsNone(tvxapi.Quorix_duplicate_TVXClientAPIobject(None))
        # Freeing a null array succeeds without a library.
        self.assertIsNone(tvxapi.Quorix_delete_shared_object_array(None, 0))

    def test_loading_errors_carry_the_loaders_text(self):
        with self.assertRaises(tvxapi.Error) as caught:
            tvxapi.load("./no_such_framework", "other")
        message = caught.exception.message
        self.assertTrue(message.startswith("Unable to load ./no_such_framework"), message)
        self.assertEqual(caught.exception.size, len(message) + 1)
        with self.assertRaises(tvxapi.Error) as caught:
            tvxapi.unload("never_loaded")
        self.assertEqual(caught.exception.message, "Unable to unload API 'never_loaded': Not found")


if __name__ == "__main__":
    unittest.main()
