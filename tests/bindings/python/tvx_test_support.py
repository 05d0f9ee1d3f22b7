"""Shared by the tests of the Python package: where the built binaries are, the call recorder of
the recording doubles (tvxrecorder, through ctypes), and a test case that starts and ends with no
library loaded and fails when an object a double handed out was not released exactly once.

Environment: TVXAPI_LIBRARY (the built TVXClientAPI) and TVX_TEST_BIN (the directory of the built
binaries; by default that library's directory).
"""
import contextlib
import ctypes
import gc
import os
import sys
import unittest
from ctypes import POINTER, Structure, c_char_p, c_double, c_int, c_longlong, c_size_t, c_ulonglong, c_void_p, c_wchar_p

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE, "bindings", "python"))
sys.path.insert(0, os.path.join(SOURCE, "codegen"))

import tvxapi  # noqa: E402

COMPILED = tvxapi.PATH == "compiled"


@contextlib.contextmanager
def preset_outputs(value):
    """Outputs hold `value` before each call, standing in for a library that writes them (the
    recording doubles do not)."""
    if COMPILED:
        tvxapi._native.preset_outputs(value)
        try:
            yield
        finally:
            tvxapi._native.preset_outputs(0)
    else:
        from unittest import mock
        with mock.patch.object(tvxapi._runtime, "new_cell", lambda ctype: ctype(value)):
            yield


BIN = os.environ.get("TVX_TEST_BIN") or os.path.dirname(os.environ.get("TVXAPI_LIBRARY", ""))


def double_path(name):
    """A double next to the other binaries, without its suffix (the loader appends it)."""
    return os.path.join(BIN, name)


class RecArg(Structure):
    _fields_ = [("kind", c_int), ("i", c_longlong), ("u", c_ulonglong), ("d", c_double),
                ("p", c_void_p), ("s", c_char_p)]


def _recorder():
    rec = ctypes.CDLL(os.path.join(BIN, "tvxrecorder.so"))
    signatures = {
        "tvxrec_reset": (None, ()),
        "tvxrec_clear_log": (None, ()),
        "tvxrec_clear_results": (None, ()),
        "tvxrec_count": (c_size_t, ()),
        "tvxrec_library": (c_char_p, (c_size_t,)),
        "tvxrec_entry": (c_char_p, (c_size_t,)),
        "tvxrec_nargs": (c_int, (c_size_t,)),
        "tvxrec_arg": (POINTER(RecArg), (c_size_t, c_int)),
        "tvxrec_set_result": (None, (c_char_p, c_char_p, c_ulonglong)),
        "tvxrec_set_error": (None, (c_char_p, c_char_p, c_wchar_p)),
        "tvxrec_hand_out_objects": (None, (c_char_p, c_int)),
        "tvxrec_new_object": (c_void_p, (c_char_p,)),
        "tvxrec_object_library": (c_char_p, (c_void_p,)),
        "tvxrec_objects_created": (c_size_t, ()),
        "tvxrec_objects_live": (c_size_t, ()),
        "tvxrec_objects_released_twice": (c_size_t, ()),
    }
    for name, (restype, argtypes) in signatures.items():
        f = getattr(rec, name)
        f.restype, f.argtypes = restype, argtypes
    return rec


recorder = _recorder()


class Recorded:
    """One call from the recorder's log."""

    def __init__(self, index):
        self.library = recorder.tvxrec_library(index).decode()
        self.entry = recorder.tvxrec_entry(index).decode()
        self.args = [recorder.tvxrec_arg(index, i).contents for i in range(recorder.tvxrec_nargs(index))]

    def __repr__(self):
        return "%s:%s" % (self.library, self.entry)


def calls():
    return [Recorded(i) for i in range(recorder.tvxrec_count())]


def entries_called():
    return ["%s:%s" % (c.library, c.entry) for c in calls()]


def last_call_of(entry):
    found = [c for c in calls() if c.entry == entry]
    return found[-1] if found else None


def unload_everything():
    """Registers a library under the empty name, whose unload releases every library."""
    gc.collect()
    tvxapi.load(double_path("double_empty"), "")
    tvxapi.unload("")


class LedgerTest(unittest.TestCase):
    """No library before and after; every object the doubles handed out released exactly once."""

    def setUp(self):
        unload_everything()
        recorder.tvxrec_reset()

    def tearDown(self):
        gc.collect()
        live = recorder.tvxrec_objects_live()
        twice = recorder.tvxrec_objects_released_twice()
        unload_everything()
        recorder.tvxrec_reset()
        self.assertEqual(live, 0, "objects of the doubles that were never released")
        self.assertEqual(twice, 0, "objects of the doubles released twice")

    def load(self, double, name, id_=None):
        tvxapi.load(double_path(double), name)
        recorder.tvxrec_hand_out_objects((id_ or name).encode(), 1)

    def assertRaisesError(self, text, call, *args):
        """The call raises tvxapi.Error with exactly this text and its size (wchar_t, terminator
        included: one per code point on this platform)."""
        with self.assertRaises(tvxapi.Error) as caught:
            call(*args)
        self.assertEqual(caught.exception.message, text)
        self.assertEqual(caught.exception.size, len(text) + 1)
        self.assertEqual(str(caught.exception), text)
        return caught.exception

    def live_when_raised(self, call, *args):
        """The tvxapi.Error the call raises, and how many ledger objects are live while it is being
        handled (the frames its traceback holds still alive, so nothing was left to them)."""
        try:
            call(*args)
        except tvxapi.Error as e:
            return e, recorder.tvxrec_objects_live()
        self.fail("%s raised nothing" % getattr(call, "__name__", call))
